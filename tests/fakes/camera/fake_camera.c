// A stand-in for the camera capture library with one device whose answers the tests choose
// through environment variables, read at every call:
//   FAKE_CAMERA_FORMATS       format count (default 2; may be negative)
//   FAKE_CAMERA_WIDTH/HEIGHT  frame geometry (default 4 x 2)
//   FAKE_CAMERA_STRIDE        bytes per row (default 3 x width)
//   FAKE_CAMERA_GRAB_RESULT   what a grab returns (default 0)
//   FAKE_CAMERA_LONG_TEXT     when set, the text queries fill the whole buffer without a NUL
// Capture calls answer fixed values that show which function ran and with what.
// A grab writes pixel (x, y) as R = x & 255, G = y & 255, B = (x >> 8) | (y >> 8) << 4 and row
// padding as 0xEE, never more than the capacity it is given.
#include <stdlib.h>
#include <string.h>

static int EnvInt(const char* name, int fallback) {
  const char* value = getenv(name);
  return value != NULL && *value != '\0' ? atoi(value) : fallback;
}

static int WriteText(const char* text, void* buf, int size) {
  if (buf == NULL || size < 1) {
    return -3;
  }
  if (getenv("FAKE_CAMERA_LONG_TEXT") != NULL) {
    memset(buf, 'n', (size_t)size);
    return 0;
  }
  size_t length = strlen(text);
  if (length > (size_t)size - 1) {
    length = (size_t)size - 1;
  }
  memcpy(buf, text, length);
  ((char*)buf)[length] = '\0';
  return 0;
}

int cnokhwa_initialize(void) {
  return 7;
}
int cnokhwa_has_videocapture_auth(void) {
  return 0;
}
void cnokhwa_ask_videocapture_auth(void) {}
int cnokhwa_devices_count(void) {
  return 1;
}
int cnokhwa_device_unique_id(int index, void* buf, int size) {
  return WriteText(index == 0 ? "fake-unique" : "", buf, size);
}
int cnokhwa_device_model_id(int index, void* buf, int size) {
  return WriteText(index == 0 ? "fake-model" : "", buf, size);
}
int cnokhwa_device_name(int index, void* buf, int size) {
  return WriteText(index == 0 ? "Fake Camera \xc2\xb5" : "", buf, size);
}
int cnokhwa_device_formats_count(int index) {
  return EnvInt("FAKE_CAMERA_FORMATS", 2);
}
int cnokhwa_device_format_width(int index, int format) {
  return 100 + format;
}
int cnokhwa_device_format_height(int index, int format) {
  return 200 + format;
}
int cnokhwa_device_format_frame_rate(int index, int format) {
  return 30 - format;
}
int cnokhwa_device_format_type(int index, int format, void* buf, int size) {
  return WriteText(format % 2 == 0 ? "mjpeg" : "yuy2", buf, size);
}
int cnokhwa_start_capture(int index, int width, int height) {
  return 1000 + width + height;
}
#ifndef FAKE_CAMERA_OMIT_START_WITH_FORMAT
int cnokhwa_start_capture_with_format(int index, int format) {
  return 2000 + format;
}
#endif
int cnokhwa_stop_capture(int index) {
  return 3000 + index;
}
int cnokhwa_has_first_frame(int index) {
  return 0;
}
int cnokhwa_frame_width(int index) {
  return EnvInt("FAKE_CAMERA_WIDTH", 4);
}
int cnokhwa_frame_height(int index) {
  return EnvInt("FAKE_CAMERA_HEIGHT", 2);
}
int cnokhwa_frame_bytes_per_row(int index) {
  if (getenv("FAKE_CAMERA_STRIDE") != NULL) {
    return EnvInt("FAKE_CAMERA_STRIDE", 0);
  }
  const long long packed = 3LL * cnokhwa_frame_width(index);
  return packed > 2147483647LL ? 2147483647 : (int)packed;
}
#ifndef FAKE_CAMERA_OMIT_GRAB
int cnokhwa_grab_frame(int index, void* buf, int size) {
  const int result = EnvInt("FAKE_CAMERA_GRAB_RESULT", 0);
  if (result != 0) {
    return result;
  }
  const long long width = cnokhwa_frame_width(index);
  const long long height = cnokhwa_frame_height(index);
  const long long stride = cnokhwa_frame_bytes_per_row(index);
  unsigned char* out = (unsigned char*)buf;
  for (long long y = 0; y < height; ++y) {
    for (long long b = 0; b < stride; ++b) {
      const long long offset = y * stride + b;
      if (offset >= size) {
        return 0;
      }
      const long long x = b / 3;
      unsigned char value = 0xEE;
      if (x < width) {
        const int channel = (int)(b % 3);
        value = channel == 0   ? (unsigned char)(x & 255)
                : channel == 1 ? (unsigned char)(y & 255)
                               : (unsigned char)((x >> 8) | ((y >> 8) << 4));
      }
      out[offset] = value;
    }
  }
  return 0;
}
#endif
