// The Dino-Lite binding driven the way the script functions drive it: every binding call on
// g_dinoLiteExecutor, while other threads read the debug snapshot and the telemetry cache, as the
// script thread does. Run under ThreadSanitizer too.
#include "dino_lite/dino_lite_binding.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "core/last_error.h"
#include "core/vendor_executors.h"

namespace zentri_native {
namespace {

using namespace std::chrono_literals;

const std::string kLibDir = ZENTRI_TEST_LIB_DIR;

template <typename F>
auto OnOwner(F fn) {
  auto result = g_dinoLiteExecutor.Invoke(fn, 20s);
  EXPECT_TRUE(result.has_value()) << GetLastErrorString();
  return result.value_or(decltype(fn()){});
}

// One binding per process: the cases build on each other in order.
TEST(DinoLiteBinding, LoadReportsTheLoaderTextThenKeepsTheFirstLibrary) {
  unsetenv("DINOLITE_SIMULATOR_SCENARIO");
  const std::string missing = kLibDir + "/no_such_dinolite.so";
  EXPECT_FALSE(OnOwner([&] { return g_dinoLite.Load(missing); }));
  EXPECT_EQ(g_dinoLite.ErrorText().rfind("Could not load native library '" + missing + "'", 0), 0u)
      << g_dinoLite.ErrorText();
  EXPECT_EQ(GetLastErrorString(), g_dinoLite.ErrorText());

  const std::string simulator = kLibDir + "/simulators/libdinolite.so";
  EXPECT_TRUE(OnOwner([&] { return g_dinoLite.Load(simulator); }));
  EXPECT_EQ(g_dinoLite.ErrorText(), "");
  EXPECT_TRUE(
      OnOwner([&] { return g_dinoLite.Load(kLibDir + "/fake_dinolite_minimal/libdinolite.so"); }));
  EXPECT_EQ(OnOwner([] { return g_dinoLite.pathOnOwnerThread(); }), simulator);
}

TEST(DinoLiteBinding, ScriptThreadReadsWhileTheOwnerThreadWorks) {
  // As the selection script function does it.
  ASSERT_TRUE(OnOwner([] {
    const bool ok = g_dinoLite.SelectDevice(0);
    ResetDinoTelemetry(ok ? 0 : -1);
    UpdateDinoSnapshotOnOwnerThread();
    return ok;
  }));

  std::atomic<bool> stop{false};
  std::atomic<int> amrSeen{0};
  std::vector<std::thread> readers;
  for (int r = 0; r < 2; ++r) {
    readers.emplace_back([&] {
      while (!stop.load()) {
        const DinoLiteBinding::DebugSnapshot snapshot = CopyDinoSnapshot();
        EXPECT_TRUE(snapshot.loaded);
        EXPECT_EQ(snapshot.ledModes.size(), 4u);
        if (g_dinoCachedAmr.load() == 50.0) {
          ++amrSeen;
        }
        g_dinoCachedMicrotouch.exchange(false);
        (void)g_dinoLite.ErrorText();
      }
    });
  }
  for (int i = 0; i < 200; ++i) {
    g_dinoLiteExecutor.PostCoalesced("amr", [] { g_dinoLite.ReadAmrOnOwnerThread(); });
    g_dinoLiteExecutor.PostCoalesced("fov", [] { g_dinoLite.ReadFovOnOwnerThread(50.0, 0); });
    g_dinoLiteExecutor.PostCoalesced("microtouch",
                                     [] { g_dinoLite.PollMicrotouchOnOwnerThread(); });
    if (i % 20 == 0) {
      OnOwner([] {
        const int32_t mode = g_dinoLite.ToggleLedState();
        UpdateDinoSnapshotOnOwnerThread();
        return mode;
      });
    }
    std::this_thread::sleep_for(1ms);
  }
  OnOwner([] { return 0; });  // everything posted before has run
  stop = true;
  for (auto& reader : readers) {
    reader.join();
  }
  EXPECT_GT(amrSeen.load(), 0);
  EXPECT_DOUBLE_EQ(g_dinoCachedFov.load(), 8.0);  // 400000 um at 1x, seen at 50x, in mm

  EXPECT_TRUE(g_dinoLiteExecutor.InvokeVoid([] { g_dinoLite.DisposeOnOwnerThread(); }, 20s));
  const DinoLiteBinding::DebugSnapshot disposed = CopyDinoSnapshot();
  EXPECT_EQ(disposed.selectedDeviceIndex, -1);
  EXPECT_FALSE(disposed.initialized);
  EXPECT_EQ(g_dinoTelemetryIndex.load(), -1);
}

}  // namespace
}  // namespace zentri_native
