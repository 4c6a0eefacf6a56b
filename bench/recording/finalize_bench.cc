// What finishing a recording costs: a 10-minute 1080p30 recording at 4 Mbit/s finalized the old
// way (one regular MP4 written with "+faststart": at the end the muxer writes the index and moves
// all media data behind it in a second pass) beside the way recordings are written now
// (fragmented while recording, the regular MP4 written beside it, then Mp4Writer::Finish: the
// regular file's index moved in front by the same "+faststart" pass, the regular file put in
// the fragmented one's place, and the fragmented file removed).
//
// Encoding 18,000 frames with x264 would measure x264, not the finish: one real 2-second GOP
// (60 frames of 1920x1080, libx264 veryfast/zerolatency at 4 Mbit/s, as encworker encodes) is
// encoded once and its packets are muxed 300 times over with advancing times. Both ways mux the
// same packets into the same directory; the rounds alternate.
//
// The packets are muxed much faster than a camera delivers them. A real 10-minute recording
// reaches its end with only its last half minute or so not yet written back by the kernel (it
// writes dirty data older than 30 s): so the files are synced to disk before the last 30 s of
// packets are muxed, and only then is the finish timed.
//
//   build/bench_finalize [directory=/var/tmp] [rounds=3] [minutes=10]
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "recording/ffmpeg_api.h"
#include "recording/mp4_writer.h"

using namespace zentri_native;

namespace {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
constexpr int kFps = 30;
constexpr int kBitrate = 4000000;
constexpr int kGop = 2 * kFps;
constexpr AVRational kTimeBase{1, 90000};
constexpr int64_t kFrameTicks = 90000 / kFps;

struct EncodedPacket {
  std::vector<uint8_t> data;
  bool key;
};

double Seconds(std::chrono::steady_clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

[[noreturn]] void Die(const std::string& what) {
  std::fprintf(stderr, "bench_finalize: %s\n", what.c_str());
  std::exit(1);
}

// One GOP of real packets, and the opened encoder (its parameters describe the stream).
AVCodecContext* EncodeOneGop(FfmpegApi& api, std::vector<EncodedPacket>* gop) {
  const AVCodec* codec = api.avcodec_find_encoder_by_name("libx264");
  if (codec == nullptr) {
    Die("libx264 is not in this FFmpeg");
  }
  AVCodecContext* ctx = api.avcodec_alloc_context3(codec);
  ctx->width = kWidth;
  ctx->height = kHeight;
  ctx->time_base = kTimeBase;
  ctx->framerate = AVRational{kFps, 1};
  ctx->gop_size = kGop;
  ctx->max_b_frames = 0;
  ctx->bit_rate = kBitrate;
  ctx->pix_fmt = AV_PIX_FMT_NV12;
  ctx->color_range = AVCOL_RANGE_MPEG;
  ctx->color_primaries = AVCOL_PRI_BT709;
  ctx->color_trc = AVCOL_TRC_BT709;
  ctx->colorspace = AVCOL_SPC_BT709;
  ctx->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  api.av_opt_set(ctx->priv_data, "preset", "veryfast", 0);
  api.av_opt_set(ctx->priv_data, "tune", "zerolatency", 0);
  api.av_opt_set(ctx->priv_data, "profile", "high", 0);
  if (api.avcodec_open2(ctx, codec, nullptr) < 0) {
    Die("libx264 does not open");
  }
  AVFrame* frame = api.av_frame_alloc();
  frame->format = AV_PIX_FMT_NV12;
  frame->width = kWidth;
  frame->height = kHeight;
  api.av_frame_get_buffer(frame, 32);
  AVPacket* packet = api.av_packet_alloc();
  std::mt19937 random(16);
  auto drain = [&] {
    while (api.avcodec_receive_packet(ctx, packet) == 0) {
      gop->push_back({std::vector<uint8_t>(packet->data, packet->data + packet->size),
                      (packet->flags & AV_PKT_FLAG_KEY) != 0});
      api.av_packet_unref(packet);
    }
  };
  for (int i = 0; i < kGop; ++i) {
    api.av_frame_make_writable(frame);
    // A moving gradient with noise: detail the rate control has to spend its bits on.
    for (int y = 0; y < kHeight; ++y) {
      uint8_t* row = frame->data[0] + y * frame->linesize[0];
      for (int x = 0; x < kWidth; ++x) {
        row[x] = static_cast<uint8_t>(x + y + 4 * i + (random() & 3));
      }
    }
    for (int y = 0; y < kHeight / 2; ++y) {
      uint8_t* row = frame->data[1] + y * frame->linesize[1];
      for (int x = 0; x < kWidth; ++x) {
        row[x] = static_cast<uint8_t>(128 + ((x + i) & 15));
      }
    }
    frame->pts = i * kFrameTicks;
    api.avcodec_send_frame(ctx, frame);
    drain();
  }
  api.avcodec_send_frame(ctx, nullptr);
  drain();
  api.av_packet_free(&packet);
  api.av_frame_free(&frame);
  if (gop->size() != static_cast<size_t>(kGop)) {
    Die("the encoder gave " + std::to_string(gop->size()) + " packets for one GOP");
  }
  return ctx;
}

// Fills packet with packet number n of the recording (the GOP repeated).
void NthPacket(FfmpegApi& api, const std::vector<EncodedPacket>& gop, int64_t n, AVPacket* packet) {
  const EncodedPacket& source = gop[static_cast<size_t>(n % kGop)];
  api.av_packet_unref(packet);
  packet->data = const_cast<uint8_t*>(source.data.data());
  packet->size = static_cast<int>(source.data.size());
  packet->pts = packet->dts = n * kFrameTicks;
  packet->duration = kFrameTicks;
  packet->flags = source.key ? AV_PKT_FLAG_KEY : 0;
  packet->stream_index = 0;
}

constexpr int64_t kUnsyncedPackets = 30 * kFps;

// Writes the file's data back to disk (a read-only descriptor does for fdatasync).
void WriteBack(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    fdatasync(fd);
    close(fd);
  }
}

struct Timing {
  double recording = 0;  // muxing every packet, as the recording runs
  double finalize = 0;   // what Stop waits for
  double sync = 0;       // what making the finished file durable would add (not done)
  int64_t bytes = 0;
};

double SyncFile(const std::string& path) {
  const auto start = std::chrono::steady_clock::now();
  WriteBack(path);
  return Seconds(std::chrono::steady_clock::now() - start);
}

int64_t FileSize(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

// The old way: a regular MP4 with "+faststart", packets written interleaved, the trailer moving
// the media data behind the index.
Timing FaststartRecording(FfmpegApi& api, const AVCodecContext& encoder,
                          const std::vector<EncodedPacket>& gop, int64_t packets,
                          const std::string& path) {
  Timing timing;
  AVFormatContext* out = nullptr;
  api.avformat_alloc_output_context2(&out, nullptr, "mp4", path.c_str());
  AVStream* stream = api.avformat_new_stream(out, nullptr);
  stream->time_base = encoder.time_base;
  api.avcodec_parameters_from_context(stream->codecpar, &encoder);
  stream->codecpar->codec_tag = 0;
  if (api.avio_open(&out->pb, path.c_str(), AVIO_FLAG_WRITE) < 0) {
    Die("cannot write " + path);
  }
  AVDictionary* options = nullptr;
  api.av_dict_set(&options, "movflags", "+faststart", 0);
  const int header = api.avformat_write_header(out, &options);
  api.av_dict_free(&options);
  if (header < 0) {
    Die("the header failed");
  }
  AVPacket* packet = api.av_packet_alloc();
  const auto start = std::chrono::steady_clock::now();
  for (int64_t n = 0; n < packets; ++n) {
    if (n == packets - kUnsyncedPackets) {
      WriteBack(path);
    }
    NthPacket(api, gop, n, packet);
    api.av_packet_rescale_ts(packet, encoder.time_base, stream->time_base);
    if (api.av_interleaved_write_frame(out, packet) < 0) {
      Die("writing a packet failed");
    }
  }
  const auto written = std::chrono::steady_clock::now();
  {
    ScopedFfmpegLogLevel quiet(api, AV_LOG_WARNING);
    if (api.av_write_trailer(out) < 0) {
      Die("the trailer failed");
    }
  }
  api.avio_closep(&out->pb);
  const auto finished = std::chrono::steady_clock::now();
  api.avformat_free_context(out);
  api.av_packet_free(&packet);
  timing.recording = Seconds(written - start);
  timing.finalize = Seconds(finished - written);
  timing.bytes = FileSize(path);
  timing.sync = SyncFile(path);
  return timing;
}

// The new way, through the writer the recorder uses; without the regular copy alongside, the
// way a recording ends whose copy could not be written (the regular file is copied from the
// fragmented one at the end).
Timing FragmentedRecording(FfmpegApi& api, const AVCodecContext& encoder,
                           const std::vector<EncodedPacket>& gop, int64_t packets,
                           const std::string& path, bool regularAlongside) {
  Timing timing;
  Mp4Writer writer(api, regularAlongside);
  std::string error = writer.Create(path);
  if (error.empty()) {
    error = writer.Open(encoder);
  }
  if (!error.empty()) {
    Die(error);
  }
  AVPacket* packet = api.av_packet_alloc();
  const auto start = std::chrono::steady_clock::now();
  for (int64_t n = 0; n < packets; ++n) {
    if (n == packets - kUnsyncedPackets) {
      WriteBack(path);
      WriteBack(FinalizingPath(path));
    }
    NthPacket(api, gop, n, packet);
    error = writer.WritePacket(packet, encoder.time_base);
    if (!error.empty()) {
      Die(error);
    }
  }
  const auto written = std::chrono::steady_clock::now();
  error = writer.Finish();
  const auto finished = std::chrono::steady_clock::now();
  if (!error.empty()) {
    Die(error);
  }
  api.av_packet_free(&packet);
  timing.recording = Seconds(written - start);
  timing.finalize = Seconds(finished - written);
  timing.bytes = FileSize(path);
  timing.sync = SyncFile(path);
  return timing;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const std::string directory = argc > 1 ? argv[1] : "/var/tmp";
  const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
  const int minutes = argc > 3 ? std::max(1, std::atoi(argv[3])) : 10;
  FfmpegApi& api = FfmpegApi::Instance();
  api.Load();
  if (!api.loaded) {
    Die(api.error);
  }
  api.av_log_set_level(AV_LOG_WARNING);
  std::vector<EncodedPacket> gop;
  AVCodecContext* encoder = EncodeOneGop(api, &gop);
  int64_t gopBytes = 0;
  for (const EncodedPacket& packet : gop) {
    gopBytes += static_cast<int64_t>(packet.data.size());
  }
  const int64_t packets = int64_t{minutes} * 60 * kFps;
  std::printf(
      "%d min of %dx%d at %d fps: %lld packets; one real GOP of %d packets repeated, "
      "%.2f Mbit/s\n",
      minutes, kWidth, kHeight, kFps, static_cast<long long>(packets), kGop,
      gopBytes * 8.0 / 2.0 / 1e6);
  std::printf("directory %s, %d rounds, alternating\n", directory.c_str(), rounds);

  const std::string oldPath = directory + "/bench-finalize-faststart.mp4";
  const std::string newPath = directory + "/bench-finalize-fragmented.mp4";
  // [0]: before; [1]: now; [2]: now, when the regular copy was lost (the fallback).
  std::vector<double> finalize[3], recording[3], sync[3];
  int64_t bytes[3] = {0, 0, 0};
  for (int round = 0; round < rounds; ++round) {
    const Timing timings[3] = {
        FaststartRecording(api, *encoder, gop, packets, oldPath),
        (unlink(oldPath.c_str()), FragmentedRecording(api, *encoder, gop, packets, newPath, true)),
        (unlink(newPath.c_str()), FragmentedRecording(api, *encoder, gop, packets, newPath, false)),
    };
    unlink(newPath.c_str());
    std::printf("round %d: finalize faststart %.3f s, now %.3f s, fallback copy %.3f s\n",
                round + 1, timings[0].finalize, timings[1].finalize, timings[2].finalize);
    for (int i = 0; i < 3; ++i) {
      finalize[i].push_back(timings[i].finalize);
      recording[i].push_back(timings[i].recording);
      sync[i].push_back(timings[i].sync);
      bytes[i] = timings[i].bytes;
    }
  }
  api.avcodec_free_context(&encoder);

  std::printf("\nmedians                        before     now        fallback copy\n");
  std::printf("muxing while recording (s)    %8.3f   %8.3f   %8.3f   (with the write-back)\n",
              Median(recording[0]), Median(recording[1]), Median(recording[2]));
  std::printf("finalize, Stop waits (s)      %8.3f   %8.3f   %8.3f\n", Median(finalize[0]),
              Median(finalize[1]), Median(finalize[2]));
  std::printf("file size (MB)                %8.1f   %8.1f   %8.1f\n", bytes[0] / 1e6,
              bytes[1] / 1e6, bytes[2] / 1e6);
  std::printf("fdatasync of the result (s)   %8.3f   %8.3f   %8.3f   (not part of a finalize)\n",
              Median(sync[0]), Median(sync[1]), Median(sync[2]));
  std::printf("finalize ratio now / before: %.2f (fallback copy: %.2f)\n",
              Median(finalize[1]) / Median(finalize[0]), Median(finalize[2]) / Median(finalize[0]));
  return 0;
}
