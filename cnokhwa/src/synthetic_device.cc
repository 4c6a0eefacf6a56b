#include "synthetic_device.h"

#include <linux/videodev2.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "cnokhwa.h"

namespace cnokhwa {
namespace {

constexpr int kMaxCount = 16;
constexpr int kMaxFrameRate = 240;

bool ParseEntry(const std::string& text, SyntheticConfig* config) {
  const char* p = text.c_str();
  char* end = nullptr;
  const long width = std::strtol(p, &end, 10);
  if (end == p || (*end != 'x' && *end != 'X')) {
    return false;
  }
  p = end + 1;
  const long height = std::strtol(p, &end, 10);
  if (end == p) {
    return false;
  }
  long rate = 30;
  if (*end == '@') {
    p = end + 1;
    rate = std::strtol(p, &end, 10);
    if (end == p) {
      return false;
    }
  }
  if (*end != '\0' || width < 1 || height < 1 || width > kMaxSyntheticSide ||
      height > kMaxSyntheticSide || rate < 1 || rate > kMaxFrameRate) {
    return false;
  }
  *config = {static_cast<int>(width), static_cast<int>(height), static_cast<int>(rate)};
  return true;
}

class SyntheticSession : public Session {
 public:
  SyntheticSession(int width, int height, int frameRate, std::shared_ptr<FrameStore> frames,
                   uint64_t token)
      : width_(width),
        height_(height),
        interval_(std::chrono::nanoseconds(1000000000 / frameRate)),
        frames_(std::move(frames)),
        token_(token) {}

  ~SyntheticSession() override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) {
      thread_.join();
    }
  }

  void Launch() {
    thread_ = std::thread([this] { Run(); });
  }

 private:
  void Run() {
    const size_t bytes = static_cast<size_t>(width_) * 3 * static_cast<size_t>(height_);
    std::vector<uint8_t> back;
    auto deadline = std::chrono::steady_clock::now();
    for (uint32_t n = 1;; ++n) {
      try {
        back.resize(bytes);
      } catch (const std::bad_alloc&) {
        frames_->Fail(token_, CNOKHWA_ERR_NO_MEMORY);
        return;
      }
      DrawSyntheticFrame(n, width_, height_, back.data());
      frames_->Publish(token_, back, width_, height_);
      // Like a real camera, a late frame is not made up for.
      deadline += interval_;
      const auto now = std::chrono::steady_clock::now();
      if (deadline < now) {
        deadline = now;
      }
      std::unique_lock<std::mutex> lock(mutex_);
      if (wake_.wait_until(lock, deadline, [this] { return stop_; })) {
        return;
      }
    }
  }

  const int width_;
  const int height_;
  const std::chrono::nanoseconds interval_;
  const std::shared_ptr<FrameStore> frames_;
  const uint64_t token_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_ = false;
  std::thread thread_;
};

class SyntheticDevice : public Device {
 public:
  SyntheticDevice(DeviceInfo info, std::vector<FormatEntry> formats, SyntheticConfig config)
      : Device(std::move(info), std::move(formats)), config_(config) {}

 protected:
  int CheckRequest(const CaptureRequest& request) const override {
    return request.format < 0 &&
                   (request.width > kMaxSyntheticSide || request.height > kMaxSyntheticSide)
               ? CNOKHWA_ERR_BAD_ARGUMENT
               : CNOKHWA_OK;
  }

  int CreateSession(const CaptureRequest& request, std::shared_ptr<FrameStore> frames,
                    uint64_t token, std::unique_ptr<Session>* session) override {
    int width = config_.width;
    int height = config_.height;
    int rate = config_.frameRate;
    if (request.format >= 0) {
      const FormatEntry& entry = Formats()[static_cast<size_t>(request.format)];
      width = entry.width;
      height = entry.height;
      rate = entry.frameRate;
    } else if (request.width >= 1 && request.height >= 1) {
      if (request.width > kMaxSyntheticSide || request.height > kMaxSyntheticSide) {
        return CNOKHWA_ERR_BAD_ARGUMENT;
      }
      width = request.width;
      height = request.height;
    }
    auto started =
        std::make_unique<SyntheticSession>(width, height, rate, std::move(frames), token);
    try {
      started->Launch();
    } catch (const std::system_error&) {
      return CNOKHWA_ERR_NO_MEMORY;
    }
    *session = std::move(started);
    return CNOKHWA_OK;
  }

 private:
  const SyntheticConfig config_;
};

}  // namespace

std::vector<SyntheticConfig> ParseSyntheticCameras(const char* value) {
  std::vector<SyntheticConfig> cameras;
  if (value == nullptr || *value == '\0') {
    return cameras;
  }
  char* end = nullptr;
  const long count = std::strtol(value, &end, 10);
  if (end != value && *end == '\0') {
    for (long i = 0; i < count && i < kMaxCount; ++i) {
      cameras.push_back(SyntheticConfig{});
    }
    return cameras;
  }
  std::string list(value);
  size_t start = 0;
  while (start <= list.size() && cameras.size() < static_cast<size_t>(kMaxCount)) {
    size_t comma = list.find(',', start);
    if (comma == std::string::npos) {
      comma = list.size();
    }
    std::string entry = list.substr(start, comma - start);
    entry.erase(0, entry.find_first_not_of(" \t"));
    entry.erase(entry.find_last_not_of(" \t") + 1);
    SyntheticConfig config;
    if (ParseEntry(entry, &config)) {
      cameras.push_back(config);
    }
    start = comma + 1;
  }
  return cameras;
}

void DrawSyntheticFrame(uint32_t n, int width, int height, uint8_t* rgb) {
  const size_t rowBytes = static_cast<size_t>(width) * 3;
  const int band = height / 8 > 1 ? height / 8 : 1;
  const uint8_t mark[3] = {static_cast<uint8_t>(n), static_cast<uint8_t>(n >> 8),
                           static_cast<uint8_t>(n >> 16)};
  for (int x = 0; x < width; ++x) {
    std::memcpy(rgb + x * 3, mark, 3);
  }
  for (int y = 1; y < band && y < height; ++y) {
    std::memcpy(rgb + rowBytes * y, rgb, rowBytes);
  }
  // Below the band red and blue rise by one per pixel and wrap at 256, and green and the first
  // blue rise by one per row: a row repeats every 256 pixels and equals the row 256 above it. So
  // only the first 256 pixels of the first 256 rows are worked out, and the rest is copied, which
  // keeps the capture thread's drawing near the cost of one copy of the frame.
  constexpr int kPeriod = 256;
  const int period = width < kPeriod ? width : kPeriod;
  for (int y = band; y < height; ++y) {
    uint8_t* row = rgb + rowBytes * y;
    if (y - band >= kPeriod) {
      std::memcpy(row, row - rowBytes * kPeriod, rowBytes);
      continue;
    }
    const uint8_t green = static_cast<uint8_t>(y + 2 * n);
    uint8_t red = static_cast<uint8_t>(4 * n);
    uint8_t blue = static_cast<uint8_t>(y + n);
    uint8_t* pixel = row;
    for (int x = 0; x < period; ++x, pixel += 3) {
      pixel[0] = red++;
      pixel[1] = green;
      pixel[2] = blue++;
    }
    for (int x = period; x < width; x += period) {
      const int count = width - x < period ? width - x : period;
      std::memcpy(row + static_cast<size_t>(x) * 3, row, static_cast<size_t>(count) * 3);
    }
  }
}

std::shared_ptr<Device> MakeSyntheticDevice(int k, const SyntheticConfig& config) {
  DeviceInfo info;
  info.key = "synthetic|" + std::to_string(k) + "|" + std::to_string(config.width) + "x" +
             std::to_string(config.height) + "@" + std::to_string(config.frameRate);
  info.uniqueId = "synthetic-" + std::to_string(k);
  info.modelId = "synthetic";
  info.name = "Synthetic Camera " + std::to_string(k);
  std::vector<FormatEntry> formats = {
      {V4L2_PIX_FMT_RGB24, config.width, config.height, config.frameRate}};
  // Two common smaller sizes, so that format choice has something to choose from.
  for (const auto& size : {std::make_pair(640, 480), std::make_pair(320, 240)}) {
    if (size.first < config.width && size.second < config.height) {
      formats.push_back({V4L2_PIX_FMT_RGB24, size.first, size.second, config.frameRate});
    }
  }
  return std::make_shared<SyntheticDevice>(std::move(info), std::move(formats), config);
}

}  // namespace cnokhwa
