// The Dino-Lite simulator's own contract: caller buffers, scenario parsing and its fallback, and
// the time-driven readings. Every case writes a scenario and re-initialises, which re-reads it.
#include "dinolite.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

namespace {

class Simulator : public ::testing::Test {
 protected:
  void Load(const std::string& json) {
    std::ofstream(path_) << json;
    setenv("DINOLITE_SIMULATOR_SCENARIO", path_.c_str(), 1);
    dl_initialize();
  }
  void TearDown() override { unlink(path_.c_str()); }

  std::string path_ =
      ::testing::TempDir() + "dinolite_scenario_" + std::to_string(getpid()) + ".json";
};

std::string DeviceId(unsigned int index, unsigned int size) {
  std::string buffer(size + 8, '#');
  dl_get_device_unique_id(index, buffer.data(), size);
  return buffer;
}

TEST_F(Simulator, DeviceStringsStayInsideTheCallersBuffer) {
  Load(R"({"devices": [{"id": "ABCDEFGH", "name": "Scope"}]})");
  ASSERT_EQ(dl_devices_count(), 1);
  EXPECT_EQ(DeviceId(0, 4), std::string("ABC\0", 4) + std::string(8, '#'));
  EXPECT_EQ(DeviceId(0, 1), std::string("\0", 1) + std::string(8, '#'));
  EXPECT_EQ(DeviceId(0, 0), std::string(8, '#'));  // size 0: nothing written
  EXPECT_EQ(DeviceId(5, 4), std::string("\0###", 4) + std::string(8, '#'));
  dl_get_device_name(0, nullptr, 100);  // must not crash
  char name[64];
  dl_get_device_name(0, name, sizeof(name));
  EXPECT_STREQ(name, "Scope");
}

TEST_F(Simulator, MalformedScenariosFallBackToTheDefaultDevice) {
  for (const char* json :
       {"", "[]", "{\"devices\": 3}", "{\"devices\": [1]}", "{\"devices\": [{\"id\": 7}]}",
        "{\"devices\": [{\"ledModes\": [\"x\"]}]}", "{\"delaysMs\": {\"dl_get_amr\": -1}}",
        "{\"devices\": [{\"amrReadings\": [{\"atMs\": 0}]}]}", "{\"devices\": [{"}) {
    Load(json);
    ASSERT_EQ(dl_devices_count(), 1) << json;
    char id[64];
    dl_get_device_unique_id(0, id, sizeof(id));
    EXPECT_STREQ(id, "AM4115ZT-SIM-00001") << json;
  }
  Load(R"({"devices": []})");
  EXPECT_EQ(dl_devices_count(), 0);
  EXPECT_FALSE(dl_select_device(0));
}

TEST_F(Simulator, SelectionLedsAndRefusals) {
  Load(R"({"sdkError": "stalled", "devices": [
          {"ledModes": [16, 1], "failLed": [1]}, {"failSelect": true}, {"failPostConnect": true}]})");
  EXPECT_EQ(dl_get_selected_device(), -1);
  EXPECT_FALSE(dl_set_led_state(16));  // nothing selected
  ASSERT_TRUE(dl_select_device(0));
  EXPECT_TRUE(dl_initialize_selected_device());
  ASSERT_EQ(dl_led_mode_count(), 2u);
  EXPECT_EQ(dl_led_mode(0), 16);
  EXPECT_EQ(dl_led_mode(1), 1);
  EXPECT_EQ(dl_led_mode(2), 0);
  EXPECT_TRUE(dl_set_led_state(16));
  EXPECT_FALSE(dl_set_led_state(0x11));  // not one of its modes
  EXPECT_FALSE(dl_set_led_state(1));
  EXPECT_STREQ(dl_get_last_error(), "stalled");

  EXPECT_FALSE(dl_select_device(1));
  EXPECT_EQ(dl_get_selected_device(), 0);
  EXPECT_FALSE(dl_select_device(-3));
  EXPECT_STREQ(dl_get_last_error(), "No Dino-Lite device at index -3");
  ASSERT_TRUE(dl_select_device(2));
  EXPECT_FALSE(dl_initialize_selected_device());
  EXPECT_STREQ(dl_get_last_error(), "stalled");

  dl_initialize();  // still attached: still selected
  EXPECT_EQ(dl_get_selected_device(), 2);
  dl_unselect_device();
  EXPECT_EQ(dl_get_selected_device(), -1);
  EXPECT_FALSE(dl_device_supports_amr());
  EXPECT_EQ(dl_get_amr(), 0.0f);
}

TEST_F(Simulator, ReadingsAndPressesFollowTheTimeSinceSelection) {
  Load(R"({"devices": [{"amrReadings": [{"atMs": 0, "value": 20}, {"atMs": 150, "value": 60}],
                        "microtouchPressesMs": [0, 1, 150], "fovxAt1x": 1000}]})");
  ASSERT_TRUE(dl_select_device(0));
  EXPECT_FLOAT_EQ(dl_get_amr(), 20.0f);
  EXPECT_EQ(dl_get_amr_update_count(), 1u);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_TRUE(dl_microtouch_pressed());  // the presses at 0 and 1 ms come as one
  EXPECT_FALSE(dl_microtouch_pressed());
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_FLOAT_EQ(dl_get_amr(), 60.0f);
  EXPECT_EQ(dl_get_amr_update_count(), 2u);
  EXPECT_TRUE(dl_microtouch_pressed());
  EXPECT_FALSE(dl_microtouch_pressed());
  EXPECT_DOUBLE_EQ(dl_get_fovx(0, 50.0), 20.0);
  EXPECT_DOUBLE_EQ(dl_get_fovx(1, 50.0), 10.0);
  EXPECT_DOUBLE_EQ(dl_get_fovx(0, 0.0), 0.0);
  EXPECT_DOUBLE_EQ(dl_get_fovx(0, -4.0), 0.0);
}

}  // namespace
