// Stand-ins for encworker that break the protocol in one way each:
//   silent          never sends its start-up reply;
//   oversized_reply answers the start with a reply length of 4097;
//   exit_on_frame   starts fine, then exits as soon as a frame header arrives.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>

int main() {
  [[maybe_unused]] const int fd = 3;
#if defined(FAKE_WORKER_silent)
  sleep(60);
#elif defined(FAKE_WORKER_oversized_reply)
  const uint32_t length = 4097;
  send(fd, &length, sizeof(length), MSG_NOSIGNAL);
  sleep(60);
#elif defined(FAKE_WORKER_exit_on_frame)
  const uint32_t ok = 0;
  send(fd, &ok, sizeof(ok), MSG_NOSIGNAL);
  uint8_t header[64];
  recv(fd, header, sizeof(header), MSG_WAITALL);
#endif
  return 3;
}
