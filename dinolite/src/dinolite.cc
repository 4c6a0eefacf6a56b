// The Dino-Lite SDK simulator behind include/dinolite.h. There is no Linux SDK for these
// microscopes; this library behaves like the shim as the addon relies on it, driven by a
// scenario file (README.md) so the demo and the tests can play devices, readings, button presses,
// refusals and hanging calls.
#include "dinolite.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using Json = nlohmann::json;

constexpr const char* kScenarioVariable = "DINOLITE_SIMULATOR_SCENARIO";
// Calls never sleep longer than this, whatever a scenario says.
constexpr int64_t kMaxDelayMs = 10 * 60 * 1000;

struct AmrReading {
  int64_t atMs = 0;  // since the device was selected
  double value = 0;
};

struct Device {
  std::string id;
  std::string name;
  bool supportsAmr = true;
  bool supportsMicrotouch = true;
  std::vector<int> ledModes{0x11, 0x10, 0x01, 0x00};
  std::vector<AmrReading> amrReadings{{0, 50.0}};
  std::vector<int64_t> microtouchPressesMs;  // since the device was selected, ascending
  double fovxAt1x = 400000.0;                // micrometres
  bool failSelect = false;
  bool failPostConnect = false;
  bool failAllLedModes = false;
  std::vector<int> failLedModes;
};

struct Scenario {
  std::vector<Device> devices;
  std::string sdkError;  // what dl_get_last_error reports after a refusal
  std::unordered_map<std::string, int64_t> delaysMs;
};

Scenario DefaultScenario() {
  Scenario scenario;
  Device device;
  device.id = "AM4115ZT-SIM-00001";
  device.name = "Dino-Lite Edge AM4115ZT (simulated)";
  device.amrReadings = {{0, 50.0}, {4000, 52.5}, {8000, 50.0}};
  scenario.devices.push_back(device);
  return scenario;
}

int64_t ReadDelay(const Json& value) {
  const int64_t ms = value.get<int64_t>();
  if (ms < 0) {
    throw std::invalid_argument("delays must not be negative");
  }
  return std::min(ms, kMaxDelayMs);
}

Device ParseDevice(const Json& json, size_t index) {
  Device device;
  device.id = json.value("id", "SIM-" + std::to_string(index));
  device.name = json.value("name", "Dino-Lite simulated device " + std::to_string(index));
  device.supportsAmr = json.value("amr", device.supportsAmr);
  device.supportsMicrotouch = json.value("microtouch", device.supportsMicrotouch);
  if (json.contains("ledModes")) {
    device.ledModes = json.at("ledModes").get<std::vector<int>>();
  }
  if (json.contains("amrReadings")) {
    device.amrReadings.clear();
    for (const Json& reading : json.at("amrReadings")) {
      device.amrReadings.push_back(
          {reading.value("atMs", int64_t{0}), reading.at("value").get<double>()});
    }
    std::stable_sort(device.amrReadings.begin(), device.amrReadings.end(),
                     [](const AmrReading& a, const AmrReading& b) { return a.atMs < b.atMs; });
  }
  if (json.contains("microtouchPressesMs")) {
    device.microtouchPressesMs = json.at("microtouchPressesMs").get<std::vector<int64_t>>();
    std::sort(device.microtouchPressesMs.begin(), device.microtouchPressesMs.end());
  }
  device.fovxAt1x = json.value("fovxAt1x", device.fovxAt1x);
  device.failSelect = json.value("failSelect", false);
  device.failPostConnect = json.value("failPostConnect", false);
  if (json.contains("failLed")) {
    const Json& failLed = json.at("failLed");
    if (failLed.is_boolean()) {
      device.failAllLedModes = failLed.get<bool>();
    } else {
      device.failLedModes = failLed.get<std::vector<int>>();
    }
  }
  return device;
}

// Throws on anything that is not a well-formed scenario; the caller falls back to the default.
Scenario ParseScenario(const std::string& path) {
  std::ifstream file(path);
  if (!file) {
    throw std::runtime_error("cannot open the file");
  }
  const Json json = Json::parse(file);
  if (!json.is_object()) {
    throw std::runtime_error("the scenario is not a JSON object");
  }
  Scenario scenario;
  if (json.contains("devices")) {
    const Json& devices = json.at("devices");
    if (!devices.is_array()) {
      throw std::runtime_error("\"devices\" is not an array");
    }
    for (size_t i = 0; i < devices.size(); ++i) {
      if (!devices[i].is_object()) {
        throw std::runtime_error("a device is not an object");
      }
      scenario.devices.push_back(ParseDevice(devices[i], i));
    }
  } else {
    scenario.devices = DefaultScenario().devices;
  }
  scenario.sdkError = json.value("sdkError", "");
  if (json.contains("delaysMs")) {
    for (const auto& [name, value] : json.at("delaysMs").items()) {
      scenario.delaysMs[name] = ReadDelay(value);
    }
  }
  return scenario;
}

// The one warning about a missing or unusable scenario, printed at most once per process.
void WarnOnce(const std::string& message) {
  static std::once_flag once;
  std::call_once(once,
                 [&] { std::fprintf(stderr, "libdinolite simulator: %s\n", message.c_str()); });
}

Scenario LoadScenario() {
  const char* path = std::getenv(kScenarioVariable);
  if (path == nullptr || *path == '\0') {
    WarnOnce(std::string("no scenario (") + kScenarioVariable +
             " is not set); offering one default device");
    return DefaultScenario();
  }
  try {
    return ParseScenario(path);
  } catch (const std::exception& error) {
    WarnOnce(std::string("could not use the scenario '") + path + "' (" + error.what() +
             "); offering one default device");
    return DefaultScenario();
  }
}

struct Simulator {
  std::mutex mutex;
  bool scenarioLoaded = false;
  Scenario scenario;
  int deviceCount = 0;  // as of the last dl_initialize
  int selected = -1;
  Clock::time_point selectedAt;
  size_t pressesReported = 0;
  int ledState = 0;
  char lastError[256] = {0};

  // Functions called before dl_initialize still see the scenario's devices.
  void EnsureScenario() {
    if (!scenarioLoaded) {
      scenario = LoadScenario();
      scenarioLoaded = true;
    }
  }

  const Device* SelectedDevice() const {
    if (selected < 0 || static_cast<size_t>(selected) >= scenario.devices.size()) {
      return nullptr;
    }
    return &scenario.devices[static_cast<size_t>(selected)];
  }

  int64_t MsSinceSelection() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - selectedAt).count();
  }

  void Refuse() { std::snprintf(lastError, sizeof(lastError), "%s", scenario.sdkError.c_str()); }
};

Simulator& State() {
  static Simulator simulator;
  return simulator;
}

// A scenario can make any function hang for a while, as a stuck USB transfer would. The sleep
// happens before the state lock is taken.
void DelayFor(const char* function) {
  int64_t ms = 0;
  {
    Simulator& sim = State();
    std::lock_guard<std::mutex> lock(sim.mutex);
    sim.EnsureScenario();
    auto it = sim.scenario.delaysMs.find(function);
    if (it != sim.scenario.delaysMs.end()) {
      ms = it->second;
    }
  }
  if (ms > 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  }
}

void CopyOut(const std::string& text, void* buffer, unsigned int size) {
  if (buffer == nullptr || size == 0) {
    return;
  }
  const size_t length = std::min<size_t>(text.size(), size - 1u);
  std::memcpy(buffer, text.data(), length);
  static_cast<char*>(buffer)[length] = '\0';
}

}  // namespace

// Test builds of this same source leave functions out: DINOLITE_OMIT_OPTIONAL drops the eight
// functions a shim may lack, DINOLITE_OMIT_GET_AMR drops a required one.
extern "C" {

void dl_initialize(void) {
  DelayFor("dl_initialize");
  Simulator& sim = State();
  std::lock_guard<std::mutex> lock(sim.mutex);
  // Re-read on every initialisation, so a changed scenario shows as a re-enumeration.
  sim.scenario = LoadScenario();
  sim.scenarioLoaded = true;
  sim.deviceCount = static_cast<int>(std::min<size_t>(sim.scenario.devices.size(), 1024));
  // Like the shim, a re-initialisation keeps a device that is still attached selected.
  if (sim.selected >= sim.deviceCount) {
    sim.selected = -1;
    sim.ledState = 0;
  }
}

int dl_devices_count(void) {
  DelayFor("dl_devices_count");
  Simulator& sim = State();
  std::lock_guard<std::mutex> lock(sim.mutex);
  return sim.deviceCount;
}

void dl_get_device_unique_id(unsigned int index, void* buffer, unsigned int size) {
  DelayFor("dl_get_device_unique_id");
  Simulator& sim = State();
  std::lock_guard<std::mutex> lock(sim.mutex);
  CopyOut(index < static_cast<unsigned int>(sim.deviceCount) ? sim.scenario.devices[index].id : "",
          buffer, size);
}

void dl_get_device_name(unsigned int index, void* buffer, unsigned int size) {
  DelayFor("dl_get_device_name");
  Simulator& sim = State();
  std::lock_guard<std::mutex> lock(sim.mutex);
  CopyOut(
      index < static_cast<unsigned int>(sim.deviceCount) ? sim.scenario.devices[index].name : "",
      buffer, size);
}

bool dl_select_device(int index) {
  DelayFor("dl_select_device");
  Simulator& sim = State();
  std::lock_guard<std::mutex> lock(sim.mutex);
  if (index < 0 || index >= sim.deviceCount) {
    std::snprintf(sim.lastError, sizeof(sim.lastError), "No Dino-Lite device at index %d", index);
    return false;
  }
  if (sim.scenario.devices[static_cast<size_t>(index)].failSelect) {
    sim.Refuse();
    return false;
  }
  sim.selected = index;
  sim.selectedAt = Clock::now();
  sim.pressesReported = 0;
  sim.ledState = 0;
  return true;
}

int dl_get_selected_device(void) {
  DelayFor("dl_get_selected_device");
  Simulator& sim = State();
  std::lock_guard<std::mutex> lock(sim.mutex);
  return sim.selected;
}

#ifndef DINOLITE_OMIT_OPTIONAL
void dl_unselect_device(void) {
  DelayFor("dl_unselect_device");
  Simulator& sim = State();
  std::lock_guard<std::mutex> lock(sim.mutex);
  sim.selected = -1;
  sim.ledState = 0;
}
#endif

bool dl_device_supports_amr(void) {
  DelayFor("dl_device_supports_amr");
  Simulator& sim = State();
  std::lock_guard<std::mutex> lock(sim.mutex);
  const Device* device = sim.SelectedDevice();
  return device != nullptr && device->supportsAmr;
}

#ifndef DINOLITE_OMIT_GET_AMR
float dl_get_amr(void) {
  DelayFor("dl_get_amr");
  Simulator& sim = State();
  std::lock_guard<std::mutex> lock(sim.mutex);
  const Device* device = sim.SelectedDevice();
  if (device == nullptr || !device->supportsAmr || device->amrReadings.empty()) {
    return 0.0f;
  }
  // The latest reading that has arrived; before the first one, the first one.
  const int64_t now = sim.MsSinceSelection();
  double value = device->amrReadings.front().value;
  for (const AmrReading& reading : device->amrReadings) {
    if (reading.atMs > now) {
      break;
    }
    value = reading.value;
  }
  return static_cast<float>(value);
}
#endif

#ifndef DINOLITE_OMIT_OPTIONAL
uint64_t dl_get_amr_update_count(void) {
  DelayFor("dl_get_amr_update_count");
  Simulator& sim = State();
  std::lock_guard<std::mutex> lock(sim.mutex);
  const Device* device = sim.SelectedDevice();
  if (device == nullptr || !device->supportsAmr) {
    return 0;
  }
  const int64_t now = sim.MsSinceSelection();
  uint64_t count = 0;
  for (const AmrReading& reading : device->amrReadings) {
    count += reading.atMs <= now ? 1 : 0;
  }
  return std::max<uint64_t>(count, device->amrReadings.empty() ? 0 : 1);
}
#endif

#ifndef DINOLITE_OMIT_OPTIONAL
double dl_get_fovx(int selector, double amr) {
  DelayFor("dl_get_fovx");
  Simulator& sim = State();
  std::lock_guard<std::mutex> lock(sim.mutex);
  const Device* device = sim.SelectedDevice();
  if (device == nullptr || !(amr > 0.0) || !(device->fovxAt1x > 0.0)) {
    return 0.0;
  }
  const double fullWidth = device->fovxAt1x / amr;
  return selector == 1 ? fullWidth / 2.0 : fullWidth;
}
#endif

bool dl_device_supports_microtouch(void) {
  DelayFor("dl_device_supports_microtouch");
  Simulator& sim = State();
  std::lock_guard<std::mutex> lock(sim.mutex);
  const Device* device = sim.SelectedDevice();
  return device != nullptr && device->supportsMicrotouch;
}

bool dl_microtouch_pressed(void) {
  DelayFor("dl_microtouch_pressed");
  Simulator& sim = State();
  std::lock_guard<std::mutex> lock(sim.mutex);
  const Device* device = sim.SelectedDevice();
  if (device == nullptr || !device->supportsMicrotouch) {
    return false;
  }
  // Presses that happened since the last call are reported as one.
  const int64_t now = sim.MsSinceSelection();
  size_t happened = 0;
  while (happened < device->microtouchPressesMs.size() &&
         device->microtouchPressesMs[happened] <= now) {
    ++happened;
  }
  if (happened > sim.pressesReported) {
    sim.pressesReported = happened;
    return true;
  }
  return false;
}

#ifndef DINOLITE_OMIT_OPTIONAL
unsigned int dl_led_mode_count(void) {
  DelayFor("dl_led_mode_count");
  Simulator& sim = State();
  std::lock_guard<std::mutex> lock(sim.mutex);
  const Device* device = sim.SelectedDevice();
  return device == nullptr ? 0u : static_cast<unsigned int>(device->ledModes.size());
}
#endif

#ifndef DINOLITE_OMIT_OPTIONAL
int dl_led_mode(unsigned int i) {
  DelayFor("dl_led_mode");
  Simulator& sim = State();
  std::lock_guard<std::mutex> lock(sim.mutex);
  const Device* device = sim.SelectedDevice();
  if (device == nullptr || i >= device->ledModes.size()) {
    return 0;
  }
  return device->ledModes[i];
}
#endif

#ifndef DINOLITE_OMIT_OPTIONAL
bool dl_set_led_state(int mode) {
  DelayFor("dl_set_led_state");
  Simulator& sim = State();
  std::lock_guard<std::mutex> lock(sim.mutex);
  const Device* device = sim.SelectedDevice();
  if (device == nullptr) {
    std::snprintf(sim.lastError, sizeof(sim.lastError), "No Dino-Lite device is selected");
    return false;
  }
  const auto& modes = device->ledModes;
  if (std::find(modes.begin(), modes.end(), mode) == modes.end()) {
    std::snprintf(sim.lastError, sizeof(sim.lastError), "LED mode 0x%02x is not supported", mode);
    return false;
  }
  const auto& failing = device->failLedModes;
  if (device->failAllLedModes || std::find(failing.begin(), failing.end(), mode) != failing.end()) {
    sim.Refuse();
    return false;
  }
  sim.ledState = mode;
  return true;
}
#endif

#ifndef DINOLITE_OMIT_OPTIONAL
bool dl_initialize_selected_device(void) {
  DelayFor("dl_initialize_selected_device");
  Simulator& sim = State();
  std::lock_guard<std::mutex> lock(sim.mutex);
  const Device* device = sim.SelectedDevice();
  if (device == nullptr) {
    std::snprintf(sim.lastError, sizeof(sim.lastError), "No Dino-Lite device is selected");
    return false;
  }
  if (device->failPostConnect) {
    sim.Refuse();
    return false;
  }
  return true;
}
#endif

#ifndef DINOLITE_OMIT_OPTIONAL
const char* dl_get_last_error(void) {
  DelayFor("dl_get_last_error");
  Simulator& sim = State();
  std::lock_guard<std::mutex> lock(sim.mutex);
  return sim.lastError;
}
#endif

}  // extern "C"
