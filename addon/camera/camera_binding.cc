#include "camera/camera_binding.h"

#include <cstdint>
#include <limits>
#include <vector>

#include "core/last_error.h"
#include "core/library_loader.h"

namespace zentri_native {

CameraBinding g_cameraBinding;

namespace {

const char kLoadFailedMessage[] =
    "Could not load Linux camera backend library (libcnokhwa). Set ZENTRI_NATIVE_DIR or pass "
    "explicit path.";

// Binds the nineteen required functions of one open library into table, in the library's fixed
// order; stops at the first missing one.
bool BindRequired(void* handle, CameraFunctionTable* table) {
  return LoadRequiredSymbol(handle, "cnokhwa_initialize", &table->initialize) &&
         LoadRequiredSymbol(handle, "cnokhwa_has_videocapture_auth", &table->hasVideoCaptureAuth) &&
         LoadRequiredSymbol(handle, "cnokhwa_ask_videocapture_auth", &table->askVideoCaptureAuth) &&
         LoadRequiredSymbol(handle, "cnokhwa_devices_count", &table->devicesCount) &&
         LoadRequiredSymbol(handle, "cnokhwa_device_unique_id", &table->deviceUniqueId) &&
         LoadRequiredSymbol(handle, "cnokhwa_device_model_id", &table->deviceModelId) &&
         LoadRequiredSymbol(handle, "cnokhwa_device_name", &table->deviceName) &&
         LoadRequiredSymbol(handle, "cnokhwa_device_formats_count", &table->deviceFormatsCount) &&
         LoadRequiredSymbol(handle, "cnokhwa_device_format_width", &table->deviceFormatWidth) &&
         LoadRequiredSymbol(handle, "cnokhwa_device_format_height", &table->deviceFormatHeight) &&
         LoadRequiredSymbol(handle, "cnokhwa_device_format_frame_rate",
                            &table->deviceFormatFrameRate) &&
         LoadRequiredSymbol(handle, "cnokhwa_device_format_type", &table->deviceFormatType) &&
         LoadRequiredSymbol(handle, "cnokhwa_start_capture", &table->startCapture) &&
         LoadRequiredSymbol(handle, "cnokhwa_stop_capture", &table->stopCapture) &&
         LoadRequiredSymbol(handle, "cnokhwa_has_first_frame", &table->hasFirstFrame) &&
         LoadRequiredSymbol(handle, "cnokhwa_frame_width", &table->frameWidth) &&
         LoadRequiredSymbol(handle, "cnokhwa_frame_height", &table->frameHeight) &&
         LoadRequiredSymbol(handle, "cnokhwa_frame_bytes_per_row", &table->frameBytesPerRow) &&
         LoadRequiredSymbol(handle, "cnokhwa_grab_frame", &table->grabFrame);
}

}  // namespace

bool CameraBinding::Load(const std::string& explicitPath) {
  std::lock_guard<std::mutex> lock(loadMutex_);
  if (loaded()) {
    return true;
  }
  for (const std::string& candidate :
       BuildLoadCandidates(explicitPath, {"libcnokhwa.so", "cnokhwa"})) {
    void* handle = OpenLibrary(candidate);
    if (handle == nullptr) {
      continue;
    }
    // Bound into a scratch table first: a candidate that fails half-way leaves nothing behind.
    CameraFunctionTable table;
    if (!BindRequired(handle, &table)) {
      CloseLibrary(handle);
      continue;
    }
    LoadOptionalSymbol(handle, "cnokhwa_start_capture_with_format", &table.startCaptureWithFormat);
    LoadOptionalSymbol(handle, "cnokhwa_read_frame", &table.readFrame);
    // Nothing reads these fields before the release store below publishes them.
    static_cast<CameraFunctionTable&>(*this) = table;
    library_ = handle;
    kind_ = CameraBackendKind::kLinuxV4l2;
    loadPath_ = candidate;
    loaded_.store(true, std::memory_order_release);
    SetLastError("");
    return true;
  }
  SetLastError(kLoadFailedMessage);
  return false;
}

const std::string& CameraBinding::loadPath() const {
  static const std::string kNone;
  return loaded() ? loadPath_ : kNone;
}

int CameraBinding::FrameWidth(int index) const {
  return loaded() ? frameWidth(index) : -1;
}

int CameraBinding::FrameHeight(int index) const {
  return loaded() ? frameHeight(index) : -1;
}

int CameraBinding::PreviewFrameBytesPerRow(int index) const {
  return loaded() ? frameBytesPerRow(index) : -1;
}

int64_t CameraBinding::PreviewFrameDataSize(int index) const {
  const int64_t bytesPerRow = PreviewFrameBytesPerRow(index);
  const int64_t height = FrameHeight(index);
  if (bytesPerRow <= 0 || height <= 0) {
    return -1;
  }
  return bytesPerRow * height;
}

int CameraBinding::GrabFrame(int index, void* destination, int64_t capacity) const {
  if (!loaded()) {
    return kCameraNotLoaded;
  }
  if (capacity < 1 || capacity > std::numeric_limits<int>::max()) {
    return kCameraSizeInvalid;
  }
  return grabFrame(index, destination, static_cast<int>(capacity));
}

int CameraBinding::ReadFrame(int index, FrameReader reader, void* context) const {
  if (!loaded()) {
    return kCameraNotLoaded;
  }
  if (readFrame == nullptr) {
    return kCameraNotSupported;
  }
  return readFrame(index, reader, context);
}

}  // namespace zentri_native
