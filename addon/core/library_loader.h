// Run-time loading of the outside libraries that the addon drives but never links. Each binding
// (camera, TurboJPEG, Dino-Lite, Zentri) owns the handle it opened and follows one load sequence:
// candidates from BuildLoadCandidates, OpenLibrary each in turn, bind the required symbols with
// LoadRequiredSymbol (closing the handle when one is missing), then the optional ones.
#pragma once

#include <string>
#include <vector>

#include "core/last_error.h"

namespace zentri_native {

// dlopen(path, RTLD_NOW). Null on failure, with "Could not load native library '<path>'[: <why>]"
// in the last-error slot.
void* OpenLibrary(const std::string& path);

// dlsym, or null for a null handle or a missing symbol. Records nothing.
void* LoadSymbol(void* handle, const char* name);

// dlclose; nothing for a null handle.
void CloseLibrary(void* handle);

// Only the explicit path when one is given (it is never combined with the defaults), otherwise
// the defaults in their order.
std::vector<std::string> BuildLoadCandidates(const std::string& explicitPath,
                                             const std::vector<std::string>& defaults);

// Binds a symbol that the binding cannot work without. A missing one leaves the destination
// unchanged and records "Required symbol not found: <name>".
template <typename F>
bool LoadRequiredSymbol(void* handle, const char* name, F* destination) {
  void* symbol = name == nullptr ? nullptr : LoadSymbol(handle, name);
  if (symbol == nullptr) {
    SetLastError(std::string("Required symbol not found: ") + (name == nullptr ? "" : name));
    return false;
  }
  *destination = reinterpret_cast<F>(symbol);
  return true;
}

// Binds an optional symbol: null when the library lacks it.
template <typename F>
void LoadOptionalSymbol(void* handle, const char* name, F* destination) {
  *destination = reinterpret_cast<F>(LoadSymbol(handle, name));
}

}  // namespace zentri_native
