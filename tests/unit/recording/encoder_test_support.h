// Shared by the encoder tests: synthetic frames, the encworker spawned on a socket pair, and
// ffprobe's view of a written file.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "recording/video_recorder.h"

namespace zentri_native {
namespace testing_support {

// A packed RGBA (format 5) frame with a moving gradient; `index` shifts the pattern.
VideoRecorder::Frame MakeRgbaFrame(int width, int height, int index);

// A worker process with its end of a socket pair on descriptor 3.
struct SpawnedWorker {
  pid_t pid = -1;
  int fd = -1;
};
// closeStandard: the worker starts with descriptors 0 to 2 closed, as a child of Node does.
SpawnedWorker SpawnWorker(const std::string& path, const std::vector<std::string>& args,
                          bool closeStandard = false);

// Waits for the process and returns its exit status (or -1 when it did not exit normally).
int WaitExitStatus(pid_t pid);

// True when no process with this id exists any more (it was reaped).
bool ProcessGone(pid_t pid);

// Runs a command and returns its standard output.
std::string RunCommand(const std::string& command);

// ffprobe's "key=value" lines for the first video stream, e.g. "profile=High".
std::string ProbeStream(const std::string& file);
// Every packet's duration in the stream time base, in file order.
std::vector<long> ProbePacketDurations(const std::string& file);

std::string TempPath(const std::string& name);

}  // namespace testing_support
}  // namespace zentri_native
