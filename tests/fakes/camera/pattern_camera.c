// A stand-in for the camera capture library whose one device draws a new frame of the synthetic
// pattern (the one described in cnokhwa.h) at every successful grab or in-place read: frame number
// n is the count of successful grabs, so a preview that grabs every tick numbers its frames exactly
// like the camera. Tests steer it through the pattern_camera_* functions; everything is atomic, so
// the steering may happen while a producer thread grabs.
#include <stdatomic.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

static atomic_int g_width = 320;
static atomic_int g_height = 240;
static atomic_int g_failCount = 0;
static atomic_int g_failCode = 0;
static atomic_int g_firstFrame = 0;
static atomic_uint g_grabs = 0;

// Sets the frame geometry for the following calls.
void pattern_camera_configure(int width, int height) {
  atomic_store(&g_width, width);
  atomic_store(&g_height, height);
}

// The next count grabs fail with code.
void pattern_camera_fail_grabs(int count, int code) {
  atomic_store(&g_failCode, code);
  atomic_store(&g_failCount, count);
}

// What cnokhwa_has_first_frame answers (0 once a frame "has arrived").
void pattern_camera_set_first_frame(int result) {
  atomic_store(&g_firstFrame, result);
}

// Successful grabs so far; the next frame number is this plus 1.
unsigned pattern_camera_grabs(void) {
  return atomic_load(&g_grabs);
}

void pattern_camera_reset(void) {
  atomic_store(&g_grabs, 0);
  atomic_store(&g_failCount, 0);
  atomic_store(&g_firstFrame, 0);
  pattern_camera_configure(320, 240);
}

static int WriteText(const char* text, void* buf, int size) {
  if (buf == NULL || size < 1) {
    return -3;
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
  return 0;
}
int cnokhwa_has_videocapture_auth(void) {
  return 0;
}
void cnokhwa_ask_videocapture_auth(void) {}
int cnokhwa_devices_count(void) {
  return 1;
}
int cnokhwa_device_unique_id(int index, void* buf, int size) {
  return WriteText("pattern-0", buf, size);
}
int cnokhwa_device_model_id(int index, void* buf, int size) {
  return WriteText("pattern", buf, size);
}
int cnokhwa_device_name(int index, void* buf, int size) {
  return WriteText("Pattern Camera", buf, size);
}
int cnokhwa_device_formats_count(int index) {
  return 0;
}
int cnokhwa_device_format_width(int index, int format) {
  return -3;
}
int cnokhwa_device_format_height(int index, int format) {
  return -3;
}
int cnokhwa_device_format_frame_rate(int index, int format) {
  return -3;
}
int cnokhwa_device_format_type(int index, int format, void* buf, int size) {
  return -3;
}
int cnokhwa_start_capture(int index, int width, int height) {
  return 0;
}
int cnokhwa_stop_capture(int index) {
  return 0;
}
int cnokhwa_has_first_frame(int index) {
  return atomic_load(&g_firstFrame);
}
int cnokhwa_frame_width(int index) {
  return atomic_load(&g_width);
}
int cnokhwa_frame_height(int index) {
  return atomic_load(&g_height);
}
int cnokhwa_frame_bytes_per_row(int index) {
  return 3 * atomic_load(&g_width);
}

// Frame number n of the pattern, width x height packed RGB.
static void DrawPattern(unsigned char* rgb, int width, int height, unsigned n) {
  const int64_t rowBytes = (int64_t)width * 3;
  const int band = height / 8 > 1 ? height / 8 : 1;
  for (int y = 0; y < height; ++y) {
    unsigned char* row = rgb + rowBytes * y;
    for (int x = 0; x < width; ++x, row += 3) {
      if (y < band) {
        row[0] = (unsigned char)n;
        row[1] = (unsigned char)(n >> 8);
        row[2] = (unsigned char)(n >> 16);
      } else {
        row[0] = (unsigned char)(x + 4 * n);
        row[1] = (unsigned char)(y + 2 * n);
        row[2] = (unsigned char)(x + y + n);
      }
    }
  }
}

// A failure the test asked for, or 0.
static int TakeFailure(void) {
  if (atomic_load(&g_failCount) > 0) {
    atomic_fetch_sub(&g_failCount, 1);
    return atomic_load(&g_failCode);
  }
  return 0;
}

int cnokhwa_grab_frame(int index, void* buf, int size) {
  // Like the real library: the buffer must match the current frame exactly.
  const int width = atomic_load(&g_width);
  const int height = atomic_load(&g_height);
  const int failure = TakeFailure();
  if (failure != 0) {
    return failure;
  }
  if (width < 1 || height < 1) {
    return -7;  // the geometry changed under the caller
  }
  const int64_t frameBytes = (int64_t)width * 3 * height;
  if (size < frameBytes) {
    return -11;
  }
  if (size > frameBytes) {
    return -7;
  }
  DrawPattern((unsigned char*)buf, width, height, atomic_fetch_add(&g_grabs, 1) + 1);
  return 0;
}

// The in-place read: the frame is drawn into memory of its own and lent to the reader, so a
// reader that kept the pointer, or read past the frame, is caught by the sanitizers. Reads count
// as grabs.
int cnokhwa_read_frame(int index, void (*reader)(void*, const unsigned char*, int, int, int),
                       void* context) {
  const int width = atomic_load(&g_width);
  const int height = atomic_load(&g_height);
  if (reader == NULL) {
    return -3;
  }
  const int failure = TakeFailure();
  if (failure != 0) {
    return failure;
  }
  if (width < 1 || height < 1) {
    return -7;
  }
  unsigned char* rgb = (unsigned char*)malloc((size_t)width * 3 * (size_t)height);
  if (rgb == NULL) {
    return -3;
  }
  DrawPattern(rgb, width, height, atomic_fetch_add(&g_grabs, 1) + 1);
  reader(context, rgb, width, height, width * 3);
  free(rgb);
  return 0;
}
