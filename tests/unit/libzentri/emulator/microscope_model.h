// A model of the Zentri microscope's extension unit, as seen by a host: the property block
// (selector 0x11), short requests and the capture button (0x0d), the lens group (0x08), and the
// uvcvideo absolute-focus control. It records every transfer, checks that the set and get halves
// of a query arrive back to back, and can be told to misbehave. Thread-safe: the transports call
// it from umockdev's thread while tests inspect it.
#ifndef TESTS_UNIT_LIBZENTRI_EMULATOR_MICROSCOPE_MODEL_H_
#define TESTS_UNIT_LIBZENTRI_EMULATOR_MICROSCOPE_MODEL_H_

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <utility>
#include <vector>

namespace zentri_test {

enum class Transport { kUsb, kV4l2 };

// One extension-unit transfer as the device saw it.
struct WireRecord {
  Transport transport;
  bool set;
  uint8_t unit;
  uint8_t selector;
  uint16_t length;               // bytes the host asked to move
  std::vector<uint8_t> payload;  // bytes received (set) or answered (get)
  bool accepted;
};

// What the device does with a transfer.
struct DeviceReply {
  enum Kind { kAccepted, kStall, kHang } kind = kStall;
  size_t moved = 0;  // bytes moved when accepted; fewer than asked is a short transfer
};

class MicroscopeModel {
 public:
  explicit MicroscopeModel(uint8_t unitId) : unitId_(unitId) {}

  // Handles one transfer; for a get, the answer is written to data (at most length bytes).
  DeviceReply Handle(Transport transport, bool set, uint8_t unit, uint8_t selector, uint8_t* data,
                     size_t length);

  // ---- Device state ----
  void SetPropertyValue(uint16_t id, uint32_t word0, uint32_t word1);
  std::pair<uint32_t, uint32_t> PropertyValue(uint16_t id) const;
  void SetLensGroup(uint16_t driver, uint8_t group);
  void SetCaptureByte(uint8_t value);
  uint8_t SensorRegister8(uint16_t address) const;
  uint32_t SensorRegister32(uint32_t address) const;
  bool LedOn() const;
  int ActionCount(uint16_t propertyId) const;  // accepted sets of 0x010 / 0x012 / 0x013
  int ShortRequestCount(uint8_t code) const;
  int AutoCount(uint16_t propertyId) const;  // "return to automatic" commands
  int SaveCount(uint16_t propertyId) const;

  // uvcvideo's V4L2_CID_FOCUS_ABSOLUTE on the video node.
  struct V4l2Focus {
    bool supported = true;
    int32_t value = 0;
    int32_t readBackOffset = 0;  // added to the value read back after a set
    bool getFails = false;
    int gets = 0;
    int sets = 0;
  };
  // Returns false for an unsupported control; errno-free, the transport maps it.
  bool V4l2GetFocus(int32_t* value);
  bool V4l2SetFocus(int32_t value);
  V4l2Focus Focus() const;
  void SetFocus(const V4l2Focus& focus);

  // ---- Misbehaviour ----
  // The next `count` transfers of (selector, direction) stall.
  void FailNext(uint8_t selector, bool set, int count);
  // Every transfer of (selector, direction) stalls from now on.
  void FailAlways(uint8_t selector, bool set);
  // Property sets of this id are rejected (firmware without the command).
  void RefuseProperty(uint16_t id);
  // The capture-button status answers one byte only: longer reads move 1 byte.
  void SetOneByteStatus(bool oneByte);
  // The next `count` gets of the selector move only `moved` bytes.
  void ShortenNextGets(uint8_t selector, size_t moved, int count);
  // The next `count` sets of the selector move only `moved` bytes.
  void ShortenNextSets(uint8_t selector, size_t moved, int count);
  // The next `count` transfers of (selector, direction) never complete (USB only).
  void HangNext(uint8_t selector, bool set, int count);

  // ---- Observation ----
  std::vector<WireRecord> Wire() const;
  void ClearWire();
  // Transfers that broke a query: anything but the property get after a query's set (unless
  // that get already failed twice), or a property get with no query pending.
  int OrderViolations() const;

 private:
  using Key = std::pair<uint8_t, bool>;
  DeviceReply HandleProperty(bool set, uint8_t* data, size_t length);
  DeviceReply HandleStatus(Transport transport, bool set, uint8_t* data, size_t length);
  bool TakeCounter(std::map<Key, int>* counters, Key key);

  mutable std::mutex mutex_;
  const uint8_t unitId_;
  std::map<uint16_t, std::pair<uint32_t, uint32_t>> properties_;
  std::map<uint16_t, uint8_t> registers8_;
  std::map<uint32_t, uint32_t> registers32_;
  std::map<uint16_t, int> actions_;
  std::map<uint16_t, int> autos_;
  std::map<uint16_t, int> saves_;
  std::map<uint8_t, int> shortRequests_;
  std::set<uint16_t> refused_;
  uint16_t lensDriver_ = 0;
  uint8_t lensGroup_ = 0;
  uint8_t captureByte_ = 0;
  bool ledOn_ = true;
  bool oneByteStatus_ = false;
  V4l2Focus focus_;

  bool queryPending_ = false;
  int failedGets_ = 0;
  uint8_t reply_[10] = {};
  int orderViolations_ = 0;

  std::map<Key, int> failNext_;
  std::set<Key> failAlways_;
  std::map<Key, int> hangNext_;
  std::map<uint8_t, std::pair<size_t, int>> shortGets_;
  std::map<uint8_t, std::pair<size_t, int>> shortSets_;
  std::vector<WireRecord> wire_;
};

}  // namespace zentri_test

#endif  // TESTS_UNIT_LIBZENTRI_EMULATOR_MICROSCOPE_MODEL_H_
