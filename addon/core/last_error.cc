#include "core/last_error.h"

#include <mutex>

namespace zentri_native {

std::string& g_lastError = *new std::string();

namespace {
// Leaf lock: nothing else is done while it is held.
std::mutex& g_lastErrorMutex = *new std::mutex();
}  // namespace

void SetLastError(const std::string& message) {
  std::lock_guard<std::mutex> lock(g_lastErrorMutex);
  g_lastError = message;
}

std::string GetLastErrorString() {
  std::lock_guard<std::mutex> lock(g_lastErrorMutex);
  return g_lastError;
}

}  // namespace zentri_native
