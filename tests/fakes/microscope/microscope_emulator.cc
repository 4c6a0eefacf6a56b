// microscope_emulator.node: the emulated Zentri microscopes of the libzentri tests, offered to
// script tests. A script that runs under umockdev-wrapper creates a bus, adds microscopes (and
// their V4L2 nodes), and then drives the real libzentri through the addon under test while it
// sets the device state (status word, pixel size, lens, capture button) and counts the requests
// that reached the device.
#include <napi.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "emulator/emulated_bus.h"

namespace {

using zentri_test::EmulatedBus;
using zentri_test::MicroscopeModel;
using zentri_test::MicroscopeSpec;
using zentri_test::VideoNodeSpec;
using zentri_test::WireRecord;

// The bus lives until the script closes it. It is deliberately not destroyed at exit: the
// addon under test may still drain jobs that talk to the devices while the process ends.
EmulatedBus* g_bus = nullptr;
std::vector<MicroscopeModel*> g_models;

uint32_t Arg(const Napi::CallbackInfo& info, size_t index) {
  if (index >= info.Length() || !info[index].IsNumber()) {
    throw Napi::TypeError::New(info.Env(),
                               "argument " + std::to_string(index) + " must be a number");
  }
  return static_cast<uint32_t>(info[index].As<Napi::Number>().Int64Value());
}

MicroscopeModel& Model(const Napi::CallbackInfo& info) {
  const uint32_t index = Arg(info, 0);
  if (g_bus == nullptr || index >= g_models.size()) {
    throw Napi::RangeError::New(info.Env(), "no such microscope");
  }
  return *g_models[index];
}

// open(): a fresh, empty bus.
Napi::Value Open(const Napi::CallbackInfo& info) {
  if (!EmulatedBus::PreloadActive()) {
    throw Napi::Error::New(info.Env(),
                           "the emulator needs the umockdev preload (umockdev-wrapper)");
  }
  if (g_bus == nullptr) {
    g_bus = new EmulatedBus();
  }
  return info.Env().Undefined();
}

// close(): removes every device and the test bed.
Napi::Value Close(const Napi::CallbackInfo& info) {
  delete g_bus;
  g_bus = nullptr;
  g_models.clear();
  return info.Env().Undefined();
}

// addMicroscope({productId, serial, video}) -> index. With video (default true) the microscope
// gets a V4L2 capture node and libzentri talks to it through uvcvideo; without, through libusb.
Napi::Value AddMicroscope(const Napi::CallbackInfo& info) {
  if (g_bus == nullptr) {
    throw Napi::Error::New(info.Env(), "open the bus first");
  }
  MicroscopeSpec spec;
  bool video = true;
  if (info.Length() > 0 && info[0].IsObject()) {
    Napi::Object options = info[0].As<Napi::Object>();
    if (options.Get("productId").IsNumber()) {
      spec.productId =
          static_cast<uint16_t>(options.Get("productId").As<Napi::Number>().Uint32Value());
    }
    if (options.Get("serial").IsString()) {
      spec.descriptorSerial = options.Get("serial").As<Napi::String>().Utf8Value();
    }
    if (options.Get("video").IsBoolean()) {
      video = options.Get("video").As<Napi::Boolean>().Value();
    }
  }
  g_models.push_back(&g_bus->AddMicroscope(spec));
  const size_t index = g_models.size() - 1;
  if (video) {
    VideoNodeSpec node;
    node.name = "video" + std::to_string(index);
    g_bus->AddVideoNode(index, node);
  }
  return Napi::Number::New(info.Env(), static_cast<double>(index));
}

// setProperty(index, id, word0, word1): the value a query of the property returns.
Napi::Value SetProperty(const Napi::CallbackInfo& info) {
  Model(info).SetPropertyValue(static_cast<uint16_t>(Arg(info, 1)), Arg(info, 2), Arg(info, 3));
  return info.Env().Undefined();
}

// property(index, id) -> [word0, word1]
Napi::Value Property(const Napi::CallbackInfo& info) {
  const auto value = Model(info).PropertyValue(static_cast<uint16_t>(Arg(info, 1)));
  Napi::Array result = Napi::Array::New(info.Env(), 2);
  result.Set(0u, Napi::Number::New(info.Env(), value.first));
  result.Set(1u, Napi::Number::New(info.Env(), value.second));
  return result;
}

// setLensGroup(index, driver, group)
Napi::Value SetLensGroup(const Napi::CallbackInfo& info) {
  Model(info).SetLensGroup(static_cast<uint16_t>(Arg(info, 1)), static_cast<uint8_t>(Arg(info, 2)));
  return info.Env().Undefined();
}

// setCaptureByte(index, byte): 0x81 reads as pressed, 0 as released.
Napi::Value SetCaptureByte(const Napi::CallbackInfo& info) {
  Model(info).SetCaptureByte(static_cast<uint8_t>(Arg(info, 1)));
  return info.Env().Undefined();
}

// v4l2Focus(index) -> {value, sets, gets}; setV4l2Focus(index, value)
Napi::Value V4l2Focus(const Napi::CallbackInfo& info) {
  const MicroscopeModel::V4l2Focus focus = Model(info).Focus();
  Napi::Object result = Napi::Object::New(info.Env());
  result.Set("value", focus.value);
  result.Set("sets", focus.sets);
  result.Set("gets", focus.gets);
  return result;
}

Napi::Value SetV4l2Focus(const Napi::CallbackInfo& info) {
  MicroscopeModel& model = Model(info);
  MicroscopeModel::V4l2Focus focus = model.Focus();
  focus.value = static_cast<int32_t>(Arg(info, 1));
  model.SetFocus(focus);
  return info.Env().Undefined();
}

// state(index) -> {led, autoFocus, near, far, shortRequests: {code: count}}
Napi::Value State(const Napi::CallbackInfo& info) {
  MicroscopeModel& model = Model(info);
  Napi::Object result = Napi::Object::New(info.Env());
  result.Set("led", model.LedOn());
  result.Set("autoFocus", model.ActionCount(0x010));
  result.Set("near", model.ActionCount(0x012));
  result.Set("far", model.ActionCount(0x013));
  result.Set("ledOnRequests", model.ShortRequestCount(0x10));
  result.Set("ledOffRequests", model.ShortRequestCount(0x12));
  return result;
}

// queries(index, id) -> how many property queries of id reached the device since clearWire.
Napi::Value Queries(const Napi::CallbackInfo& info) {
  const uint16_t id = static_cast<uint16_t>(Arg(info, 1));
  int count = 0;
  for (const WireRecord& record : Model(info).Wire()) {
    if (record.set && record.selector == 0x11 && record.accepted && record.payload.size() == 10 &&
        (record.payload[8] | (record.payload[9] << 8)) == id) {
      ++count;
    }
  }
  return Napi::Number::New(info.Env(), count);
}

// statusReads(index) -> capture-button reads (selector 0x0d gets) since clearWire.
Napi::Value StatusReads(const Napi::CallbackInfo& info) {
  int count = 0;
  for (const WireRecord& record : Model(info).Wire()) {
    count += !record.set && record.selector == 0x0D ? 1 : 0;
  }
  return Napi::Number::New(info.Env(), count);
}

Napi::Value ClearWire(const Napi::CallbackInfo& info) {
  Model(info).ClearWire();
  return info.Env().Undefined();
}

// refuseProperty(index, id): sets of the property stall (firmware without the command).
Napi::Value RefuseProperty(const Napi::CallbackInfo& info) {
  Model(info).RefuseProperty(static_cast<uint16_t>(Arg(info, 1)));
  return info.Env().Undefined();
}

// rootDir() -> the test bed's folder, where the emulated /dev and /sys live (for scripts that
// change a node's permissions: node's own fs calls are not redirected by the preload).
Napi::Value RootDir(const Napi::CallbackInfo& info) {
  if (g_bus == nullptr) {
    throw Napi::Error::New(info.Env(), "open the bus first");
  }
  return Napi::String::New(info.Env(), g_bus->RootDir());
}

Napi::Object Init(Napi::Env env, Napi::Object exports) {
  exports.Set("rootDir", Napi::Function::New<RootDir>(env));
  exports.Set("open", Napi::Function::New<Open>(env));
  exports.Set("close", Napi::Function::New<Close>(env));
  exports.Set("addMicroscope", Napi::Function::New<AddMicroscope>(env));
  exports.Set("setProperty", Napi::Function::New<SetProperty>(env));
  exports.Set("property", Napi::Function::New<Property>(env));
  exports.Set("setLensGroup", Napi::Function::New<SetLensGroup>(env));
  exports.Set("setCaptureByte", Napi::Function::New<SetCaptureByte>(env));
  exports.Set("v4l2Focus", Napi::Function::New<V4l2Focus>(env));
  exports.Set("setV4l2Focus", Napi::Function::New<SetV4l2Focus>(env));
  exports.Set("state", Napi::Function::New<State>(env));
  exports.Set("queries", Napi::Function::New<Queries>(env));
  exports.Set("statusReads", Napi::Function::New<StatusReads>(env));
  exports.Set("clearWire", Napi::Function::New<ClearWire>(env));
  exports.Set("refuseProperty", Napi::Function::New<RefuseProperty>(env));
  return exports;
}

}  // namespace

NODE_API_MODULE(microscope_emulator, Init)
