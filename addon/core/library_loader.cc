#include "core/library_loader.h"

#include <dlfcn.h>

namespace zentri_native {

void* OpenLibrary(const std::string& path) {
  dlerror();  // drop any error left pending by an earlier call
  void* handle = dlopen(path.c_str(), RTLD_NOW);
  if (handle == nullptr) {
    const char* why = dlerror();
    std::string message = "Could not load native library '" + path + "'";
    if (why != nullptr) {
      message += ": ";
      message += why;
    }
    SetLastError(message);
  }
  return handle;
}

void* LoadSymbol(void* handle, const char* name) {
  if (handle == nullptr || name == nullptr) {
    return nullptr;
  }
  return dlsym(handle, name);
}

void CloseLibrary(void* handle) {
  if (handle != nullptr) {
    dlclose(handle);
  }
}

std::vector<std::string> BuildLoadCandidates(const std::string& explicitPath,
                                             const std::vector<std::string>& defaults) {
  if (!explicitPath.empty()) {
    return {explicitPath};
  }
  return defaults;
}

}  // namespace zentri_native
