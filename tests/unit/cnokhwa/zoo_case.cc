#include "zoo_case.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

#include "pixel_convert.h"
#include "registry.h"

namespace cnokhwa {
namespace zoo {

void InChild(const std::function<void()>& body) {
  fflush(stdout);
  fflush(stderr);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    alarm(kCaseSeconds);
    body();
    cnokhwa_stop_capture(-1);
    fflush(stdout);
    _exit(::testing::Test::HasFailure() ? 1 : 0);
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kCaseSeconds + 10);
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      FAIL() << "the case did not end";
    }
    std::this_thread::sleep_for(10ms);
  }
  if (WIFSIGNALED(status)) {
    FAIL() << "the case was killed by signal " << WTERMSIG(status)
           << (WTERMSIG(status) == SIGALRM ? " (its time-out)" : "");
  }
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the case failed (its messages are above)";
}

std::string Text(int (*query)(int, void*, int), int index) {
  char buffer[1024] = {};
  query(index, buffer, sizeof(buffer));
  buffer[sizeof(buffer) - 1] = '\0';
  return buffer;
}

std::vector<Listed> FormatsOf(int index) {
  std::vector<Listed> formats;
  const int count = cnokhwa_device_formats_count(index);
  for (int i = 0; i < count; ++i) {
    char type[256] = {};
    cnokhwa_device_format_type(index, i, type, sizeof(type));
    formats.push_back({type, cnokhwa_device_format_width(index, i),
                       cnokhwa_device_format_height(index, i),
                       cnokhwa_device_format_frame_rate(index, i)});
  }
  return formats;
}

int FormatIndex(int index, const std::string& type, int width, int height) {
  const std::vector<Listed> formats = FormatsOf(index);
  for (size_t i = 0; i < formats.size(); ++i) {
    if (formats[i].type == type && formats[i].width == width && formats[i].height == height) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

int DeviceNamed(const std::string& card) {
  const int count = cnokhwa_devices_count();
  for (int i = 0; i < count; ++i) {
    if (Text(cnokhwa_device_name, i) == card) {
      return i;
    }
  }
  return -1;
}

Grabbed Grab(int index) {
  Grabbed g;
  g.width = cnokhwa_frame_width(index);
  g.height = cnokhwa_frame_height(index);
  const int stride = cnokhwa_frame_bytes_per_row(index);
  if (g.width < 1 || g.height < 1 || stride < 1) {
    g.result = g.width < 0 ? g.width : CNOKHWA_NOT_YET;
    return g;
  }
  g.rgb.resize(static_cast<size_t>(stride) * static_cast<size_t>(g.height));
  g.result = cnokhwa_grab_frame(index, g.rgb.data(), static_cast<int>(g.rgb.size()));
  return g;
}

uint64_t PublishedFrames(int index) {
  std::shared_ptr<Device> device = GlobalRegistry().Get(index);
  return device ? device->Frames().FrameCount() : 0;
}

uint32_t DeliverOne(Camera& camera) {
  EXPECT_EQ(camera.Deliver(1), 1);
  const uint32_t frame = camera.LastFrame();
  EXPECT_TRUE(camera.WaitRead(frame, 20s)) << "frame " << frame << " was not read";
  return frame;
}

testing::RgbDifference GrabAgainst(int index, const Camera& camera, uint32_t frame) {
  const Grabbed g = Grab(index);
  EXPECT_EQ(g.result, CNOKHWA_OK);
  EXPECT_EQ(g.width, static_cast<int>(camera.Format().width));
  EXPECT_EQ(g.height, static_cast<int>(camera.Format().height));
  return testing::CompareRgb(g.rgb, Reference(camera.Format(), frame));
}

std::vector<uint8_t> Reference(const v4l2_pix_format& format, uint32_t frame) {
  const std::vector<uint8_t> payload = FramePayload(format, frame);
  if (format.pixelformat == V4L2_PIX_FMT_MJPEG || format.pixelformat == V4L2_PIX_FMT_JPEG) {
    int w = 0;
    int h = 0;
    return testing::DecodeJpegReference(payload, &w, &h);
  }
  SourceFormat source;
  source.fourcc = format.pixelformat;
  source.width = static_cast<int>(format.width);
  source.height = static_cast<int>(format.height);
  source.stride = format.bytesperline;
  source.color = DescribeColor(format);
  const PixelLayout* layout = FindPixelLayout(format.pixelformat);
  if (layout != nullptr && layout->kind == LayoutKind::kBayer) {
    return testing::LibV4lConvertToRgb(source, payload.data(), payload.size());
  }
  return testing::ReferenceRgb(source, payload.data(), payload.size());
}

}  // namespace zoo
}  // namespace cnokhwa
