#include "device.h"

#include <cstring>
#include <utility>

#include "cnokhwa.h"

namespace cnokhwa {

Device::Device(DeviceInfo info, std::vector<FormatEntry> formats)
    : info_(std::move(info)),
      formats_(std::move(formats)),
      frames_(std::make_shared<FrameStore>()) {}

Device::~Device() {
  Stop();
}

int Device::Start(const CaptureRequest& request) {
  if (request.format >= 0 && static_cast<size_t>(request.format) >= formats_.size()) {
    return CNOKHWA_ERR_BAD_ARGUMENT;
  }
  const int refused = CheckRequest(request);
  if (refused != CNOKHWA_OK) {
    return refused;
  }
  if (!Attached()) {
    return CNOKHWA_ERR_DEVICE_LOST;
  }
  // The running session ends first: a camera streams to one reader at a time. The frame store
  // keeps answering with its last frame until the new session begins.
  std::unique_ptr<Session> previous;
  CaptureRequest previousRequest;
  {
    std::lock_guard<std::mutex> lock(sessionMutex_);
    previous = std::move(session_);
    previousRequest = running_;
  }
  const bool hadSession = previous != nullptr;
  previous.reset();  // joins its capture thread
  const uint64_t token = frames_->Begin();
  std::unique_ptr<Session> session;
  CaptureRequest installed = request;
  const int result = CreateSession(request, frames_, token, &session);
  if (result != CNOKHWA_OK) {
    // A refused change leaves the camera capturing as it did.
    if (!hadSession || CreateSession(previousRequest, frames_, token, &session) != CNOKHWA_OK) {
      frames_->End(token);
      return result;
    }
    installed = previousRequest;
  }
  // Two starts racing on one device: the one that began last is the one that stays installed,
  // whichever finishes first. The other session ends here, outside the lock.
  std::unique_ptr<Session> displaced;
  {
    std::lock_guard<std::mutex> lock(sessionMutex_);
    if (frames_->CurrentToken() == token) {
      displaced = std::move(session_);
      session_ = std::move(session);
      running_ = installed;
    } else {
      displaced = std::move(session);
    }
  }
  displaced.reset();
  return result;
}

void Device::Stop() {
  std::unique_ptr<Session> session;
  {
    std::lock_guard<std::mutex> lock(sessionMutex_);
    session = std::move(session_);
  }
  session.reset();  // joins the capture thread
  frames_->End(0);
}

bool Device::Capturing() const {
  std::lock_guard<std::mutex> lock(sessionMutex_);
  return session_ != nullptr;
}

int WriteText(const std::string& text, void* buffer, int size) {
  if (buffer == nullptr || size < 1) {
    return CNOKHWA_ERR_BAD_ARGUMENT;
  }
  size_t length = text.size();
  if (length > static_cast<size_t>(size) - 1) {
    length = static_cast<size_t>(size) - 1;
    // Never cut a UTF-8 sequence in half: back up over continuation bytes.
    while (length > 0 && (static_cast<unsigned char>(text[length]) & 0xc0) == 0x80) {
      --length;
    }
  }
  char* out = static_cast<char*>(buffer);
  std::memcpy(out, text.data(), length);
  out[length] = '\0';
  return CNOKHWA_OK;
}

}  // namespace cnokhwa
