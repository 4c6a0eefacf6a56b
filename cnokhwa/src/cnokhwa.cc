// The C interface: each function finds its device in the global list and forwards. No C++
// exception leaves the library.
#include "cnokhwa.h"

#include <exception>
#include <new>

#include "registry.h"

using cnokhwa::Device;
using cnokhwa::GlobalRegistry;

namespace {

template <typename Fn>
int Guarded(Fn&& fn) {
  try {
    return fn();
  } catch (const std::bad_alloc&) {
    return CNOKHWA_ERR_NO_MEMORY;
  } catch (const std::exception&) {
    return CNOKHWA_ERR_OPEN_FAILED;
  }
}

template <typename Fn>
int WithDevice(int index, Fn&& fn) {
  return Guarded([&]() -> int {
    std::shared_ptr<Device> device = GlobalRegistry().Get(index);
    if (!device) {
      return CNOKHWA_ERR_BAD_INDEX;
    }
    return fn(*device);
  });
}

template <typename Fn>
int WithFormat(int index, int format, Fn&& fn) {
  return WithDevice(index, [&](Device& device) -> int {
    if (format < 0 || static_cast<size_t>(format) >= device.Formats().size()) {
      return CNOKHWA_ERR_BAD_ARGUMENT;
    }
    return fn(device.Formats()[static_cast<size_t>(format)]);
  });
}

}  // namespace

extern "C" {

int cnokhwa_initialize(void) {
  return Guarded([] {
    GlobalRegistry().Rescan();
    return CNOKHWA_OK;
  });
}

int cnokhwa_has_videocapture_auth(void) {
  return CNOKHWA_OK;
}

void cnokhwa_ask_videocapture_auth(void) {}

int cnokhwa_devices_count(void) {
  return Guarded([] { return GlobalRegistry().Rescan(); });
}

int cnokhwa_device_unique_id(int index, void* buf, int size) {
  return WithDevice(index,
                    [&](Device& d) { return cnokhwa::WriteText(d.Info().uniqueId, buf, size); });
}

int cnokhwa_device_model_id(int index, void* buf, int size) {
  return WithDevice(index,
                    [&](Device& d) { return cnokhwa::WriteText(d.Info().modelId, buf, size); });
}

int cnokhwa_device_name(int index, void* buf, int size) {
  return WithDevice(index, [&](Device& d) { return cnokhwa::WriteText(d.Info().name, buf, size); });
}

int cnokhwa_device_formats_count(int index) {
  return WithDevice(index, [](Device& d) { return static_cast<int>(d.Formats().size()); });
}

int cnokhwa_device_format_width(int index, int format) {
  return WithFormat(index, format, [](const cnokhwa::FormatEntry& f) { return f.width; });
}

int cnokhwa_device_format_height(int index, int format) {
  return WithFormat(index, format, [](const cnokhwa::FormatEntry& f) { return f.height; });
}

int cnokhwa_device_format_frame_rate(int index, int format) {
  return WithFormat(index, format, [](const cnokhwa::FormatEntry& f) { return f.frameRate; });
}

int cnokhwa_device_format_type(int index, int format, void* buf, int size) {
  return WithFormat(index, format, [&](const cnokhwa::FormatEntry& f) {
    return cnokhwa::WriteText(cnokhwa::FormatTypeName(f.fourcc), buf, size);
  });
}

int cnokhwa_start_capture(int index, int width, int height) {
  return WithDevice(index, [&](Device& d) { return d.Start({-1, width, height}); });
}

int cnokhwa_start_capture_with_format(int index, int format) {
  return WithDevice(index, [&](Device& d) {
    if (format < 0) {
      return CNOKHWA_ERR_BAD_ARGUMENT;
    }
    return d.Start({format, 0, 0});
  });
}

int cnokhwa_stop_capture(int index) {
  if (index == -1) {
    return Guarded([] {
      for (const auto& device : GlobalRegistry().All()) {
        device->Stop();
      }
      return CNOKHWA_OK;
    });
  }
  return WithDevice(index, [](Device& d) {
    d.Stop();
    return CNOKHWA_OK;
  });
}

int cnokhwa_has_first_frame(int index) {
  return WithDevice(index, [](Device& d) { return d.Frames().HasFirstFrame(); });
}

int cnokhwa_frame_width(int index) {
  return WithDevice(index, [](Device& d) { return d.Frames().Width(); });
}

int cnokhwa_frame_height(int index) {
  return WithDevice(index, [](Device& d) { return d.Frames().Height(); });
}

int cnokhwa_frame_bytes_per_row(int index) {
  return WithDevice(index, [](Device& d) { return d.Frames().BytesPerRow(); });
}

int cnokhwa_grab_frame(int index, void* buf, int size) {
  return WithDevice(index, [&](Device& d) { return d.Frames().Grab(buf, size); });
}

int cnokhwa_read_frame(int index, cnokhwa_frame_reader reader, void* context) {
  return WithDevice(index, [&](Device& d) { return d.Frames().Read(reader, context); });
}

}  // extern "C"
