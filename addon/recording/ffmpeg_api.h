// FFmpeg opened at run time, never linked: one version-matched set of libavutil, libavcodec and
// libavformat, functions bound by versioned symbol, versions checked against the headers this
// code is compiled with. If anything is missing, recording is unavailable and `error` says why.
// The same loader runs in the addon and in encworker; each process loads once.
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libavutil/hwcontext.h>
#include <libavutil/log.h>
#include <libavutil/mathematics.h>
#include <libavutil/opt.h>
}

#include <mutex>
#include <string>
#include <vector>

namespace zentri_native {

class FfmpegApi {
 public:
  // The process-wide instance, destroyed at exit (libraries stay open).
  static FfmpegApi& Instance();

  // Loads on the first call from any thread; later calls return at once. The outcome is final
  // for the process: test `loaded`, read `error`.
  void Load();

  bool loaded = false;
  std::string error;
  std::string openError;

  // Bound functions, null until bound. libavcodec:
  decltype(&::avcodec_version) avcodec_version = nullptr;
  decltype(&::avcodec_find_encoder_by_name) avcodec_find_encoder_by_name = nullptr;
  decltype(&::avcodec_find_encoder) avcodec_find_encoder = nullptr;
  decltype(&::avcodec_alloc_context3) avcodec_alloc_context3 = nullptr;
  decltype(&::avcodec_free_context) avcodec_free_context = nullptr;
  decltype(&::avcodec_open2) avcodec_open2 = nullptr;
  decltype(&::avcodec_parameters_from_context) avcodec_parameters_from_context = nullptr;
  decltype(&::avcodec_send_frame) avcodec_send_frame = nullptr;
  decltype(&::avcodec_receive_packet) avcodec_receive_packet = nullptr;
  decltype(&::av_packet_alloc) av_packet_alloc = nullptr;
  decltype(&::av_packet_free) av_packet_free = nullptr;
  decltype(&::av_packet_unref) av_packet_unref = nullptr;
  decltype(&::av_packet_rescale_ts) av_packet_rescale_ts = nullptr;
  decltype(&::avcodec_parameters_copy) avcodec_parameters_copy = nullptr;
  // libavformat:
  decltype(&::avformat_version) avformat_version = nullptr;
  decltype(&::avformat_alloc_output_context2) avformat_alloc_output_context2 = nullptr;
  decltype(&::avformat_new_stream) avformat_new_stream = nullptr;
  decltype(&::avformat_write_header) avformat_write_header = nullptr;
  decltype(&::av_interleaved_write_frame) av_interleaved_write_frame = nullptr;
  decltype(&::av_write_trailer) av_write_trailer = nullptr;
  decltype(&::avformat_free_context) avformat_free_context = nullptr;
  decltype(&::avio_open) avio_open = nullptr;
  decltype(&::avio_closep) avio_closep = nullptr;
  // Fragments are cut and handed to the kernel explicitly, and the finished recording is read
  // back once to write its regular form.
  decltype(&::av_write_frame) av_write_frame = nullptr;
  decltype(&::avio_flush) avio_flush = nullptr;
  decltype(&::avformat_open_input) avformat_open_input = nullptr;
  decltype(&::avformat_close_input) avformat_close_input = nullptr;
  decltype(&::av_read_frame) av_read_frame = nullptr;
  decltype(&::avio_open2) avio_open2 = nullptr;
  // libavutil:
  decltype(&::avutil_version) avutil_version = nullptr;
  decltype(&::av_strerror) av_strerror = nullptr;
  decltype(&::av_frame_alloc) av_frame_alloc = nullptr;
  decltype(&::av_frame_free) av_frame_free = nullptr;
  decltype(&::av_frame_get_buffer) av_frame_get_buffer = nullptr;
  decltype(&::av_frame_make_writable) av_frame_make_writable = nullptr;
  decltype(&::av_dict_set) av_dict_set = nullptr;
  decltype(&::av_dict_free) av_dict_free = nullptr;
  decltype(&::av_opt_set) av_opt_set = nullptr;
  decltype(&::av_rescale_q) av_rescale_q = nullptr;
  decltype(&::av_buffer_ref) av_buffer_ref = nullptr;
  decltype(&::av_buffer_unref) av_buffer_unref = nullptr;
  decltype(&::av_hwdevice_ctx_create) av_hwdevice_ctx_create = nullptr;
  decltype(&::av_hwframe_ctx_alloc) av_hwframe_ctx_alloc = nullptr;
  decltype(&::av_hwframe_ctx_init) av_hwframe_ctx_init = nullptr;
  decltype(&::av_hwframe_get_buffer) av_hwframe_get_buffer = nullptr;
  decltype(&::av_hwframe_transfer_data) av_hwframe_transfer_data = nullptr;
  decltype(&::av_log_get_level) av_log_get_level = nullptr;
  decltype(&::av_log_set_level) av_log_set_level = nullptr;

  FfmpegApi(const FfmpegApi&) = delete;
  FfmpegApi& operator=(const FfmpegApi&) = delete;

 private:
  FfmpegApi() = default;
  ~FfmpegApi() = default;  // memory only: a loaded FFmpeg is never closed

  void LoadOnce();
  bool OpenLibrarySet(const std::string& directory, const std::string& utilName,
                      const std::string& codecName, const std::string& formatName);
  bool PreloadNonFfmpegDependencies(const std::string& libraryPath);
  template <typename F>
  bool Require(void* handle, const char* name, F* slot);
  bool BindAll();

  std::once_flag once_;
  void* avutil_ = nullptr;
  void* avcodec_ = nullptr;
  void* avformat_ = nullptr;
  std::vector<void*> dependencies_;
};

// Sets FFmpeg's log level for a noisy phase (probing, trailers) and restores it at the end.
class ScopedFfmpegLogLevel {
 public:
  ScopedFfmpegLogLevel(FfmpegApi& api, int level) : api_(api), saved_(api.av_log_get_level()) {
    api_.av_log_set_level(level);
  }
  ~ScopedFfmpegLogLevel() { api_.av_log_set_level(saved_); }
  ScopedFfmpegLogLevel(const ScopedFfmpegLogLevel&) = delete;
  ScopedFfmpegLogLevel& operator=(const ScopedFfmpegLogLevel&) = delete;

 private:
  FfmpegApi& api_;
  int saved_;
};

// "<label> failed: <FFmpeg's text for code>", or "... failed: error <code>" when FFmpeg has no
// text for it (or av_strerror is not bound).
std::string FfmpegError(const FfmpegApi& api, const std::string& label, int code);

// The name alone for an empty directory; otherwise directory and name joined by one "/".
std::string JoinPath(const std::string& directory, const std::string& name);

// Whether a library file name belongs to the FFmpeg family (libavcodec.so..., libswscale.so...).
bool IsFfmpegFamilyLibrary(const std::string& baseName);

// The file names this build loads: libavutil.so.<major> and so on, majors from the headers.
std::string FfmpegUtilFileName();
std::string FfmpegCodecFileName();
std::string FfmpegFormatFileName();

}  // namespace zentri_native
