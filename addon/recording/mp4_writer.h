// The MP4 file of one recording. While the recording runs the file at its path is a fragmented
// MP4 (an initial empty index, then one movie fragment at least every second of video, each
// handed to the kernel as soon as it is complete), so a process killed at any moment leaves a
// playable file that lacks at most the last second (and a frame). Beside it, the same packets go
// into the regular MP4 (".finalizing"), written as recordings always were: when the recording ends
// normally its index is written and moved in front of the media data ("+faststart"), and it
// replaces the fragmented file. (It has no name until then, where the file system allows.) Until
// that replacement the fragmented file stays as it is, so a failure while finishing (a full disk)
// loses nothing; without the regular copy (it could not be written) it is made from the fragmented
// file at the end instead.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "recording/ffmpeg_api.h"

namespace zentri_native {

// A file descriptor with one owner: closed when replaced or destroyed.
class OwnedFd {
 public:
  OwnedFd() = default;
  ~OwnedFd() { Reset(); }
  OwnedFd(const OwnedFd&) = delete;
  OwnedFd& operator=(const OwnedFd&) = delete;
  void Reset(int fd = -1);
  int get() const { return fd_; }

 private:
  int fd_ = -1;
};

class Mp4Writer {
 public:
  // At least this much video (in seconds) goes into each fragment; a fragment is cut after the
  // packet that reaches it.
  static constexpr int kFragmentSeconds = 1;

  // regularAlongside false: no regular copy while recording; Finish makes the regular file from
  // the fragmented one (what happens anyway when the copy cannot be written). For measurements
  // and tests.
  explicit Mp4Writer(FfmpegApi& api, bool regularAlongside = true);
  ~Mp4Writer();  // Abandon()
  Mp4Writer(const Mp4Writer&) = delete;
  Mp4Writer& operator=(const Mp4Writer&) = delete;

  // Sets up the MP4 muxer for path (nothing is written yet). Error step: "Creating the MP4
  // output".
  std::string Create(const std::string& path);
  // Whether the muxer keeps codec headers out of the packets (AV_CODEC_FLAG_GLOBAL_HEADER).
  bool WantsGlobalHeader() const;
  // Adds the H.264 stream of the opened encoder (its time base, parameters and colour tags),
  // opens the file and writes the header; starts the regular copy beside it.
  std::string Open(const AVCodecContext& encoder);
  // Writes one packet whose times are in timeBase (its duration set); cuts a fragment once the
  // current one holds kFragmentSeconds of video. The packet stays the caller's.
  std::string WritePacket(AVPacket* packet, AVRational timeBase);
  // The normal end: the regular file is finished and replaces the fragmented one. On failure
  // the fragmented file stays at the path (with its last fragment; whole fragments only) and
  // the error is returned. A writer that failed before returns that first error again.
  std::string Finish();
  // The abnormal end: closes the file without finishing it, keeping only whole fragments.
  void Abandon();

  bool started() const { return started_; }
  uint64_t packetsWritten() const { return packets_; }
  // Bytes of the fragmented file known to be complete (header and whole fragments).
  int64_t committedBytes() const { return committed_; }

 private:
  std::string WriteHeldPacket(int64_t nextDts);
  std::string CutFragment();
  void MakeRoomForFragment();
  void ReleaseWrittenPages();
  std::string Fail(const std::string& label, int code);
  std::string FinishFragmented();
  bool OpenRegular(const AVCodecContext& encoder);
  std::string FinishRegular();
  std::string NameRegular(const std::string& target);
  std::string ReplaceWith(const std::string& finished);
  void DropRegular();
  std::string WriteRegularCopy(const std::string& target, bool reserveIndex, int* failureCode);
  void FreeMuxer();

  FfmpegApi& api_;
  std::string path_;
  AVFormatContext* context_ = nullptr;
  AVStream* stream_ = nullptr;
  bool fileOpened_ = false;
  bool started_ = false;
  std::string error_;  // the first write failure; nothing more is written after it
  int64_t committed_ = 0;
  int64_t fragmentStart_ = -1;  // stream time base; -1 while the current fragment is empty
  int64_t fragmentBytes_ = 0;   // packet bytes in the current fragment
  uint64_t packets_ = 0;
  uint64_t keyframes_ = 0;
  int64_t lastDuration_ = 0;  // stream time base
  // The packet that waits for its successor before it goes into the fragmented file.
  AVPacket* held_ = nullptr;
  std::vector<uint8_t> heldData_;
  bool holding_ = false;
  // A descriptor of the fragmented file for page-cache advice, and where recent fragments end.
  OwnedFd pageFd_;
  std::deque<int64_t> recentCommits_;
  uint64_t cuts_ = 0;

  // The regular copy written alongside; null once it could not be written. regularFd_ holds it
  // while it has no name.
  const bool regularAlongside_;
  AVFormatContext* regular_ = nullptr;
  OwnedFd regularFd_;
  AVStream* regularStream_ = nullptr;
  bool regularOpened_ = false;
};

// The name the regular file has beside the recording just before it replaces it: the file name
// with ".finalizing" appended (cut to fit the file system's limit). Where a file system cannot
// make unnamed files, the regular copy has this name all along, and a process killed while
// recording leaves it behind, unfinished: whoever collects that process removes it.
std::string FinalizingPath(const std::string& path);

// An upper bound of the regular file's index (the moov box) for a stream of this many packets,
// of which keyframes are key frames, with codec headers of extradataBytes: when the regular
// file is made from the fragmented one, room for it is kept in front of the media data, so the
// index needs no second pass over the file. 0 when the bound would not fit the muxer's option
// (the second pass is used then).
int64_t RegularIndexBound(uint64_t packets, uint64_t keyframes, int64_t extradataBytes);

}  // namespace zentri_native
