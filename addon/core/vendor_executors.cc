#include "core/vendor_executors.h"

namespace zentri_native {

VendorSdkExecutor g_dinoLiteExecutor("Dino-Lite", kVendorIdleInterval);
VendorSdkExecutor g_zentriExecutor("Zentri", kVendorIdleInterval);

void StopVendorSdkExecutors() {
  g_dinoLiteExecutor.Shutdown();
  g_zentriExecutor.Shutdown();
}

}  // namespace zentri_native
