#include "camera/turbojpeg_runtime.h"

#include "core/last_error.h"
#include "core/library_loader.h"

namespace zentri_native {

TurboJpegRuntime::~TurboJpegRuntime() {
  CloseLibrary(library);
}

bool TurboJpegRuntime::Available() const {
  return library != nullptr && tjInitDecompress != nullptr && tjDestroy != nullptr &&
         tjDecompressHeader3 != nullptr && tjDecompressToYUVPlanes != nullptr &&
         tjDecompress2 != nullptr && tjPlaneWidth != nullptr && tjPlaneHeight != nullptr;
}

bool TurboJpegRuntime::Complete() const {
  return Available() && tjGetErrorStr2 != nullptr;
}

bool TurboJpegRuntime::Load(const std::string& path) {
  if (Complete()) {
    return true;
  }
  if (path.empty()) {
    SetLastError("No libjpeg-turbo library path was provided");
    return false;
  }
  void* handle = OpenLibrary(path);
  if (handle == nullptr) {
    return false;
  }
  // Bound into a scratch copy: a library that lacks one function leaves nothing behind.
  TurboJpegRuntime bound;
  const bool complete =
      LoadRequiredSymbol(handle, "tjInitDecompress", &bound.tjInitDecompress) &&
      LoadRequiredSymbol(handle, "tjDestroy", &bound.tjDestroy) &&
      LoadRequiredSymbol(handle, "tjDecompressHeader3", &bound.tjDecompressHeader3) &&
      LoadRequiredSymbol(handle, "tjDecompressToYUVPlanes", &bound.tjDecompressToYUVPlanes) &&
      LoadRequiredSymbol(handle, "tjDecompress2", &bound.tjDecompress2) &&
      LoadRequiredSymbol(handle, "tjPlaneWidth", &bound.tjPlaneWidth) &&
      LoadRequiredSymbol(handle, "tjPlaneHeight", &bound.tjPlaneHeight) &&
      LoadRequiredSymbol(handle, "tjGetErrorStr2", &bound.tjGetErrorStr2);
  if (!complete) {
    CloseLibrary(handle);
    return false;
  }
  // A previous half-bound state cannot exist (loads either complete or leave nothing), but an
  // open handle is never dropped without closing it.
  CloseLibrary(library);
  library = handle;
  tjInitDecompress = bound.tjInitDecompress;
  tjDestroy = bound.tjDestroy;
  tjDecompressHeader3 = bound.tjDecompressHeader3;
  tjDecompressToYUVPlanes = bound.tjDecompressToYUVPlanes;
  tjDecompress2 = bound.tjDecompress2;
  tjPlaneWidth = bound.tjPlaneWidth;
  tjPlaneHeight = bound.tjPlaneHeight;
  tjGetErrorStr2 = bound.tjGetErrorStr2;
  loadPath_ = path;
  return true;
}

}  // namespace zentri_native
