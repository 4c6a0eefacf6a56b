// V4L2 devices without hardware: umockdev provides the sysfs tree and /dev nodes of a UVC camera
// and answers the node ioctls from the handler below. Runs under umockdev-wrapper. The emulated
// node is a plain file, so mmap of a "driver buffer" maps a region of that file, which the test
// fills with frames: the whole streaming path (REQBUFS, mmap, QBUF/DQBUF, conversion) runs.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/videodev2.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <umockdev.h>
#include <unistd.h>

#include <turbojpeg.h>
#include <chrono>
#include <cstring>
#include <deque>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cnokhwa.h"
#include "v4l2_device.h"

namespace cnokhwa {
namespace {

// What one emulated node answers, and its streaming state. The handler runs on umockdev's
// thread, the test on its own: the streaming state is guarded.
struct NodeModel {
  NodeModel(uint32_t caps, bool refuse) : deviceCaps(caps), refuseFormat(refuse) {}
  const uint32_t deviceCaps;
  const bool refuseFormat;  // S_FMT fails as on a node that another program streams from

  std::mutex mutex;
  uint32_t bufferLength = 0;       // set by the test: bytes per buffer region of the file
  uint32_t bytesUsed[2] = {0, 0};  // set by the test: payload of each buffer
  int unplugAfter = -1;            // DQBUF fails with ENODEV once this many frames went out
  int dequeued = 0;
  uint32_t buffers = 0;
  bool streaming = false;
  std::deque<uint32_t> queued;
};

template <typename T>
T ReadArg(UMockdevIoctlData* data) {
  T value{};
  std::memcpy(&value, data->data, std::min<size_t>(sizeof(T), data->data_len));
  return value;
}

template <typename T>
void WriteArg(UMockdevIoctlData* data, T& value) {
  umockdev_ioctl_data_update(data, 0, reinterpret_cast<guint8*>(&value), sizeof(T));
}

// Format setting and the buffer queue of a streaming node.
bool HandleStreaming(NodeModel* model, gulong request, UMockdevIoctlData* data, long* result,
                     int* err) {
  std::lock_guard<std::mutex> lock(model->mutex);
  if (request == VIDIOC_S_FMT) {
    v4l2_format format = ReadArg<v4l2_format>(data);
    format.fmt.pix.bytesperline =
        format.fmt.pix.pixelformat == V4L2_PIX_FMT_YUYV ? format.fmt.pix.width * 2 : 0;
    format.fmt.pix.sizeimage = format.fmt.pix.width * format.fmt.pix.height * 2;
    WriteArg(data, format);
  } else if (request == VIDIOC_S_PARM) {
  } else if (request == VIDIOC_REQBUFS) {
    v4l2_requestbuffers buffers = ReadArg<v4l2_requestbuffers>(data);
    buffers.count = std::min<uint32_t>(buffers.count, 2);
    model->buffers = buffers.count;
    model->queued.clear();
    WriteArg(data, buffers);
  } else if (request == VIDIOC_QUERYBUF || request == VIDIOC_QBUF || request == VIDIOC_DQBUF) {
    v4l2_buffer buffer = ReadArg<v4l2_buffer>(data);
    if (request == VIDIOC_DQBUF) {
      if (model->unplugAfter >= 0 && model->dequeued >= model->unplugAfter) {
        *result = -1;
        *err = ENODEV;
        return true;
      }
      if (!model->streaming || model->queued.empty()) {
        *result = -1;
        *err = EAGAIN;
        return true;
      }
      buffer.index = model->queued.front();
      model->queued.pop_front();
      ++model->dequeued;
    } else if (buffer.index >= model->buffers) {
      *result = -1;
      *err = EINVAL;
      return true;
    } else if (request == VIDIOC_QBUF) {
      model->queued.push_back(buffer.index);
    }
    buffer.length = model->bufferLength;
    buffer.m.offset = buffer.index * model->bufferLength;
    buffer.bytesused = model->bytesUsed[buffer.index % 2];
    WriteArg(data, buffer);
  } else if (request == VIDIOC_STREAMON || request == VIDIOC_STREAMOFF) {
    model->streaming = request == VIDIOC_STREAMON;
  } else {
    return false;
  }
  return true;
}

// The formats of the emulated camera: MJPEG at two sizes, YUYV at one, and H.264 (which capture
// cannot deliver) with a stepwise size range and a continuous rate range.
gboolean HandleIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user) {
  NodeModel* model = static_cast<NodeModel*>(user);
  const gulong request = umockdev_ioctl_client_get_request(client);
  GError* error = nullptr;
  UMockdevIoctlData* data = umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client), 0,
                                                        _IOC_SIZE(request), &error);
  if (data == nullptr) {
    g_clear_error(&error);
    umockdev_ioctl_client_complete(client, -1, EFAULT);
    return TRUE;
  }
  long result = 0;
  int err = 0;
  if (request == VIDIOC_QUERYCAP) {
    v4l2_capability caps{};
    std::strcpy(reinterpret_cast<char*>(caps.driver), "uvcvideo");
    // A card name that fills its 32 bytes without a terminating NUL.
    std::memcpy(caps.card, "Zentri Scope Z1 Camera 0123456789", sizeof(caps.card));
    std::strcpy(reinterpret_cast<char*>(caps.bus_info), "usb-0000:00:14.0-1");
    caps.capabilities =
        V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_META_CAPTURE | V4L2_CAP_STREAMING | V4L2_CAP_DEVICE_CAPS;
    caps.device_caps = model->deviceCaps;
    WriteArg(data, caps);
  } else if (request == VIDIOC_ENUM_FMT) {
    v4l2_fmtdesc desc = ReadArg<v4l2_fmtdesc>(data);
    const uint32_t formats[] = {V4L2_PIX_FMT_MJPEG, V4L2_PIX_FMT_YUYV, V4L2_PIX_FMT_H264};
    if (desc.type != V4L2_BUF_TYPE_VIDEO_CAPTURE || desc.index >= 3) {
      result = -1;
      err = EINVAL;
    } else {
      desc.pixelformat = formats[desc.index];
      WriteArg(data, desc);
    }
  } else if (request == VIDIOC_ENUM_FRAMESIZES) {
    v4l2_frmsizeenum size = ReadArg<v4l2_frmsizeenum>(data);
    if (size.pixel_format == V4L2_PIX_FMT_MJPEG && size.index < 2) {
      size.type = V4L2_FRMSIZE_TYPE_DISCRETE;
      size.discrete =
          size.index == 0 ? v4l2_frmsize_discrete{1920, 1080} : v4l2_frmsize_discrete{640, 480};
      WriteArg(data, size);
    } else if (size.pixel_format == V4L2_PIX_FMT_YUYV && size.index == 0) {
      size.type = V4L2_FRMSIZE_TYPE_DISCRETE;
      size.discrete = {640, 480};
      WriteArg(data, size);
    } else if (size.pixel_format == V4L2_PIX_FMT_H264 && size.index == 0) {
      size.type = V4L2_FRMSIZE_TYPE_STEPWISE;
      size.stepwise = {160, 3840, 16, 120, 2160, 8};
      WriteArg(data, size);
    } else {
      result = -1;
      err = EINVAL;
    }
  } else if (request == VIDIOC_ENUM_FRAMEINTERVALS) {
    v4l2_frmivalenum interval = ReadArg<v4l2_frmivalenum>(data);
    const bool bigMjpeg = interval.pixel_format == V4L2_PIX_FMT_MJPEG && interval.width == 1920;
    if (interval.pixel_format == V4L2_PIX_FMT_H264 && interval.index == 0) {
      interval.type = V4L2_FRMIVAL_TYPE_CONTINUOUS;
      interval.stepwise.min = {1, 60};
      interval.stepwise.max = {1, 5};
      interval.stepwise.step = {1, 1};
      WriteArg(data, interval);
    } else if (interval.pixel_format == V4L2_PIX_FMT_YUYV) {
      // This driver lists no rates for YUYV at all.
      result = -1;
      err = EINVAL;
    } else if (interval.index == 0 || (bigMjpeg && interval.index == 1)) {
      interval.type = V4L2_FRMIVAL_TYPE_DISCRETE;
      interval.discrete = interval.index == 0 ? v4l2_fract{1001, 30000} : v4l2_fract{1, 15};
      WriteArg(data, interval);
    } else {
      result = -1;
      err = EINVAL;
    }
  } else if (request == VIDIOC_S_FMT && model->refuseFormat) {
    result = -1;
    err = EBUSY;
  } else if (!HandleStreaming(model, request, data, &result, &err)) {
    result = -1;
    err = ENOTTY;
  }
  umockdev_ioctl_data_unref(data);
  umockdev_ioctl_client_complete(client, result, err);
  return TRUE;
}

class V4l2Enumeration : public ::testing::Test {
 protected:
  void SetUp() override {
    testbed_ = umockdev_testbed_new();
    root_ = umockdev_testbed_get_root_dir(testbed_);
    gchar* usb = umockdev_testbed_add_device(testbed_, "usb", "1-1", nullptr, "idVendor", "1D6B\n",
                                             "idProduct", "0c45\n", "busnum", "1\n", "devnum",
                                             "2\n", nullptr, "DEVTYPE", "usb_device", nullptr);
    gchar* interface =
        umockdev_testbed_add_device(testbed_, "usb", "1-1:1.0", usb, "bInterfaceClass", "0e\n",
                                    nullptr, "DEVTYPE", "usb_interface", nullptr);
    // video0 captures, video1 is the camera's metadata node, video2 an output node, video3 a
    // capture node that some other program is streaming from.
    const struct {
      uint32_t deviceCaps;
      bool refuseFormat;
    } models[] = {
        {V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING, false},
        {V4L2_CAP_META_CAPTURE | V4L2_CAP_STREAMING, false},
        {V4L2_CAP_VIDEO_OUTPUT | V4L2_CAP_STREAMING, false},
        {V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING, true},
    };
    mkdir((root_ + "/dev").c_str(), 0755);
    for (int n = 0; n < 4; ++n) {
      models_.push_back(std::make_unique<NodeModel>(models[n].deviceCaps, models[n].refuseFormat));
      const std::string name = "video" + std::to_string(n);
      const std::string node = "/dev/" + name;
      const std::string dev = "81:" + std::to_string(n);
      gchar* path = umockdev_testbed_add_device(testbed_, "video4linux", name.c_str(), interface,
                                                "name", "Zentri Scope\n", "dev", dev.c_str(),
                                                nullptr, "DEVNAME", node.c_str(), nullptr);
      // The class entry's "device" link to the USB interface, which the kernel has and umockdev
      // does not create (umockdev puts the node directly below its parent).
      ASSERT_EQ(symlink("..", (root_ + path + "/device").c_str()), 0);
      g_free(path);
      std::ofstream(root_ + node).close();
      UMockdevIoctlBase* handler = umockdev_ioctl_base_new();
      g_signal_connect(handler, "handle-ioctl", G_CALLBACK(HandleIoctl), models_.back().get());
      GError* error = nullptr;
      ASSERT_TRUE(umockdev_testbed_attach_ioctl(testbed_, node.c_str(), handler, &error))
          << (error != nullptr ? error->message : "");
      g_object_unref(handler);
    }
    g_free(interface);
    g_free(usb);
  }

  void TearDown() override { g_object_unref(testbed_); }

  std::vector<std::shared_ptr<Device>> Scan() {
    return ScanV4l2Devices([](const std::string&) { return nullptr; });
  }

  UMockdevTestbed* testbed_ = nullptr;
  std::string root_;
  std::vector<std::unique_ptr<NodeModel>> models_;
};

TEST_F(V4l2Enumeration, ListsCaptureNodesWithTheirIdentity) {
  const auto devices = Scan();
  ASSERT_EQ(devices.size(), 2u) << "the metadata and output nodes are skipped";
  const DeviceInfo& first = devices[0]->Info();
  EXPECT_EQ(first.name, "Zentri Scope Z1 Camera 012345678") << "the card's 32 bytes, no NUL";
  EXPECT_EQ(first.modelId, "1d6b:0c45");
  EXPECT_EQ(first.uniqueId, "usb-0000:00:14.0-1");
  // video3 shares the bus location: its id is made unique with the node name.
  EXPECT_EQ(devices[1]->Info().uniqueId, "usb-0000:00:14.0-1/video3");
}

TEST_F(V4l2Enumeration, UniqueIdPrefersTheByIdLink) {
  ASSERT_EQ(system(("mkdir -p " + root_ + "/dev/v4l/by-id").c_str()), 0);
  ASSERT_EQ(symlink("../../video0",
                    (root_ + "/dev/v4l/by-id/usb-Zentri_Scope_Z1_SN0042-video-index0").c_str()),
            0);
  const auto devices = Scan();
  ASSERT_EQ(devices.size(), 2u);
  EXPECT_EQ(devices[0]->Info().uniqueId, "usb-Zentri_Scope_Z1_SN0042-video-index0");
  EXPECT_EQ(devices[1]->Info().uniqueId, "usb-0000:00:14.0-1");
}

TEST_F(V4l2Enumeration, ListsEveryFormatSizeAndRate) {
  const auto devices = Scan();
  ASSERT_FALSE(devices.empty());
  std::vector<std::string> listed;
  for (const FormatEntry& f : devices[0]->Formats()) {
    listed.push_back(FormatTypeName(f.fourcc) + " " + std::to_string(f.width) + "x" +
                     std::to_string(f.height) + "@" + std::to_string(f.frameRate));
  }
  // H.264 is left out: capture cannot deliver it.
  EXPECT_EQ(listed, (std::vector<std::string>{"mjpeg 1920x1080@30", "mjpeg 1920x1080@15",
                                              "mjpeg 640x480@30", "yuy2 640x480@0"}));
}

TEST_F(V4l2Enumeration, KnownDevicesAreReusedWithoutListingAgain) {
  const auto first = Scan();
  ASSERT_EQ(first.size(), 2u);
  std::vector<std::string> asked;
  const auto second = ScanV4l2Devices([&](const std::string& key) -> std::shared_ptr<Device> {
    asked.push_back(key);
    return key == first[0]->Info().key ? first[0] : nullptr;
  });
  ASSERT_EQ(second.size(), 2u);
  EXPECT_EQ(second[0], first[0]);
  EXPECT_NE(second[1], first[1]);
  EXPECT_EQ(asked.size(), 2u);
}

TEST_F(V4l2Enumeration, StartOnABusyNodeReportsOpenFailure) {
  const auto devices = Scan();
  ASSERT_EQ(devices.size(), 2u);
  EXPECT_EQ(devices[1]->Start({-1, 640, 480}), CNOKHWA_ERR_OPEN_FAILED);
  EXPECT_EQ(devices[1]->Frames().HasFirstFrame(), CNOKHWA_ERR_NOT_STARTED);
  EXPECT_EQ(devices[0]->Start({99, 0, 0}), CNOKHWA_ERR_BAD_ARGUMENT);
}

// Fills the two buffer regions of the node's file.
void WriteBuffers(const std::string& file, uint32_t length, const std::vector<uint8_t>& first,
                  const std::vector<uint8_t>& second) {
  std::vector<uint8_t> bytes(static_cast<size_t>(length) * 2, 0);
  std::copy(first.begin(), first.end(), bytes.begin());
  std::copy(second.begin(), second.end(), bytes.begin() + length);
  std::ofstream(file, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}

std::vector<uint8_t> YuyvFrame(int width, int height, uint8_t y, uint8_t u, uint8_t v) {
  std::vector<uint8_t> frame;
  for (int i = 0; i < width * height / 2; ++i) {
    frame.insert(frame.end(), {y, u, y, v});
  }
  return frame;
}

bool WaitFor(const std::function<bool()>& done) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (std::chrono::steady_clock::now() < end) {
    if (done()) {
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return false;
}

std::vector<uint8_t> GrabFrame(const Device& device, int* result) {
  const int64_t size = int64_t{device.Frames().BytesPerRow()} * device.Frames().Height();
  std::vector<uint8_t> out(size > 0 ? static_cast<size_t>(size) : 1);
  *result = device.Frames().Grab(out.data(), static_cast<int64_t>(out.size()));
  return out;
}

TEST_F(V4l2Enumeration, StreamsYuyvFramesThroughMappedBuffers) {
  NodeModel& model = *models_[0];
  {
    std::lock_guard<std::mutex> lock(model.mutex);
    model.bufferLength = 640 * 480 * 2;
    model.bytesUsed[0] = model.bytesUsed[1] = 640 * 480 * 2;
  }
  WriteBuffers(root_ + "/dev/video0", 640 * 480 * 2, YuyvFrame(640, 480, 81, 90, 240),
               YuyvFrame(640, 480, 81, 90, 240));
  const auto devices = Scan();
  ASSERT_EQ(devices[0]->Start({3, 0, 0}), CNOKHWA_OK) << "yuy2 640x480";
  ASSERT_TRUE(WaitFor([&] { return devices[0]->Frames().HasFirstFrame() == CNOKHWA_OK; }));
  EXPECT_EQ(devices[0]->Frames().Width(), 640);
  EXPECT_EQ(devices[0]->Frames().Height(), 480);
  int result = 0;
  const std::vector<uint8_t> frame = GrabFrame(*devices[0], &result);
  ASSERT_EQ(result, CNOKHWA_OK);
  EXPECT_EQ(frame[0], 254);  // the red of (81, 90, 240): 254.4 in BT.601 limited range
  EXPECT_EQ(frame[1], 0);
  EXPECT_EQ(frame[frame.size() - 3], 254);
  devices[0]->Stop();
  std::lock_guard<std::mutex> lock(model.mutex);
  EXPECT_FALSE(model.streaming) << "stopping turns streaming off";
}

TEST_F(V4l2Enumeration, DecodesMjpegAndRecoversAfterUnplug) {
  std::vector<uint8_t> rgb(640 * 480 * 3);
  for (size_t i = 0; i < rgb.size(); i += 3) {
    rgb[i] = 200;
    rgb[i + 1] = 40;
    rgb[i + 2] = 90;
  }
  tjhandle encoder = tjInitCompress();
  unsigned char* jpeg = nullptr;
  unsigned long jpegSize = 0;
  ASSERT_EQ(tjCompress2(encoder, rgb.data(), 640, 640 * 3, 480, TJPF_RGB, &jpeg, &jpegSize,
                        TJSAMP_420, 85, 0),
            0);
  const std::vector<uint8_t> encoded(jpeg, jpeg + jpegSize);
  tjFree(jpeg);
  tjDestroy(encoder);
  NodeModel& model = *models_[0];
  {
    std::lock_guard<std::mutex> lock(model.mutex);
    model.bufferLength = 640 * 480 * 2;
    // The second buffer holds damaged data: it is skipped and the good frame stays the newest.
    model.bytesUsed[0] = static_cast<uint32_t>(encoded.size());
    model.bytesUsed[1] = 100;
    model.unplugAfter = 40;
  }
  WriteBuffers(root_ + "/dev/video0", 640 * 480 * 2, encoded, std::vector<uint8_t>(100, 0x33));
  const auto devices = Scan();
  ASSERT_EQ(devices[0]->Start({-1, 640, 480}), CNOKHWA_OK) << "MJPEG: the rate at 640x480";
  ASSERT_TRUE(WaitFor([&] { return devices[0]->Frames().HasFirstFrame() == CNOKHWA_OK; }));
  int result = 0;
  const std::vector<uint8_t> frame = GrabFrame(*devices[0], &result);
  ASSERT_EQ(result, CNOKHWA_OK);
  ASSERT_EQ(frame.size(), 640u * 480 * 3);
  EXPECT_NEAR(frame[1000 * 3], 200, 6);
  EXPECT_NEAR(frame[1000 * 3 + 1], 40, 6);
  EXPECT_NEAR(frame[1000 * 3 + 2], 90, 6);

  // The camera goes away: queries report it, and a new start recovers once it is back.
  ASSERT_TRUE(
      WaitFor([&] { return devices[0]->Frames().HasFirstFrame() == CNOKHWA_ERR_DEVICE_LOST; }));
  EXPECT_EQ(devices[0]->Frames().Width(), CNOKHWA_ERR_DEVICE_LOST);
  GrabFrame(*devices[0], &result);
  EXPECT_EQ(result, CNOKHWA_ERR_DEVICE_LOST);
  {
    std::lock_guard<std::mutex> lock(model.mutex);
    model.unplugAfter = -1;
  }
  ASSERT_EQ(devices[0]->Start({-1, 640, 480}), CNOKHWA_OK);
  ASSERT_TRUE(WaitFor([&] { return devices[0]->Frames().HasFirstFrame() == CNOKHWA_OK; }));
  devices[0]->Stop();
}

}  // namespace
}  // namespace cnokhwa
