#include "recording/software_process_backend.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "encoder_test_support.h"
#include "recording/linux_backend.h"

extern char** environ;

namespace zentri_native {
namespace {

using testing_support::MakeRgbaFrame;
using testing_support::ProbeStream;
using testing_support::ProcessGone;
using testing_support::TempPath;

const std::string kBinDir = ZENTRI_TEST_BIN_DIR;
constexpr int64_t kThirtyFps = 333333;

pid_t SpawnProgram(std::vector<std::string> args) {
  std::vector<char*> argv;
  for (std::string& arg : args) {
    argv.push_back(arg.data());
  }
  argv.push_back(nullptr);
  pid_t pid = -1;
  return posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) == 0 ? pid : -1;
}

// Waits (at most 10 s) for the process to reach a state ('T': stopped).
bool WaitForState(pid_t pid, char state) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < until) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t close = text.rfind(')');
    if (close != std::string::npos && close + 2 < text.size() && text[close + 2] == state) {
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

TEST(SoftwareProcessBackend, RecordsThroughTheWorkerAndCollectsIt) {
  const std::string path = TempPath("worker.mp4");
  SoftwareProcessBackend backend(kBinDir + "/encworker");
  ASSERT_EQ(backend.Start(path, 320, 240, 30, 1000000), "");
  const pid_t worker = backend.ChildPid();
  ASSERT_GT(worker, 0);
  for (int i = 0; i < 5; ++i) {
    ASSERT_EQ(backend.EncodeFrame(MakeRgbaFrame(320, 240, i), i * kThirtyFps, kThirtyFps), "");
  }
  // A frame that does not match its layout is refused here; the worker keeps running.
  VideoRecorder::Frame shortFrame = MakeRgbaFrame(320, 240, 5);
  shortFrame.data.resize(shortFrame.data.size() - 1);
  EXPECT_EQ(backend.EncodeFrame(shortFrame, 5 * kThirtyFps, kThirtyFps),
            "Invalid software encoder frame layout");
  EXPECT_EQ(backend.ChildPid(), worker);

  EXPECT_EQ(backend.Finalize(), "");
  EXPECT_EQ(backend.ChildPid(), -1);
  EXPECT_TRUE(ProcessGone(worker));
  EXPECT_NE(ProbeStream(path).find("nb_read_packets=5\n"), std::string::npos);
  EXPECT_EQ(backend.Finalize(), "The software video encoder is not running");
  unlink(path.c_str());
}

TEST(SoftwareProcessBackend, WorkerFailuresComeBackAsText) {
  {
    SoftwareProcessBackend backend(kBinDir + "/no_such_encworker");
    EXPECT_EQ(backend.Start(TempPath("a.mp4"), 64, 48, 30, 1000000),
              "The native software video encoder worker is missing");
  }
  {
    // The worker checks the configuration itself and says why it refuses.
    SoftwareProcessBackend backend(kBinDir + "/encworker");
    EXPECT_EQ(backend.Start(TempPath("b.mp4"), 7, 48, 30, 1000000),
              "Invalid software encoder configuration");
    EXPECT_EQ(backend.ChildPid(), -1);
  }
  {
    SoftwareProcessBackend backend(kBinDir + "/fake_encworker_oversized_reply");
    EXPECT_EQ(backend.Start(TempPath("c.mp4"), 64, 48, 30, 1000000),
              "Invalid software encoder response");
    EXPECT_EQ(backend.ChildPid(), -1);
  }
  {
    SoftwareProcessBackend backend(kBinDir + "/fake_encworker_exit_on_frame");
    ASSERT_EQ(backend.Start(TempPath("d.mp4"), 64, 48, 30, 1000000), "");
    const pid_t worker = backend.ChildPid();
    EXPECT_EQ(backend.EncodeFrame(MakeRgbaFrame(64, 48, 0), 0, kThirtyFps),
              "Software video encoder disconnected");
    EXPECT_EQ(backend.ChildPid(), -1);
    EXPECT_TRUE(ProcessGone(worker));
    EXPECT_EQ(backend.Finalize(), "The software video encoder is not running");
  }
}

TEST(SoftwareProcessBackend, SilentWorkerTimesOutAfterEightSecondsAndIsKilled) {
  SoftwareProcessBackend backend(kBinDir + "/fake_encworker_silent");
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(backend.Start(TempPath("e.mp4"), 64, 48, 30, 1000000),
            "Software video encoder timed out");
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(7900));
  EXPECT_LT(waited, std::chrono::seconds(30));
  EXPECT_EQ(backend.ChildPid(), -1);
}

TEST(SoftwareProcessBackend, DestroyingARunningBackendKillsTheWorker) {
  pid_t worker = -1;
  {
    SoftwareProcessBackend backend(kBinDir + "/encworker");
    ASSERT_EQ(backend.Start(TempPath("f.mp4"), 64, 48, 30, 1000000), "");
    worker = backend.ChildPid();
  }
  EXPECT_TRUE(ProcessGone(worker));
  unlink(TempPath("f.mp4").c_str());
}

TEST(SoftwareProcessBackend, AddonBackendHandsLibx264ToTheWorker) {
  // Unit tests live beside encworker, as the addon does: the default path finds it.
  char* found = realpath(DefaultEncoderWorkerPath().c_str(), nullptr);
  char* expected = realpath((kBinDir + "/encworker").c_str(), nullptr);
  ASSERT_NE(found, nullptr);
  ASSERT_NE(expected, nullptr);
  EXPECT_STREQ(found, expected);
  free(found);
  free(expected);
  setenv("ZENTRI_FFMPEG_ENCODER", "libx264", 1);
  const std::string path = TempPath("delegate.mp4");
  auto backend = CreateLinuxBackend(false);
  ASSERT_EQ(backend->Start(path, 160, 120, 30, 1000000), "");
  EXPECT_EQ(backend->EncoderName(), "libx264");
  EXPECT_EQ(backend->EncoderAcceleration(), "software");
  EXPECT_EQ(backend->EncodeFrame(MakeRgbaFrame(160, 120, 0), 0, kThirtyFps), "");
  EXPECT_EQ(backend->Finalize(), "");
  unsetenv("ZENTRI_FFMPEG_ENCODER");
  EXPECT_NE(ProbeStream(path).find("nb_read_packets=1\n"), std::string::npos);
  unlink(path.c_str());
}

// Progress of a worker is what it does, not how fast: a busy process progresses, a stopped or
// sleeping one does not, and a wait for it ends after the stall limit.
TEST(SoftwareProcessBackend, WorkerProgressTellsRunningFromStoppedOrAsleep) {
  const pid_t busy = SpawnProgram({"/bin/sh", "-c", "while :; do :; done"});
  const pid_t asleep = SpawnProgram({"/bin/sleep", "60"});
  ASSERT_GT(busy, 0);
  ASSERT_GT(asleep, 0);
  ASSERT_TRUE(WaitForState(asleep, 'S'));
  WorkerProgress busyProgress(busy);
  WorkerProgress sleepProgress(asleep);
  sleepProgress.Advanced();  // the time it took to start
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_TRUE(busyProgress.Advanced());
  EXPECT_FALSE(sleepProgress.Advanced());

  kill(busy, SIGSTOP);
  ASSERT_TRUE(WaitForState(busy, 'T'));
  busyProgress.Advanced();  // the time it ran before it stopped
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_FALSE(busyProgress.Advanced());

  const EncoderWait wait =
      WorkerWait(busy, {std::chrono::milliseconds(300), std::chrono::seconds(30)});
  const auto start = std::chrono::steady_clock::now();
  while (wait.stillWaiting()) {
    ASSERT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    std::this_thread::sleep_for(kEncoderWaitSlice);
  }
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
  for (pid_t pid : {busy, asleep}) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
}

}  // namespace
}  // namespace zentri_native
