#include "emulator/microscope_model.h"

#include <algorithm>
#include <cstring>

namespace zentri_test {
namespace {

constexpr uint8_t kPropertySelector = 0x11;
constexpr uint8_t kStatusSelector = 0x0D;
constexpr uint8_t kLensSelector = 0x08;
constexpr size_t kPropertyBlockSize = 10;

uint32_t ReadU32(const uint8_t* bytes) {
  return static_cast<uint32_t>(bytes[0]) | (static_cast<uint32_t>(bytes[1]) << 8) |
         (static_cast<uint32_t>(bytes[2]) << 16) | (static_cast<uint32_t>(bytes[3]) << 24);
}

void WriteU32(uint8_t* bytes, uint32_t value) {
  for (int i = 0; i < 4; ++i) {
    bytes[i] = static_cast<uint8_t>(value >> (8 * i));
  }
}

DeviceReply Accept(size_t moved) {
  return DeviceReply{DeviceReply::kAccepted, moved};
}
DeviceReply Stall() {
  return DeviceReply{DeviceReply::kStall, 0};
}

}  // namespace

bool MicroscopeModel::TakeCounter(std::map<Key, int>* counters, Key key) {
  auto it = counters->find(key);
  if (it == counters->end() || it->second <= 0) {
    return false;
  }
  --it->second;
  return true;
}

DeviceReply MicroscopeModel::Handle(Transport transport, bool set, uint8_t unit, uint8_t selector,
                                    uint8_t* data, size_t length) {
  std::lock_guard<std::mutex> lock(mutex_);
  WireRecord record{transport, set, unit, selector, static_cast<uint16_t>(length), {}, false};
  if (set) {
    record.payload.assign(data, data + length);
  }

  // A query's set must be followed by its get, before anything else reaches the unit. A host
  // gives a query up after two failed gets (the get and its retry); only then may other
  // transfers follow.
  const bool isPropertyGet = !set && selector == kPropertySelector;
  if (queryPending_ && !isPropertyGet) {
    if (failedGets_ < 2) {
      ++orderViolations_;
    }
    queryPending_ = false;
  }

  DeviceReply reply;
  const Key key{selector, set};
  if (TakeCounter(&hangNext_, key)) {
    reply = DeviceReply{DeviceReply::kHang, 0};
  } else if (unit != unitId_ || failAlways_.count(key) != 0 || TakeCounter(&failNext_, key)) {
    reply = Stall();
  } else if (selector == kPropertySelector) {
    reply = HandleProperty(set, data, length);
  } else if (selector == kStatusSelector) {
    reply = HandleStatus(transport, set, data, length);
  } else if (selector == kLensSelector && !set && length == 4) {
    WriteU32(data, (static_cast<uint32_t>(lensDriver_) << 16) | lensGroup_);
    reply = Accept(4);
  } else {
    reply = Stall();
  }

  if (isPropertyGet && queryPending_ && reply.kind != DeviceReply::kAccepted) {
    ++failedGets_;
  }
  if (reply.kind == DeviceReply::kAccepted) {
    auto& shorten = set ? shortSets_ : shortGets_;
    auto it = shorten.find(selector);
    if (it != shorten.end() && it->second.second > 0) {
      --it->second.second;
      reply.moved = std::min(reply.moved, it->second.first);
    }
    if (!set) {
      record.payload.assign(data, data + reply.moved);
    }
    record.accepted = true;
  }
  wire_.push_back(std::move(record));
  return reply;
}

DeviceReply MicroscopeModel::HandleProperty(bool set, uint8_t* data, size_t length) {
  if (length != kPropertyBlockSize) {
    return Stall();
  }
  if (!set) {
    if (!queryPending_) {
      ++orderViolations_;
    }
    queryPending_ = false;
    std::memcpy(data, reply_, kPropertyBlockSize);
    return Accept(kPropertyBlockSize);
  }

  const uint32_t word0 = ReadU32(data);
  const uint32_t word1 = ReadU32(data + 4);
  const uint16_t command = static_cast<uint16_t>(data[8] | (data[9] << 8));
  const uint16_t id = command & 0x0FFF;
  const uint16_t flags = command & 0xF000;

  if (flags == 0) {
    // Query: the answer waits for the get.
    uint32_t result0 = 0;
    uint32_t result1 = 0;
    if (id == 0x200) {
      result0 = registers8_.count(word1 & 0xFFFF) ? registers8_[word1 & 0xFFFF] : 0;
      result1 = word1;
    } else if (id == 0x201) {
      result0 = registers32_.count(word1) ? registers32_[word1] : 0;
      result1 = word1;
    } else {
      auto it = properties_.find(id);
      if (it != properties_.end()) {
        result0 = it->second.first;
        result1 = it->second.second;
      }
    }
    WriteU32(reply_, result0);
    WriteU32(reply_ + 4, result1);
    reply_[8] = data[8];
    reply_[9] = data[9];
    queryPending_ = true;
    failedGets_ = 0;
    return Accept(kPropertyBlockSize);
  }
  if (refused_.count(id) != 0) {
    return Stall();
  }
  if (flags == 0x8000) {
    if (id == 0x010 || id == 0x012 || id == 0x013) {
      ++actions_[id];
    } else if (id == 0x200) {
      registers8_[word1 & 0xFFFF] = static_cast<uint8_t>(word0);
    } else if (id == 0x201) {
      registers32_[word1] = word0;
    } else {
      properties_[id] = {word0, word1};
    }
    return Accept(kPropertyBlockSize);
  }
  if (flags == 0x4000) {
    ++autos_[id];
    return Accept(kPropertyBlockSize);
  }
  if (flags == 0x2000) {
    ++saves_[id];
    return Accept(kPropertyBlockSize);
  }
  return Stall();
}

DeviceReply MicroscopeModel::HandleStatus(Transport transport, bool set, uint8_t* data,
                                          size_t length) {
  if (set) {
    if (length != 4 || data[0] != 0 || data[1] != 0 || data[2] != 0) {
      return Stall();
    }
    const uint8_t code = data[3];
    ++shortRequests_[code];
    if (code == 0x10) {
      ledOn_ = true;
    } else if (code == 0x12) {
      ledOn_ = false;
    }
    return Accept(4);
  }
  const size_t controlLength = oneByteStatus_ ? 1 : 4;
  if (length < controlLength) {
    return Stall();
  }
  std::memset(data, 0, length);
  data[0] = captureByte_;
  if (length == controlLength) {
    return Accept(length);
  }
  // A longer read of a shorter control: USB moves what the control has (a short transfer);
  // uvcvideo refuses a size that differs from the control's.
  return transport == Transport::kUsb ? Accept(controlLength) : Stall();
}

void MicroscopeModel::SetPropertyValue(uint16_t id, uint32_t word0, uint32_t word1) {
  std::lock_guard<std::mutex> lock(mutex_);
  properties_[id] = {word0, word1};
}

std::pair<uint32_t, uint32_t> MicroscopeModel::PropertyValue(uint16_t id) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = properties_.find(id);
  return it == properties_.end() ? std::make_pair(0u, 0u) : it->second;
}

void MicroscopeModel::SetLensGroup(uint16_t driver, uint8_t group) {
  std::lock_guard<std::mutex> lock(mutex_);
  lensDriver_ = driver;
  lensGroup_ = group;
}

void MicroscopeModel::SetCaptureByte(uint8_t value) {
  std::lock_guard<std::mutex> lock(mutex_);
  captureByte_ = value;
}

uint8_t MicroscopeModel::SensorRegister8(uint16_t address) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = registers8_.find(address);
  return it == registers8_.end() ? 0 : it->second;
}

uint32_t MicroscopeModel::SensorRegister32(uint32_t address) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = registers32_.find(address);
  return it == registers32_.end() ? 0 : it->second;
}

bool MicroscopeModel::LedOn() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return ledOn_;
}

int MicroscopeModel::ActionCount(uint16_t propertyId) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = actions_.find(propertyId);
  return it == actions_.end() ? 0 : it->second;
}

int MicroscopeModel::ShortRequestCount(uint8_t code) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = shortRequests_.find(code);
  return it == shortRequests_.end() ? 0 : it->second;
}

int MicroscopeModel::AutoCount(uint16_t propertyId) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = autos_.find(propertyId);
  return it == autos_.end() ? 0 : it->second;
}

int MicroscopeModel::SaveCount(uint16_t propertyId) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = saves_.find(propertyId);
  return it == saves_.end() ? 0 : it->second;
}

bool MicroscopeModel::V4l2GetFocus(int32_t* value) {
  std::lock_guard<std::mutex> lock(mutex_);
  ++focus_.gets;
  if (!focus_.supported || focus_.getFails) {
    return false;
  }
  *value = focus_.value;
  return true;
}

bool MicroscopeModel::V4l2SetFocus(int32_t value) {
  std::lock_guard<std::mutex> lock(mutex_);
  ++focus_.sets;
  if (!focus_.supported) {
    return false;
  }
  focus_.value = value + focus_.readBackOffset;
  return true;
}

MicroscopeModel::V4l2Focus MicroscopeModel::Focus() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return focus_;
}

void MicroscopeModel::SetFocus(const V4l2Focus& focus) {
  std::lock_guard<std::mutex> lock(mutex_);
  focus_ = focus;
}

void MicroscopeModel::FailNext(uint8_t selector, bool set, int count) {
  std::lock_guard<std::mutex> lock(mutex_);
  failNext_[{selector, set}] = count;
}

void MicroscopeModel::FailAlways(uint8_t selector, bool set) {
  std::lock_guard<std::mutex> lock(mutex_);
  failAlways_.insert({selector, set});
}

void MicroscopeModel::RefuseProperty(uint16_t id) {
  std::lock_guard<std::mutex> lock(mutex_);
  refused_.insert(id);
}

void MicroscopeModel::SetOneByteStatus(bool oneByte) {
  std::lock_guard<std::mutex> lock(mutex_);
  oneByteStatus_ = oneByte;
}

void MicroscopeModel::ShortenNextGets(uint8_t selector, size_t moved, int count) {
  std::lock_guard<std::mutex> lock(mutex_);
  shortGets_[selector] = {moved, count};
}

void MicroscopeModel::ShortenNextSets(uint8_t selector, size_t moved, int count) {
  std::lock_guard<std::mutex> lock(mutex_);
  shortSets_[selector] = {moved, count};
}

void MicroscopeModel::HangNext(uint8_t selector, bool set, int count) {
  std::lock_guard<std::mutex> lock(mutex_);
  hangNext_[{selector, set}] = count;
}

std::vector<WireRecord> MicroscopeModel::Wire() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return wire_;
}

void MicroscopeModel::ClearWire() {
  std::lock_guard<std::mutex> lock(mutex_);
  wire_.clear();
}

int MicroscopeModel::OrderViolations() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return orderViolations_;
}

}  // namespace zentri_test
