# Node-API headers come from the npm packages node-addon-api and node-api-headers (npm ci).
# zentri_node_module(<target>) makes a MODULE library into a loadable addon: ".node" file, C++
# exception mode, Node-API version 8, napi_* left for the host to resolve at load.
# NODE_EXECUTABLE: the node that resolves the two packages (the package's install step passes its
# own, which need not be on the PATH).
set(NODE_EXECUTABLE node CACHE STRING "node used to find the Node-API header packages")
execute_process(
  COMMAND ${NODE_EXECUTABLE} -p "require('path').resolve(require('node-addon-api').include_dir)"
  WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
  OUTPUT_VARIABLE NODE_ADDON_API_DIR OUTPUT_STRIP_TRAILING_WHITESPACE
  RESULT_VARIABLE addon_api_result)
execute_process(
  COMMAND ${NODE_EXECUTABLE} -p "require('node-api-headers').include_dir"
  WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
  OUTPUT_VARIABLE NODE_API_HEADERS_DIR OUTPUT_STRIP_TRAILING_WHITESPACE
  RESULT_VARIABLE api_headers_result)
if(NOT addon_api_result EQUAL 0 OR NOT api_headers_result EQUAL 0
   OR NOT EXISTS ${NODE_ADDON_API_DIR}/napi.h OR NOT EXISTS ${NODE_API_HEADERS_DIR}/node_api.h)
  message(FATAL_ERROR "Node-API headers not found (npm packages node-addon-api and node-api-headers): "
                      "run 'npm ci' in ${PROJECT_SOURCE_DIR} first")
endif()

function(zentri_node_module target)
  set_target_properties(${target} PROPERTIES PREFIX "" SUFFIX ".node")
  target_include_directories(${target} PRIVATE ${NODE_ADDON_API_DIR} ${NODE_API_HEADERS_DIR}
                                               ${PROJECT_SOURCE_DIR}/addon)
  target_compile_definitions(${target} PRIVATE NAPI_VERSION=8 NAPI_CPP_EXCEPTIONS
                             NODE_ADDON_API_DISABLE_DEPRECATED BUILDING_NODE_EXTENSION
                             # Safety net only: every script function handles its own failures.
                             NODE_ADDON_API_CPP_EXCEPTIONS_ALL)
  target_link_options(${target} PRIVATE -Wl,--unresolved-symbols=ignore-all)
  target_link_libraries(${target} PRIVATE Threads::Threads ${CMAKE_DL_LIBS})
endfunction()
