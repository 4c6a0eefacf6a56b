#include "encoder_test_support.h"

#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>

extern char** environ;

namespace zentri_native {
namespace testing_support {

VideoRecorder::Frame MakeRgbaFrame(int width, int height, int index) {
  VideoRecorder::Frame frame;
  frame.width = width;
  frame.height = height;
  frame.format = 5;
  frame.planeCount = 1;
  frame.strides = {width * 4, 0, 0};
  frame.data.resize(static_cast<size_t>(width) * height * 4);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      uint8_t* p = &frame.data[(static_cast<size_t>(y) * width + x) * 4];
      p[0] = static_cast<uint8_t>(x + index * 4);
      p[1] = static_cast<uint8_t>(y + index * 2);
      p[2] = static_cast<uint8_t>((x ^ y) + index);
      p[3] = 255;
    }
  }
  return frame;
}

SpawnedWorker SpawnWorker(const std::string& path, const std::vector<std::string>& args,
                          bool closeStandard) {
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
    return {};
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 3);
  if (closeStandard) {
    for (int fd = 0; fd <= 2; ++fd) {
      posix_spawn_file_actions_addclose(&actions, fd);
    }
  }
  std::vector<std::string> all = {path};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& arg : all) {
    argv.push_back(const_cast<char*>(arg.c_str()));
  }
  argv.push_back(nullptr);
  pid_t pid = -1;
  const int error = posix_spawn(&pid, path.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  if (error != 0) {
    close(fds[0]);
    return {};
  }
  return {pid, fds[0]};
}

int WaitExitStatus(pid_t pid) {
  int status = 0;
  if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) {
    return -1;
  }
  return WEXITSTATUS(status);
}

bool ProcessGone(pid_t pid) {
  return kill(pid, 0) != 0;
}

std::string RunCommand(const std::string& command) {
  std::string output;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof(buffer), pipe)) > 0) {
      output.append(buffer, n);
    }
    pclose(pipe);
  }
  return output;
}

std::string ProbeStream(const std::string& file) {
  return RunCommand(
      "ffprobe -v error -select_streams v:0 -count_packets -show_streams -of "
      "default=noprint_wrappers=1 '" +
      file + "'");
}

std::vector<long> ProbePacketDurations(const std::string& file) {
  std::istringstream lines(
      RunCommand("ffprobe -v error -select_streams v:0 -show_entries "
                 "packet=duration -of csv=p=0 '" +
                 file + "'"));
  std::vector<long> durations;
  std::string line;
  while (std::getline(lines, line)) {
    if (!line.empty()) {
      durations.push_back(std::strtol(line.c_str(), nullptr, 10));
    }
  }
  return durations;
}

std::string TempPath(const std::string& name) {
  const char* dir = std::getenv("TMPDIR");
  return std::string(dir != nullptr && dir[0] != '\0' ? dir : "/tmp") + "/zentri-" +
         std::to_string(getpid()) + "-" + name;
}

}  // namespace testing_support
}  // namespace zentri_native
