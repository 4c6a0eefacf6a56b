// CameraBinding: the run-time binding of the camera capture library libcnokhwa, and the frame
// geometry operations built on it. No Node-API here, so unit tests drive it directly.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

namespace zentri_native {

// Capture stack behind the binding. Only kNone and kLinuxV4l2 occur on this platform; the other
// two name other platforms' capture stacks.
enum class CameraBackendKind : int32_t {
  kNone = 0,
  kLinuxV4l2 = 1,
  kDirectShow = 2,
  kAvFoundation = 3,
};

// Result codes that the camera functions produce themselves.
constexpr int kCameraResultOk = 0;
constexpr int kCameraResultNo = -256;
constexpr int kCameraNotLoaded = -6;
constexpr int kCameraNoVideoProcAmp = -9;
constexpr int kCameraGeometryInvalid = -10;
constexpr int kCameraSizeInvalid = -11;
constexpr int kCameraNotSupported = -13;

// The bound functions of libcnokhwa, in the library's fixed order. Null when not bound.
struct CameraFunctionTable {
  using IntFn = int (*)();
  using VoidFn = void (*)();
  using IndexFn = int (*)(int);
  using TextFn = int (*)(int, void*, int);
  using FormatFn = int (*)(int, int);
  using FormatTextFn = int (*)(int, int, void*, int);
  using StartFn = int (*)(int, int, int);

  IntFn initialize = nullptr;
  IntFn hasVideoCaptureAuth = nullptr;
  VoidFn askVideoCaptureAuth = nullptr;
  IntFn devicesCount = nullptr;
  TextFn deviceUniqueId = nullptr;
  TextFn deviceModelId = nullptr;
  TextFn deviceName = nullptr;
  IndexFn deviceFormatsCount = nullptr;
  FormatFn deviceFormatWidth = nullptr;
  FormatFn deviceFormatHeight = nullptr;
  FormatFn deviceFormatFrameRate = nullptr;
  FormatTextFn deviceFormatType = nullptr;
  StartFn startCapture = nullptr;
  IndexFn stopCapture = nullptr;
  IndexFn hasFirstFrame = nullptr;
  IndexFn frameWidth = nullptr;
  IndexFn frameHeight = nullptr;
  IndexFn frameBytesPerRow = nullptr;
  TextFn grabFrame = nullptr;
  FormatFn startCaptureWithFormat = nullptr;  // optional
  // Reads the newest frame in place under the library's lock; optional.
  using FrameReader = void (*)(void* context, const unsigned char* frame, int width, int height,
                               int bytesPerRow);
  using ReadFn = int (*)(int, FrameReader, void*);
  ReadFn readFrame = nullptr;
};

// The binding is shared by every thread that uses the camera: the script threads and the preview
// producer, which may already run when a script thread loads the library. The function table, the
// kind and the load path are written once, before the loaded flag turns true with release order;
// a reader that sees loaded() true (acquire) sees them complete, and they never change again. A
// reader must therefore check loaded() before it touches a function pointer.
class CameraBinding : public CameraFunctionTable {
 public:
  CameraBinding() = default;
  CameraBinding(const CameraBinding&) = delete;
  CameraBinding& operator=(const CameraBinding&) = delete;

  // Loads the library once: the explicit path alone when it is not empty, else "libcnokhwa.so"
  // then "cnokhwa". A candidate that lacks one of the nineteen required functions is closed and
  // the next one tried. On success the last-error slot is cleared; when every candidate fails it
  // holds the camera library's summary message. True at once when already loaded. Loads from
  // several script threads take turns.
  bool Load(const std::string& explicitPath);

  bool loaded() const { return loaded_.load(std::memory_order_acquire); }
  CameraBackendKind kind() const { return loaded() ? kind_ : CameraBackendKind::kNone; }
  // The candidate that loaded; "" before.
  const std::string& loadPath() const;

  // Frame geometry of a device: the library's values unchanged, -1 when not loaded.
  int FrameWidth(int index) const;
  int FrameHeight(int index) const;
  int PreviewFrameBytesPerRow(int index) const;
  // Bytes per row x height, computed in 64 bits, when both are positive; otherwise -1.
  int64_t PreviewFrameDataSize(int index) const;
  // The library's grab; -6 when not loaded, -11 for a capacity outside 1 .. INT32_MAX (the
  // library takes an int).
  int GrabFrame(int index, void* destination, int64_t capacity) const;
  // Whether the library can lend its newest frame (ReadFrame works).
  bool CanReadFrame() const { return loaded() && readFrame != nullptr; }
  // The library's in-place read: reader runs on this thread with the frame while the library
  // holds it, and must not throw or call the library. -6 when not loaded, kCameraNotSupported
  // when the library has no such function.
  int ReadFrame(int index, FrameReader reader, void* context) const;

 private:
  std::mutex loadMutex_;  // held by Load only; readers never take it
  void* library_ = nullptr;
  CameraBackendKind kind_ = CameraBackendKind::kNone;
  std::string loadPath_;
  std::atomic<bool> loaded_{false};
};

// The module-wide binding. It is never unloaded: the library stays open until the process ends.
extern CameraBinding g_cameraBinding;

}  // namespace zentri_native
