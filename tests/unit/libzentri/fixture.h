// Shared set-up of the libzentri tests: a fresh emulated bus per test, and the library's state
// torn down after each one.
#ifndef TESTS_UNIT_LIBZENTRI_FIXTURE_H_
#define TESTS_UNIT_LIBZENTRI_FIXTURE_H_

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "emulator/emulated_bus.h"
#include "zentri.h"

namespace zentri_test {

// The 10-byte property block as it must travel.
inline std::vector<uint8_t> Block(uint32_t word0, uint32_t word1, uint16_t command) {
  std::vector<uint8_t> bytes;
  for (uint32_t word : {word0, word1}) {
    for (int i = 0; i < 4; ++i) {
      bytes.push_back(static_cast<uint8_t>(word >> (8 * i)));
    }
  }
  bytes.push_back(static_cast<uint8_t>(command));
  bytes.push_back(static_cast<uint8_t>(command >> 8));
  return bytes;
}

// "S11:10 G11:10 ..." - direction, selector, length and (for failures) "!" per transfer.
inline std::string Shape(const std::vector<WireRecord>& wire) {
  std::string text;
  char item[32];
  for (const WireRecord& record : wire) {
    std::snprintf(item, sizeof(item), "%s%c%02X:%u%s", text.empty() ? "" : " ",
                  record.set ? 'S' : 'G', record.selector, record.length,
                  record.accepted ? "" : "!");
    text += item;
  }
  return text;
}

class LibzentriTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(EmulatedBus::PreloadActive())
        << "these tests emulate devices through the umockdev preload: run under umockdev-wrapper";
    bus_ = std::make_unique<EmulatedBus>();
  }

  void TearDown() override {
    Destroy();
    bus_.reset();
  }

  // One microscope, enumerated and selected on the given transport; its wire log starts empty.
  MicroscopeModel& SelectOne(Transport transport, const MicroscopeSpec& spec = MicroscopeSpec()) {
    MicroscopeModel& model = bus_->AddMicroscope(spec);
    if (transport == Transport::kV4l2) {
      bus_->AddVideoNode(0, VideoNodeSpec());
    }
    EXPECT_EQ(Init(), 1);
    EXPECT_EQ(SelectDeviceNumber(0), 1);
    model.ClearWire();
    return model;
  }

  std::unique_ptr<EmulatedBus> bus_;
};

inline const char* TransportName(const ::testing::TestParamInfo<Transport>& info) {
  return info.param == Transport::kUsb ? "Usb" : "V4l2";
}

}  // namespace zentri_test

#endif  // TESTS_UNIT_LIBZENTRI_FIXTURE_H_
