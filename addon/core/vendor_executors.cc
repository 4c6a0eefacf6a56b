#include "core/vendor_executors.h"

#include <atomic>

namespace zentri_native {

namespace {
// True from the construction of both executors until just before their destruction. Constant
// initialised and trivially destructible, so it can be read at any point of static
// initialisation and destruction, in whatever order other translation units run theirs.
std::atomic<bool> g_executorsAlive{false};

struct ExecutorsLifetime {
  ExecutorsLifetime() { g_executorsAlive = true; }
  ~ExecutorsLifetime() { g_executorsAlive = false; }
};
}  // namespace

VendorSdkExecutor g_dinoLiteExecutor("Dino-Lite", kVendorIdleInterval);
VendorSdkExecutor g_zentriExecutor("Zentri", kVendorIdleInterval);

namespace {
// Defined after the executors: destroyed just before them (which then shut themselves down).
ExecutorsLifetime g_executorsLifetime;
}  // namespace

void StopVendorSdkExecutors() {
  if (!g_executorsAlive) {
    return;  // not constructed yet, or already being destroyed
  }
  g_dinoLiteExecutor.Shutdown();
  g_zentriExecutor.Shutdown();
}

}  // namespace zentri_native
