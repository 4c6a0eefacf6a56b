#include "registry.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "cnokhwa.h"

namespace cnokhwa {
namespace {

// A device whose capture session does nothing: only whether it captures matters here.
class FakeDevice : public Device {
 public:
  explicit FakeDevice(const std::string& key) : Device(DeviceInfo{key, key, key, key}, {}) {}

 protected:
  int CreateSession(const CaptureRequest&, std::shared_ptr<FrameStore>, uint64_t,
                    std::unique_ptr<Session>* session) override {
    *session = std::make_unique<Session>();
    return CNOKHWA_OK;
  }
};

using List = std::vector<std::shared_ptr<Device>>;

std::vector<std::string> Keys(const List& devices) {
  std::vector<std::string> keys;
  for (const auto& d : devices) {
    keys.push_back(d->Info().key);
  }
  return keys;
}

class MergeDeviceListsTest : public ::testing::Test {
 protected:
  std::shared_ptr<Device> a_ = std::make_shared<FakeDevice>("a");
  std::shared_ptr<Device> b_ = std::make_shared<FakeDevice>("b");
  std::shared_ptr<Device> c_ = std::make_shared<FakeDevice>("c");
  std::shared_ptr<Device> d_ = std::make_shared<FakeDevice>("d");
  List gone_;
};

TEST_F(MergeDeviceListsTest, AttachedDevicesKeepTheirPlaceAndNewOnesFollow) {
  EXPECT_EQ(Keys(MergeDeviceLists({}, {b_, a_}, &gone_)), (std::vector<std::string>{"b", "a"}))
      << "the first scan's order";
  // Found again in another node order, with a new camera that took a lower node number.
  EXPECT_EQ(Keys(MergeDeviceLists({a_, b_}, {d_, b_, a_}, &gone_)),
            (std::vector<std::string>{"a", "b", "d"}));
  EXPECT_TRUE(gone_.empty());
}

TEST_F(MergeDeviceListsTest, AVanishedDeviceGoesUnlessACaptureNeedsItsPlace) {
  EXPECT_EQ(Keys(MergeDeviceLists({a_, b_, c_}, {a_, c_}, &gone_)),
            (std::vector<std::string>{"a", "c"}));
  EXPECT_EQ(Keys(gone_), (std::vector<std::string>{"b"}));
  gone_.clear();

  ASSERT_EQ(b_->Start({-1, 0, 0}), CNOKHWA_OK);
  EXPECT_EQ(Keys(MergeDeviceLists({a_, b_, c_}, {a_, c_}, &gone_)),
            (std::vector<std::string>{"a", "b", "c"}))
      << "a capture waits for its camera in its place";
  EXPECT_EQ(Keys(MergeDeviceLists({a_, b_, c_}, {b_, c_}, &gone_)),
            (std::vector<std::string>{"a", "b", "c"}))
      << "a device before a capture keeps the capture's index";
  EXPECT_EQ(Keys(MergeDeviceLists({a_, b_, c_}, {b_}, &gone_)),
            (std::vector<std::string>{"a", "b"}))
      << "one after it does not";
  EXPECT_EQ(Keys(gone_), (std::vector<std::string>{"c"}));
  b_->Stop();
  gone_.clear();
  EXPECT_EQ(Keys(MergeDeviceLists({a_, b_, c_}, {c_}, &gone_)), (std::vector<std::string>{"c"}));
  EXPECT_EQ(Keys(gone_), (std::vector<std::string>{"a", "b"}));
}

}  // namespace
}  // namespace cnokhwa
