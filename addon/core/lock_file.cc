#include "core/lock_file.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <climits>
#include <mutex>
#include <set>
#include <string>

#include "core/script_args.h"

namespace zentri_native {

namespace {

// Descriptors handed out by LockFile and not yet released. UnlockFile closes only these, so a
// stray number from a script (0, a socket, a descriptor released twice and since reused) can
// never close a descriptor that belongs to someone else.
std::mutex g_lockFilesMutex;
std::set<int> g_lockFileDescriptors;

std::string ErrnoSuffix(int error) {
  return " (errno " + std::to_string(error) + ")";
}

}  // namespace

Napi::Value LockFile(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  const std::string path = ReadStringArg(info, 0);
  if (path.empty()) {
    throw Napi::Error::New(env, "lockFile requires a path argument");
  }

  // CLOEXEC keeps the lock out of child processes, which would otherwise hold it past our exit.
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) {
    const int error = errno;
    if (error == EEXIST) {
      throw Napi::Error::New(env, "LOCK_FILE_EXISTS");
    }
    throw Napi::Error::New(env, "Failed to open lock file: " + path + ErrnoSuffix(error));
  }
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno;
    close(fd);
    if (error == EWOULDBLOCK) {
      throw Napi::Error::New(env, "LOCK_FILE_EXISTS");
    }
    throw Napi::Error::New(env, "Failed to flock lock file: " + path + ErrnoSuffix(error));
  }
  {
    std::lock_guard<std::mutex> lock(g_lockFilesMutex);
    g_lockFileDescriptors.insert(fd);
  }
  return Napi::Number::New(env, fd);
}

Napi::Value UnlockFile(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  // Without a number there is nothing that identifies a lock of ours: release nothing.
  if (info.Length() < 1 || !info[0].IsNumber()) {
    return env.Undefined();
  }
  // Truncated toward zero; numbers outside the descriptor range (negative, huge, NaN) are
  // ignored rather than wrapped onto some other descriptor.
  const double value = ReadDoubleArg(info, 0, -1.0);
  if (!(value >= 0.0) || value > static_cast<double>(INT_MAX)) {
    return env.Undefined();
  }
  const int fd = static_cast<int>(value);
  {
    std::lock_guard<std::mutex> lock(g_lockFilesMutex);
    if (g_lockFileDescriptors.erase(fd) == 0) {
      return env.Undefined();
    }
  }
  flock(fd, LOCK_UN);
  close(fd);
  return env.Undefined();
}

}  // namespace zentri_native
