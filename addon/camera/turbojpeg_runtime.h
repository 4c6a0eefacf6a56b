// TurboJpegRuntime: libjpeg-turbo's decompression functions, opened at run time from a path
// that the script gives. Only the direct-delivery capture stacks of other platforms decode
// through it; here it is loaded on request and reported, nothing more.
#pragma once

#include <turbojpeg.h>

#include <string>

namespace zentri_native {

class TurboJpegRuntime {
 public:
  TurboJpegRuntime() = default;
  ~TurboJpegRuntime();
  TurboJpegRuntime(const TurboJpegRuntime&) = delete;
  TurboJpegRuntime& operator=(const TurboJpegRuntime&) = delete;

  // Opens exactly path and binds the eight functions. True at once when already complete. On
  // failure the last-error slot holds "No libjpeg-turbo library path was provided", the
  // loader's message, or "Required symbol not found: <name>", and nothing stays open. A
  // successful load does not clear the last error.
  bool Load(const std::string& path);
  // The library and the seven functions from tjInitDecompress to tjPlaneHeight are present.
  bool Available() const;
  // The library and all eight functions are present.
  bool Complete() const;
  const std::string& loadPath() const { return loadPath_; }

  void* library = nullptr;
  decltype(&::tjInitDecompress) tjInitDecompress = nullptr;
  decltype(&::tjDestroy) tjDestroy = nullptr;
  decltype(&::tjDecompressHeader3) tjDecompressHeader3 = nullptr;
  decltype(&::tjDecompressToYUVPlanes) tjDecompressToYUVPlanes = nullptr;
  decltype(&::tjDecompress2) tjDecompress2 = nullptr;
  decltype(&::tjPlaneWidth) tjPlaneWidth = nullptr;
  decltype(&::tjPlaneHeight) tjPlaneHeight = nullptr;
  decltype(&::tjGetErrorStr2) tjGetErrorStr2 = nullptr;

 private:
  std::string loadPath_;
};

}  // namespace zentri_native
