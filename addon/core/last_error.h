// Process-wide last-error slot: the message of the most recent failure that an operation chose
// to record. Any thread may write it; the latest write wins.
#pragma once

#include <string>

namespace zentri_native {

// Never destroyed: threads that outlive the script environment (a vendor call finishing or timing
// out during process exit) may still record a failure after static destructors have run.
extern std::string& g_lastError;

// Replaces the slot's message; the empty string clears it.
void SetLastError(const std::string& message);

// A copy of the slot's message, taken under its lock.
std::string GetLastErrorString();

}  // namespace zentri_native
