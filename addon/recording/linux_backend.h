// The encoder backend of this platform: one MP4 file with one H.264 stream, written through the
// run-time-loaded FFmpeg. It probes H.264 encoders in priority order (reachable hardware first)
// and keeps the first that opens; libx264 is handed to the encworker process unless this
// process is that worker.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "recording/ffmpeg_api.h"
#include "recording/mp4_writer.h"
#include "recording/video_recorder.h"

namespace zentri_native {

class LinuxBackend : public VideoRecorder::Backend {
 public:
  explicit LinuxBackend(bool inProcessSoftware);
  ~LinuxBackend() override;
  LinuxBackend(const LinuxBackend&) = delete;
  LinuxBackend& operator=(const LinuxBackend&) = delete;

  std::string Start(const std::string& outputPath, int32_t width, int32_t height, int32_t frameRate,
                    int32_t bitrate) override;
  std::string EncodeFrame(const VideoRecorder::Frame& frame, int64_t pts,
                          int64_t duration) override;
  std::string Finalize() override;
  std::string EncoderName() const override;
  std::string EncoderAcceleration() const override;

 private:
  std::string OpenEncoder(const AVCodec* codec, bool vaapi);
  std::string DrainPackets(bool flushing);
  void FreeEncoderObjects();
  void Cleanup();
  void ApplyColorProperties(AVFrame* frame) const;

  std::unique_ptr<VideoRecorder::Backend> delegate_;
  FfmpegApi& api_;
  const bool inProcessSoftware_;

  // The output file: fragmented (always playable) while recording, regular once finalized.
  Mp4Writer writer_;
  AVCodecContext* encoderContext_ = nullptr;
  AVFrame* frame_ = nullptr;
  AVPacket* packet_ = nullptr;
  AVBufferRef* vaapiDevice_ = nullptr;
  AVBufferRef* vaapiFramePool_ = nullptr;
  bool useVaapi_ = false;
  bool started_ = false;
  bool finalized_ = false;

  int32_t width_ = 0;
  int32_t height_ = 0;
  int32_t frameRate_ = 0;
  int32_t bitrate_ = 0;

  // Duration of every submitted frame whose packet has not been written yet, by presentation
  // time in the encoder time base: each packet gets the exact duration of its frame.
  std::map<int64_t, int64_t> pendingDurations_;
  int64_t lastPts_ = -1;
  std::string encoderName_;
};

std::unique_ptr<VideoRecorder::Backend> CreateLinuxBackend(bool inProcessSoftware);

// FFmpeg loads, some H.264 encoder exists, and the MP4 muxer can be set up.
bool LinuxVideoRecordingAvailable();

bool HasPotentialH264Encoder(FfmpegApi& api);

// What the camera and external recorders use on this platform.
VideoRecorder::Platform LinuxRecorderPlatform();

}  // namespace zentri_native
