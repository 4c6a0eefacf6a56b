#include "mjpeg_decoder.h"

// jpeglib.h needs FILE and size_t declared first.
#include <jpeglib.h>
#include <csetjmp>
#include <cstdio>

#include <limits>
#include <new>

namespace cnokhwa {
namespace {

// Bounds on what one frame may cost inside libjpeg: its working memory (a baseline 4K frame
// needs a few MiB; past this libjpeg fails instead of allocating) and, for progressive files, the
// number of scans (a file of thousands of tiny scans takes seconds to decode).
constexpr long kMaxDecoderMemory = 256L << 20;
constexpr int kMaxScans = 500;

// libjpeg reports a fatal error by calling error_exit, which must not return: it jumps back to
// the decode step that is running. Warnings only count. Nothing is printed.
struct ErrorManager {
  jpeg_error_mgr pub;
  std::jmp_buf jump;
};

[[noreturn]] void OnFatalError(j_common_ptr info) {
  std::longjmp(reinterpret_cast<ErrorManager*>(info->err)->jump, 1);
}

void OnMessage(j_common_ptr info, int level) {
  if (level < 0) {
    ++info->err->num_warnings;
  }
}

void OnOutputMessage(j_common_ptr) {}

void OnProgress(j_common_ptr info) {
  if (info->is_decompressor &&
      reinterpret_cast<j_decompress_ptr>(info)->input_scan_number > kMaxScans) {
    OnFatalError(info);
  }
}

}  // namespace

struct MjpegDecoderState {
  jpeg_decompress_struct info;
  ErrorManager error;
  jpeg_progress_mgr progress;
  std::vector<JSAMPROW> rows;
  bool created = false;
};

namespace {

// The steps that run inside libjpeg, each under its own jump target. They hold no object with a
// destructor, so a jump out of libjpeg skips nothing that needed to run.
bool Create(MjpegDecoderState* s) {
  s->info.err = jpeg_std_error(&s->error.pub);
  s->error.pub.error_exit = OnFatalError;
  s->error.pub.emit_message = OnMessage;
  s->error.pub.output_message = OnOutputMessage;
  if (setjmp(s->error.jump) != 0) {
    return false;
  }
  jpeg_create_decompress(&s->info);
  s->info.mem->max_memory_to_use = kMaxDecoderMemory;
  s->progress.progress_monitor = OnProgress;
  s->info.progress = &s->progress;
  return true;
}

// Reads the header and starts decompression to RGB; false for data that is not a JPEG of a
// size this library accepts.
bool Start(MjpegDecoderState* s, const uint8_t* jpeg, unsigned long size) {
  if (setjmp(s->error.jump) != 0) {
    jpeg_abort_decompress(&s->info);
    return false;
  }
  jpeg_mem_src(&s->info, jpeg, size);
  if (jpeg_read_header(&s->info, TRUE) != JPEG_HEADER_OK || s->info.image_width < 1 ||
      s->info.image_height < 1 || s->info.image_width > static_cast<JDIMENSION>(kMaxFrameSide) ||
      s->info.image_height > static_cast<JDIMENSION>(kMaxFrameSide)) {
    jpeg_abort_decompress(&s->info);
    return false;
  }
  s->info.out_color_space = JCS_EXT_RGB;
  jpeg_start_decompress(&s->info);
  if (s->info.output_components != 3 || s->info.output_width != s->info.image_width ||
      s->info.output_height != s->info.image_height) {
    jpeg_abort_decompress(&s->info);
    return false;
  }
  return true;
}

// Writes every row; false when an error stops the decode before the last one.
bool ReadRows(MjpegDecoderState* s) {
  if (setjmp(s->error.jump) != 0) {
    jpeg_abort_decompress(&s->info);
    return false;
  }
  while (s->info.output_scanline < s->info.output_height) {
    const JDIMENSION done = s->info.output_scanline;
    if (jpeg_read_scanlines(&s->info, s->rows.data() + done, s->info.output_height - done) == 0) {
      jpeg_abort_decompress(&s->info);
      return false;
    }
  }
  // What follows the image (trailing markers, padding) does not matter for the frame.
  jpeg_abort_decompress(&s->info);
  return true;
}

}  // namespace

MjpegDecoder::MjpegDecoder() : state_(std::make_unique<MjpegDecoderState>()) {
  state_->created = Create(state_.get());
}

MjpegDecoder::~MjpegDecoder() {
  if (state_->created) {
    jpeg_destroy_decompress(&state_->info);
  }
}

bool MjpegDecoder::Decode(const uint8_t* jpeg, size_t size, std::vector<uint8_t>& out, int* width,
                          int* height) {
  MjpegDecoderState* s = state_.get();
  if (!s->created || jpeg == nullptr || size < 4 ||
      size > static_cast<size_t>(std::numeric_limits<unsigned long>::max())) {
    return false;
  }
  if (!Start(s, jpeg, static_cast<unsigned long>(size))) {
    return false;
  }
  const int w = static_cast<int>(s->info.output_width);
  const int h = static_cast<int>(s->info.output_height);
  const size_t rowBytes = static_cast<size_t>(w) * 3;
  try {
    out.resize(rowBytes * static_cast<size_t>(h));
    s->rows.resize(static_cast<size_t>(h));
  } catch (const std::bad_alloc&) {
    jpeg_abort_decompress(&s->info);
    return false;
  }
  for (int y = 0; y < h; ++y) {
    s->rows[static_cast<size_t>(y)] = out.data() + rowBytes * static_cast<size_t>(y);
  }
  if (!ReadRows(s)) {
    return false;
  }
  *width = w;
  *height = h;
  return true;
}

}  // namespace cnokhwa
