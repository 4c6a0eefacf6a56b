#include "recording/software_process_backend.h"

#include <dlfcn.h>
#include <errno.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "recording/encoder_protocol.h"
#include "recording/mp4_writer.h"
#include "recording/nv12_convert.h"

extern char** environ;

namespace zentri_native {

namespace {

// Its address tells dladdr which file holds this code, and so where encworker is installed.
const char workerPathMarker = 0;

constexpr auto kStartReplyTimeout = std::chrono::seconds(8);
// A worker that runs is never given up on for being slow: under load, or while the disk is busy,
// one frame may take seconds, and the recorder's queue turns that into dropped frames. A worker
// that makes no progress at all (stopped, or asleep on anything but the disk) for the stall
// limit is taken as hung, and so is one that needs longer than the total limit.
constexpr WorkerWaitLimits kFrameLimits{std::chrono::seconds(10), std::chrono::seconds(60)};
// Finalizing copies the whole recording once (see Mp4Writer): minutes for a long recording on a
// slow disk, all the while with progress.
constexpr WorkerWaitLimits kFinalizeLimits{std::chrono::seconds(30), std::chrono::hours(1)};
// After its last reply the worker only exits.
constexpr auto kExitTimeout = std::chrono::seconds(30);

EncoderDeadline After(std::chrono::steady_clock::duration span) {
  return std::chrono::steady_clock::now() + span;
}

// posix_spawn file actions, destroyed on every path.
class SpawnActions {
 public:
  SpawnActions() { ok_ = posix_spawn_file_actions_init(&actions_) == 0; }
  ~SpawnActions() {
    if (ok_) {
      posix_spawn_file_actions_destroy(&actions_);
    }
  }
  bool ok() const { return ok_; }
  posix_spawn_file_actions_t* get() { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_;
  bool ok_ = false;
};

// posix_spawn attributes: the worker gets a process group of its own, so a terminal's Ctrl-C
// (sent to the whole foreground group) reaches the application, which can still finalize the
// recording, and not the encoder that has to write it.
class SpawnAttributes {
 public:
  SpawnAttributes() {
    ok_ = posix_spawnattr_init(&attributes_) == 0;
    if (ok_ && (posix_spawnattr_setflags(&attributes_, POSIX_SPAWN_SETPGROUP) != 0 ||
                posix_spawnattr_setpgroup(&attributes_, 0) != 0)) {
      posix_spawnattr_destroy(&attributes_);
      ok_ = false;
    }
  }
  ~SpawnAttributes() {
    if (ok_) {
      posix_spawnattr_destroy(&attributes_);
    }
  }
  bool ok() const { return ok_; }
  const posix_spawnattr_t* get() const { return &attributes_; }

 private:
  posix_spawnattr_t attributes_;
  bool ok_ = false;
};

}  // namespace

WorkerProgress::WorkerProgress(pid_t pid) : pid_(pid) {
  Sample(&cpuTicks_);
}

// /proc/<pid>/stat: "pid (name) state ppid ... utime stime ...": the state is the first field
// after the name, user and system time (summed over the process's threads) the 12th and 13th.
bool WorkerProgress::Sample(uint64_t* cpuTicks, char* state) const {
  char path[64];
  std::snprintf(path, sizeof(path), "/proc/%d/stat", static_cast<int>(pid_));
  FILE* file = std::fopen(path, "re");
  if (file == nullptr) {
    return false;
  }
  char text[1024];
  const size_t length = std::fread(text, 1, sizeof(text) - 1, file);
  std::fclose(file);
  text[length] = '\0';
  const char* close = std::strrchr(text, ')');
  if (close == nullptr) {
    return false;
  }
  char stateLetter = 0;
  unsigned long long user = 0, system = 0;
  if (std::sscanf(close + 1, " %c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &stateLetter,
                  &user, &system) != 3) {
    return false;
  }
  *cpuTicks = user + system;
  if (state != nullptr) {
    *state = stateLetter;
  }
  return true;
}

bool WorkerProgress::Advanced() {
  uint64_t ticks = 0;
  char state = 0;
  if (!Sample(&ticks, &state)) {
    return false;
  }
  const bool ran = ticks != cpuTicks_;
  cpuTicks_ = ticks;
  // R: running or waiting for a processor; D: waiting for the disk.
  return ran || state == 'R' || state == 'D';
}

EncoderWait WorkerWait(pid_t pid, WorkerWaitLimits limits) {
  const auto start = std::chrono::steady_clock::now();
  auto progress = std::make_shared<WorkerProgress>(pid);
  auto lastProgress = std::make_shared<std::chrono::steady_clock::time_point>(start);
  EncoderWait wait;
  wait.deadline = start + limits.total;
  wait.stillWaiting = [progress, lastProgress, stall = limits.stall] {
    const auto now = std::chrono::steady_clock::now();
    if (progress->Advanced()) {
      *lastProgress = now;
    }
    return now - *lastProgress < stall;
  };
  return wait;
}

std::string DefaultEncoderWorkerPath() {
  Dl_info info{};
  if (dladdr(&workerPathMarker, &info) == 0 || info.dli_fname == nullptr) {
    return {};
  }
  const std::string self = info.dli_fname;
  const size_t slash = self.rfind('/');
  if (slash == std::string::npos) {
    return {};
  }
  return self.substr(0, slash + 1) + "encworker";
}

std::unique_ptr<VideoRecorder::Backend> CreateLinuxSoftwareProcessBackend() {
  return std::make_unique<SoftwareProcessBackend>();
}

SoftwareProcessBackend::SoftwareProcessBackend(std::string workerPath)
    : workerPath_(std::move(workerPath)) {}

SoftwareProcessBackend::~SoftwareProcessBackend() {
  StopChild();
}

void SoftwareProcessBackend::CloseSocket() {
  if (socketFd_ >= 0) {
    close(socketFd_);
    socketFd_ = -1;
  }
}

void SoftwareProcessBackend::StopChild() {
  CloseSocket();
  if (childPid_ <= 0) {
    childPid_ = -1;
    return;
  }
  int status = 0;
  pid_t reaped;
  do {
    reaped = waitpid(childPid_, &status, WNOHANG);
  } while (reaped < 0 && errno == EINTR);
  if (reaped == 0) {
    kill(childPid_, SIGKILL);
    do {
      reaped = waitpid(childPid_, &status, 0);
    } while (reaped < 0 && errno == EINTR);
  }
  Collected(reaped == childPid_ ? status : -1);
}

// A worker that reported a failure, or closed its end, is finishing its file with what it has
// (see encworker): it gets the time a finalize gets before it is stopped.
void SoftwareProcessBackend::LetChildFinish() {
  CloseSocket();
  if (childPid_ <= 0) {
    childPid_ = -1;
    return;
  }
  const EncoderWait wait = WorkerWait(childPid_, kFinalizeLimits);
  auto lastCheck = std::chrono::steady_clock::now();
  for (;;) {
    int status = 0;
    const pid_t reaped = waitpid(childPid_, &status, WNOHANG);
    if (reaped == childPid_) {
      Collected(status);
      return;
    }
    if (reaped < 0 && errno != EINTR) {
      break;
    }
    const auto now = std::chrono::steady_clock::now();
    if (now >= wait.deadline) {
      break;
    }
    if (now - lastCheck >= kEncoderWaitSlice) {
      lastCheck = now;
      if (!wait.stillWaiting()) {
        break;
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  StopChild();
}

// A worker that did not exit by itself may have died while writing the regular copy of the
// recording beside it: that copy is incomplete, and the recording stays in its fragmented form.
void SoftwareProcessBackend::Collected(int status) {
  if (status < 0 || !WIFEXITED(status)) {
    if (!outputPath_.empty()) {
      unlink(FinalizingPath(outputPath_).c_str());
    }
  }
  childPid_ = -1;
}

std::string SoftwareProcessBackend::Start(const std::string& outputPath, int32_t width,
                                          int32_t height, int32_t frameRate, int32_t bitrate) {
  StopChild();  // a backend runs one worker at a time
  outputPath_ = outputPath;
  const std::string workerPath = workerPath_.empty() ? DefaultEncoderWorkerPath() : workerPath_;
  if (workerPath.empty() || access(workerPath.c_str(), X_OK) != 0) {
    return "The native software video encoder worker is missing";
  }

  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
    return "Could not create the software encoder connection";
  }
  const int parentEnd = fds[0];
  const int childEnd = fds[1];

  SpawnActions actions;
  SpawnAttributes attributes;
  if (!actions.ok() || !attributes.ok()) {
    close(parentEnd);
    close(childEnd);
    return "Could not configure the software encoder worker";
  }
  // The child gets its end as descriptor 3 and nothing above it: no descriptor of the
  // application (camera nodes, lock files, other sockets) leaks into the worker.
  int actionError = posix_spawn_file_actions_addclose(actions.get(), parentEnd);
  if (actionError == 0) {
    actionError = posix_spawn_file_actions_adddup2(actions.get(), childEnd, 3);
  }
  if (actionError == 0 && childEnd != 3) {
    actionError = posix_spawn_file_actions_addclose(actions.get(), childEnd);
  }
  if (actionError == 0) {
    actionError = posix_spawn_file_actions_addclosefrom_np(actions.get(), 4);
  }

  const std::vector<std::string> args = {workerPath,
                                         outputPath,
                                         std::to_string(width),
                                         std::to_string(height),
                                         std::to_string(frameRate),
                                         std::to_string(bitrate)};
  std::vector<char*> argv;
  for (const std::string& arg : args) {
    argv.push_back(const_cast<char*>(arg.c_str()));
  }
  argv.push_back(nullptr);

  pid_t pid = -1;
  int spawnError = actionError;
  if (spawnError == 0) {
    spawnError = posix_spawn(&pid, workerPath.c_str(), actions.get(), attributes.get(), argv.data(),
                             environ);
  }
  if (spawnError != 0) {
    close(parentEnd);
    close(childEnd);
    return std::string("Could not start the software video encoder: ") + std::strerror(spawnError);
  }
  close(childEnd);
  socketFd_ = parentEnd;
  childPid_ = pid;

  std::string reply, error;
  if (!ReadReply(socketFd_, After(kStartReplyTimeout), &reply, &error)) {
    StopChild();
    return error;
  }
  if (!reply.empty()) {
    StopChild();
    return reply;
  }
  return {};
}

std::string SoftwareProcessBackend::EncodeFrame(const VideoRecorder::Frame& frame, int64_t pts,
                                                int64_t duration) {
  if (!ValidateVideoFrame(frame) || frame.data.size() > kMaxEncoderPayloadBytes) {
    return "Invalid software encoder frame layout";
  }
  if (socketFd_ < 0) {
    return "The software video encoder is not running";
  }
  EncoderFrameHeader header;
  header.payloadSize = static_cast<uint32_t>(frame.data.size());
  header.width = frame.width;
  header.height = frame.height;
  header.format = frame.format;
  header.planeCount = frame.planeCount;
  for (int i = 0; i < 3; ++i) {
    header.offsets[i] = frame.offsets[i];
    header.strides[i] = frame.strides[i];
  }
  header.pts = pts;
  header.duration = duration;
  uint8_t headerBytes[kEncoderHeaderBytes];
  EncodeFrameHeader(header, headerBytes);

  const EncoderWait wait = WorkerWait(childPid_, kFrameLimits);
  std::string result = Transfer(socketFd_, headerBytes, sizeof(headerBytes), true, wait);
  if (result.empty()) {
    result =
        Transfer(socketFd_, const_cast<uint8_t*>(frame.data.data()), frame.data.size(), true, wait);
  }
  bool replied = false;
  if (result.empty()) {
    std::string reply;
    replied = ReadReply(socketFd_, wait, &reply, &result);
    if (replied) {
      result = reply;
    }
  }
  if (!result.empty()) {
    if (replied || result == "Software video encoder disconnected") {
      LetChildFinish();
    } else {
      StopChild();  // hung: its finished fragments are on disk already
    }
  }
  return result;
}

std::string SoftwareProcessBackend::Finalize() {
  if (socketFd_ < 0) {
    return "The software video encoder is not running";
  }
  const EncoderWait wait = WorkerWait(childPid_, kFinalizeLimits);
  uint8_t end[kEncoderHeaderBytes];
  EncodeFrameHeader(EndMessageHeader(), end);
  std::string result = Transfer(socketFd_, end, sizeof(end), true, wait);
  bool replied = false;
  if (result.empty()) {
    std::string reply;
    replied = ReadReply(socketFd_, wait, &reply, &result);
    if (replied) {
      result = reply;
    }
  }
  CloseSocket();

  if (replied && childPid_ > 0) {
    // The file is complete only once the worker has exited cleanly; one that reported a
    // failure exits as well, having left what it could.
    const EncoderDeadline deadline = After(kExitTimeout);
    std::string exitFailure;
    for (;;) {
      int status = 0;
      const pid_t reaped = waitpid(childPid_, &status, WNOHANG);
      if (reaped == childPid_) {
        Collected(status);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
          exitFailure = "Software encoder exited unsuccessfully";
        }
        break;
      }
      if (reaped < 0 && errno != EINTR) {
        exitFailure = "Could not collect the software encoder exit status";
        break;
      }
      if (std::chrono::steady_clock::now() >= deadline) {
        exitFailure = "Software encoder did not exit after finalizing";
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (result.empty()) {
      result = exitFailure;
    }
  }
  if (childPid_ > 0) {
    StopChild();
  }
  return result;
}

}  // namespace zentri_native
