#include "recording/linux_backend.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "recording/nv12_convert.h"
#include "recording/software_process_backend.h"

namespace zentri_native {

namespace {

constexpr AVRational kTickTimeBase{1, 10000000};  // 100-ns ticks
constexpr AVRational kEncoderTimeBase{1, 90000};
constexpr int kLogQuiet = -8;
constexpr int kLogWarning = 24;
constexpr int kVaapiPoolSize = 8;

struct EncoderCandidate {
  std::string name;
  bool vaapi;
};

bool ReadWritable(const std::string& path) {
  return access(path.c_str(), R_OK | W_OK) == 0;
}

// The first render node this process may use, if any.
bool HasUsableRenderNode() {
  DIR* dir = opendir("/dev/dri");
  if (dir == nullptr) {
    return false;
  }
  bool found = false;
  while (dirent* entry = readdir(dir)) {
    if (std::strncmp(entry->d_name, "renderD", 7) == 0 &&
        ReadWritable(std::string("/dev/dri/") + entry->d_name)) {
      found = true;
      break;
    }
  }
  closedir(dir);
  return found;
}

// An unset, empty or "auto" ZENTRI_FFMPEG_ENCODER means the automatic order.
std::string ForcedEncoderName() {
  const char* value = std::getenv("ZENTRI_FFMPEG_ENCODER");
  if (value == nullptr || value[0] == '\0' || std::strcmp(value, "auto") == 0) {
    return {};
  }
  return value;
}

std::vector<EncoderCandidate> EncoderCandidates(const std::string& forced) {
  if (!forced.empty()) {
    return {{forced, forced == "h264_vaapi"}};
  }
  std::vector<EncoderCandidate> candidates;
  if (HasUsableRenderNode()) {
    candidates.push_back({"h264_vaapi", true});
    candidates.push_back({"h264_qsv", false});
  }
  if (ReadWritable("/dev/nvidia0") && ReadWritable("/dev/nvidiactl")) {
    candidates.push_back({"h264_nvenc", false});
  }
  for (const char* name : {"h264_v4l2m2m", "libx264", "libopenh264", "h264"}) {
    candidates.push_back({name, false});
  }
  return candidates;
}

bool IsStandardDefinition(int32_t width, int32_t height) {
  return width < 1280 && height < 577;
}

}  // namespace

LinuxBackend::LinuxBackend(bool inProcessSoftware)
    : api_(FfmpegApi::Instance()), inProcessSoftware_(inProcessSoftware), writer_(api_) {}

LinuxBackend::~LinuxBackend() {
  Cleanup();
  delegate_.reset();
}

std::unique_ptr<VideoRecorder::Backend> CreateLinuxBackend(bool inProcessSoftware) {
  return std::make_unique<LinuxBackend>(inProcessSoftware);
}

bool HasPotentialH264Encoder(FfmpegApi& api) {
  for (const char* name :
       {"h264_vaapi", "h264_nvenc", "h264_qsv", "h264_v4l2m2m", "libx264", "libopenh264", "h264"}) {
    if (api.avcodec_find_encoder_by_name(name) != nullptr) {
      return true;
    }
  }
  return api.avcodec_find_encoder(AV_CODEC_ID_H264) != nullptr;
}

bool LinuxVideoRecordingAvailable() {
  FfmpegApi& api = FfmpegApi::Instance();
  api.Load();
  if (!api.loaded || !HasPotentialH264Encoder(api)) {
    return false;
  }
  AVFormatContext* probe = nullptr;
  const int result = api.avformat_alloc_output_context2(&probe, nullptr, "mp4", "probe.mp4");
  if (probe != nullptr) {
    api.avformat_free_context(probe);
  }
  return result >= 0;
}

VideoRecorder::Platform LinuxRecorderPlatform() {
  VideoRecorder::Platform platform;
  platform.available = [] { return LinuxVideoRecordingAvailable(); };
  platform.createBackend = [] { return CreateLinuxBackend(false); };
  return platform;
}

std::string LinuxBackend::EncoderName() const {
  return delegate_ ? delegate_->EncoderName() : encoderName_;
}

std::string LinuxBackend::EncoderAcceleration() const {
  if (delegate_) {
    return delegate_->EncoderAcceleration();
  }
  if (encoderName_ == "h264_nvenc" || encoderName_ == "h264_vaapi" || encoderName_ == "h264_qsv") {
    return "hardware";
  }
  if (encoderName_ == "libx264") {
    return "software";
  }
  return "unknown";
}

void LinuxBackend::ApplyColorProperties(AVFrame* frame) const {
  const bool sd = IsStandardDefinition(width_, height_);
  frame->color_range = AVCOL_RANGE_MPEG;
  frame->color_primaries = sd ? AVCOL_PRI_SMPTE170M : AVCOL_PRI_BT709;
  frame->color_trc = sd ? AVCOL_TRC_SMPTE170M : AVCOL_TRC_BT709;
  frame->colorspace = sd ? AVCOL_SPC_SMPTE170M : AVCOL_SPC_BT709;
}

void LinuxBackend::FreeEncoderObjects() {
  if (!api_.loaded) {
    return;
  }
  if (packet_ != nullptr) {
    api_.av_packet_free(&packet_);
  }
  if (frame_ != nullptr) {
    api_.av_frame_free(&frame_);
  }
  if (encoderContext_ != nullptr) {
    // Closing libx264 prints its statistics at the info level.
    ScopedFfmpegLogLevel warnings(api_, std::min(api_.av_log_get_level(), kLogWarning));
    api_.avcodec_free_context(&encoderContext_);
  }
  if (vaapiFramePool_ != nullptr) {
    api_.av_buffer_unref(&vaapiFramePool_);
  }
  if (vaapiDevice_ != nullptr) {
    api_.av_buffer_unref(&vaapiDevice_);
  }
  useVaapi_ = false;
  encoderName_.clear();
  pendingDurations_.clear();
  lastPts_ = -1;
}

void LinuxBackend::Cleanup() {
  FreeEncoderObjects();
  if (!api_.loaded) {
    return;
  }
  writer_.Abandon();
  started_ = false;
}

std::string LinuxBackend::OpenEncoder(const AVCodec* codec, bool vaapi) {
  if (codec == nullptr || codec->id != AV_CODEC_ID_H264 || codec->type != AVMEDIA_TYPE_VIDEO) {
    return "encoder is not H.264";
  }
  if (codec->pix_fmts != nullptr) {
    const AVPixelFormat wanted = vaapi ? AV_PIX_FMT_VAAPI : AV_PIX_FMT_NV12;
    bool accepted = false;
    for (const AVPixelFormat* f = codec->pix_fmts; *f != AV_PIX_FMT_NONE; ++f) {
      accepted = accepted || *f == wanted;
    }
    if (!accepted) {
      return vaapi ? "encoder does not accept VAAPI frames" : "encoder does not accept NV12 frames";
    }
  }
  encoderContext_ = api_.avcodec_alloc_context3(codec);
  if (encoderContext_ == nullptr) {
    return "could not allocate the encoder context";
  }
  const bool sd = IsStandardDefinition(width_, height_);
  AVCodecContext* ctx = encoderContext_;
  ctx->width = width_;
  ctx->height = height_;
  ctx->time_base = kEncoderTimeBase;
  ctx->framerate = AVRational{frameRate_, 1};
  ctx->gop_size = std::max(2 * frameRate_, 1);
  ctx->max_b_frames = 0;
  ctx->profile = FF_PROFILE_H264_HIGH;
  ctx->bit_rate = bitrate_;
  ctx->pix_fmt = vaapi ? AV_PIX_FMT_VAAPI : AV_PIX_FMT_NV12;
  ctx->color_range = AVCOL_RANGE_MPEG;
  ctx->color_primaries = sd ? AVCOL_PRI_SMPTE170M : AVCOL_PRI_BT709;
  ctx->color_trc = sd ? AVCOL_TRC_SMPTE170M : AVCOL_TRC_BT709;
  ctx->colorspace = sd ? AVCOL_SPC_SMPTE170M : AVCOL_SPC_BT709;
  if (writer_.WantsGlobalHeader()) {
    ctx->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  }

  if (vaapi) {
    int r = api_.av_hwdevice_ctx_create(&vaapiDevice_, AV_HWDEVICE_TYPE_VAAPI, nullptr, nullptr, 0);
    if (r < 0) {
      return FfmpegError(api_, "Creating a VAAPI device", r);
    }
    vaapiFramePool_ = api_.av_hwframe_ctx_alloc(vaapiDevice_);
    if (vaapiFramePool_ == nullptr) {
      return "could not allocate the VAAPI frame pool";
    }
    auto* pool = reinterpret_cast<AVHWFramesContext*>(vaapiFramePool_->data);
    pool->format = AV_PIX_FMT_VAAPI;
    pool->sw_format = AV_PIX_FMT_NV12;
    pool->width = width_;
    pool->height = height_;
    pool->initial_pool_size = kVaapiPoolSize;
    r = api_.av_hwframe_ctx_init(vaapiFramePool_);
    if (r < 0) {
      return FfmpegError(api_, "Initializing the VAAPI frame pool", r);
    }
    ctx->hw_frames_ctx = api_.av_buffer_ref(vaapiFramePool_);
    if (ctx->hw_frames_ctx == nullptr) {
      return "could not attach the VAAPI frame pool";
    }
  }

  std::vector<std::pair<const char*, const char*>> options;
  const std::string name = codec->name != nullptr ? codec->name : "";
  if (name == "libx264") {
    options = {{"preset", "veryfast"}, {"tune", "zerolatency"}, {"profile", "high"}};
  } else if (name == "h264_nvenc") {
    options = {{"profile", "high"}, {"rc", "vbr"}};
  } else if (vaapi) {
    options = {{"rc_mode", "VBR"}};
  }
  for (const auto& [key, value] : options) {
    if (ctx->priv_data == nullptr) {
      return "encoder has no private option context";
    }
    const int r = api_.av_opt_set(ctx->priv_data, key, value, 0);
    if (r < 0) {
      return FfmpegError(api_, key, r);
    }
  }

  int r = api_.avcodec_open2(ctx, codec, nullptr);
  if (r < 0) {
    return FfmpegError(api_, "Opening the H.264 encoder", r);
  }
  frame_ = api_.av_frame_alloc();
  packet_ = api_.av_packet_alloc();
  if (frame_ == nullptr || packet_ == nullptr) {
    return "could not allocate FFmpeg frame buffers";
  }
  frame_->format = AV_PIX_FMT_NV12;
  frame_->width = width_;
  frame_->height = height_;
  ApplyColorProperties(frame_);
  r = api_.av_frame_get_buffer(frame_, 32);
  if (r < 0) {
    return FfmpegError(api_, "Allocating the NV12 frame buffer", r);
  }
  useVaapi_ = vaapi;
  encoderName_ = codec->name != nullptr ? codec->name : "H.264";
  return {};
}

std::string LinuxBackend::Start(const std::string& outputPath, int32_t width, int32_t height,
                                int32_t frameRate, int32_t bitrate) {
  api_.Load();
  if (!api_.loaded) {
    return api_.error.empty() ? "FFmpeg is unavailable" : api_.error;
  }
  Cleanup();
  delegate_.reset();
  finalized_ = false;
  width_ = width;
  height_ = height;
  frameRate_ = frameRate;
  bitrate_ = bitrate;

  const std::string created = writer_.Create(outputPath);
  if (!created.empty()) {
    Cleanup();
    return created;
  }

  const std::string forced = ForcedEncoderName();
  std::vector<std::string> failures;
  bool opened = false;
  {
    ScopedFfmpegLogLevel quiet(api_, kLogQuiet);
    for (const EncoderCandidate& candidate : EncoderCandidates(forced)) {
      if (candidate.name == "libx264" && !inProcessSoftware_) {
        std::unique_ptr<VideoRecorder::Backend> worker = CreateLinuxSoftwareProcessBackend();
        const std::string result = worker->Start(outputPath, width, height, frameRate, bitrate);
        if (!result.empty()) {
          failures.push_back("libx264: " + result);
          continue;
        }
        // The worker owns the file from here on; every later call goes to it.
        Cleanup();
        delegate_ = std::move(worker);
        return {};
      }
      const AVCodec* codec = api_.avcodec_find_encoder_by_name(candidate.name.c_str());
      if (codec == nullptr) {
        continue;
      }
      const std::string result = OpenEncoder(codec, candidate.vaapi);
      if (result.empty()) {
        opened = true;
        break;
      }
      failures.push_back(candidate.name + ": " + result);
      FreeEncoderObjects();
    }
  }
  if (!opened && forced.empty()) {
    const AVCodec* codec = api_.avcodec_find_encoder(AV_CODEC_ID_H264);
    // FFmpeg's default H.264 encoder is libx264 in most builds: outside the worker it was
    // already tried (through the worker) in the list above, and never runs in this process.
    const bool software =
        codec != nullptr && codec->name != nullptr && std::strncmp(codec->name, "libx264", 7) == 0;
    if (codec != nullptr && (inProcessSoftware_ || !software)) {
      const std::string result = OpenEncoder(codec, false);
      if (result.empty()) {
        opened = true;
      } else {
        failures.push_back(std::string(codec->name != nullptr ? codec->name : "H.264") + ": " +
                           result);
        FreeEncoderObjects();
      }
    }
  }
  if (!opened) {
    Cleanup();
    std::string message = "No usable FFmpeg H.264 encoder was found";
    if (!failures.empty()) {
      message += " (";
      for (size_t i = 0; i < failures.size(); ++i) {
        message += (i ? "; " : "") + failures[i];
      }
      message += ")";
    }
    return message;
  }

  const std::string header = writer_.Open(*encoderContext_);
  if (!header.empty()) {
    Cleanup();
    return header;
  }
  started_ = true;
  return {};
}

std::string LinuxBackend::DrainPackets(bool flushing) {
  if (encoderContext_ == nullptr || packet_ == nullptr || !writer_.started()) {
    return {};
  }
  for (;;) {
    int r = api_.avcodec_receive_packet(encoderContext_, packet_);
    if (r == AVERROR(EAGAIN)) {
      return flushing ? "The H.264 encoder did not finish flushing" : "";
    }
    if (r == AVERROR_EOF) {
      return {};
    }
    if (r < 0) {
      return FfmpegError(api_, "Encoding a video frame", r);
    }
    const auto pending = pendingDurations_.find(packet_->pts);
    if (pending == pendingDurations_.end()) {
      api_.av_packet_unref(packet_);
      return "H.264 output timestamp does not match a submitted frame";
    }
    packet_->duration = pending->second;
    pendingDurations_.erase(pending);
    const std::string written = writer_.WritePacket(packet_, encoderContext_->time_base);
    api_.av_packet_unref(packet_);
    if (!written.empty()) {
      return written;
    }
  }
}

std::string LinuxBackend::EncodeFrame(const VideoRecorder::Frame& frame, int64_t pts,
                                      int64_t duration) {
  if (delegate_) {
    return delegate_->EncodeFrame(frame, pts, duration);
  }
  if (encoderContext_ == nullptr || frame_ == nullptr || !started_) {
    return "The FFmpeg recording session is not running";
  }
  int r = api_.av_frame_make_writable(frame_);
  if (r < 0) {
    return FfmpegError(api_, "Preparing a video frame", r);
  }
  if (!ConvertFrameToNv12Planar(frame, frame_->data[0], frame_->linesize[0], frame_->data[1],
                                frame_->linesize[1])) {
    return "Unsupported or invalid camera frame format";
  }
  const int64_t encoderPts = api_.av_rescale_q(pts, kTickTimeBase, encoderContext_->time_base);
  const int64_t encoderDuration =
      std::max<int64_t>(api_.av_rescale_q(duration, kTickTimeBase, encoderContext_->time_base), 1);
  if (encoderPts <= lastPts_) {
    return "Capture timestamps collapsed in the encoder time base";
  }
  frame_->pts = encoderPts;
#if LIBAVUTIL_VERSION_MAJOR >= 58
  frame_->duration = encoderDuration;
#else
  frame_->pkt_duration = encoderDuration;
#endif

  AVFrame* submitted = frame_;
  AVFrame* hardwareFrame = nullptr;
  if (useVaapi_) {
    hardwareFrame = api_.av_frame_alloc();
    if (hardwareFrame == nullptr) {
      return "Could not allocate a VAAPI video frame";
    }
    r = api_.av_hwframe_get_buffer(vaapiFramePool_, hardwareFrame, 0);
    if (r >= 0) {
      r = api_.av_hwframe_transfer_data(hardwareFrame, frame_, 0);
    }
    if (r < 0) {
      api_.av_frame_free(&hardwareFrame);
      return FfmpegError(api_, "Uploading a VAAPI video frame", r);
    }
    hardwareFrame->pts = encoderPts;
#if LIBAVUTIL_VERSION_MAJOR >= 58
    hardwareFrame->duration = encoderDuration;
#else
    hardwareFrame->pkt_duration = encoderDuration;
#endif
    ApplyColorProperties(hardwareFrame);
    submitted = hardwareFrame;
  }

  r = api_.avcodec_send_frame(encoderContext_, submitted);
  std::string drainError;
  if (r == AVERROR(EAGAIN)) {
    drainError = DrainPackets(false);
    if (drainError.empty()) {
      r = api_.avcodec_send_frame(encoderContext_, submitted);
    }
  }
  if (hardwareFrame != nullptr) {
    api_.av_frame_free(&hardwareFrame);
  }
  if (!drainError.empty()) {
    return drainError;
  }
  if (r < 0) {
    return FfmpegError(api_, "Submitting a video frame", r);
  }
  pendingDurations_.emplace(encoderPts, encoderDuration);
  lastPts_ = encoderPts;
  return DrainPackets(false);
}

std::string LinuxBackend::Finalize() {
  if (delegate_) {
    return delegate_->Finalize();
  }
  if (finalized_) {
    return {};
  }
  std::string firstError;
  auto note = [&firstError](const std::string& error) {
    if (firstError.empty()) {
      firstError = error;
    }
  };
  if (encoderContext_ != nullptr && started_) {
    int r = api_.avcodec_send_frame(encoderContext_, nullptr);
    if (r == AVERROR(EAGAIN)) {
      note(DrainPackets(false));
      r = api_.avcodec_send_frame(encoderContext_, nullptr);
    }
    if (r < 0 && r != AVERROR_EOF) {
      note(FfmpegError(api_, "Flushing the H.264 encoder", r));
    }
    if (firstError.empty()) {
      note(DrainPackets(true));
    }
  }
  if (firstError.empty() && !pendingDurations_.empty()) {
    note("The H.264 encoder omitted submitted frames while finalizing");
  }
  if (started_) {
    // The last fragment, then the regular file (index first) replaces the fragmented one; a
    // failure there leaves the fragmented file, which plays.
    note(writer_.Finish());
  }
  Cleanup();
  finalized_ = true;
  return firstError;
}

}  // namespace zentri_native
