#include "recording/mp4_writer.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <climits>
#include <memory>
#include <new>

namespace zentri_native {

namespace {

constexpr int kLogWarning = 24;
// The fragmented layout: an index without samples at the start, then a fragment whenever this
// writer asks for one (frag_custom), each with its own base offset (default_base_moof), which
// is what players of growing files expect.
constexpr const char* kFragmentedFlags = "+frag_custom+empty_moov+default_base_moof";
constexpr const char* kFinalizingSuffix = ".finalizing";
constexpr const char* kFinishLabel = "Finalizing the MP4 file";

// FFmpeg takes a name with a colon for a protocol ("a:b.mp4" would not be a file): the file
// protocol is named, so the muxer writes exactly the path this writer renames and truncates.
std::string FileUrl(const std::string& path) {
  return "file:" + path;
}

// Cuts the file back to size bytes. Failing leaves a partial last fragment behind the whole
// ones, which still play; there is nothing better to do then.
void CutFileTo(const std::string& path, int64_t size) {
  if (truncate(path.c_str(), size) != 0) {
    return;
  }
}

struct InputCloser {
  FfmpegApi* api;
  void operator()(AVFormatContext* context) const { api->avformat_close_input(&context); }
};

struct PacketFreer {
  FfmpegApi* api;
  void operator()(AVPacket* packet) const { api->av_packet_free(&packet); }
};

// An output muxer of the regular copy, with its file; closed and freed on every path.
class RegularOutput {
 public:
  explicit RegularOutput(FfmpegApi& api) : api_(api) {}
  ~RegularOutput() {
    if (context_ != nullptr) {
      if (opened_) {
        api_.avio_closep(&context_->pb);
      }
      api_.avformat_free_context(context_);
    }
  }
  RegularOutput(const RegularOutput&) = delete;
  RegularOutput& operator=(const RegularOutput&) = delete;

  AVFormatContext*& context() { return context_; }
  void MarkOpened() { opened_ = true; }
  // Closes the file; FFmpeg's result (negative on failure).
  int Close() {
    opened_ = false;
    return api_.avio_closep(&context_->pb);
  }

 private:
  FfmpegApi& api_;
  AVFormatContext* context_ = nullptr;
  bool opened_ = false;
};

// Everything of a stream's description but its codec headers.
void CopyStreamProperties(const AVCodecParameters& from, AVCodecParameters* to) {
  to->codec_tag = 0;
  to->bit_rate = from.bit_rate;
  to->profile = from.profile;
  to->level = from.level;
  to->width = from.width;
  to->height = from.height;
  to->format = from.format;
  to->sample_aspect_ratio = from.sample_aspect_ratio;
  to->field_order = from.field_order;
  to->color_range = from.color_range;
  to->color_primaries = from.color_primaries;
  to->color_trc = from.color_trc;
  to->color_space = from.color_space;
  to->chroma_location = from.chroma_location;
  to->video_delay = from.video_delay;
}

}  // namespace

std::string FinalizingPath(const std::string& path) {
  const size_t slash = path.rfind('/');
  const std::string directory = slash == std::string::npos ? "" : path.substr(0, slash + 1);
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  const size_t suffixLength = sizeof(".finalizing") - 1;
  if (name.size() + suffixLength > NAME_MAX) {
    name.resize(NAME_MAX - suffixLength);
  }
  return directory + name + kFinalizingSuffix;
}

int64_t RegularIndexBound(uint64_t packets, uint64_t keyframes, int64_t extradataBytes) {
  // The index of one video track holds, besides boxes of fixed size (movie and track headers,
  // edit list, handler, sample description with its colour and aspect boxes, metadata: well
  // below 4 KiB) and the codec headers, at most per packet: a time-to-sample entry (8 bytes), a
  // composition offset (8), a sample size (4), a sample-to-chunk entry (12) and a 64-bit chunk
  // offset (8); and 4 bytes per key frame.
  constexpr uint64_t kFixed = 4096;
  constexpr uint64_t kPerPacket = 40;
  constexpr uint64_t kPerKeyframe = 4;
  constexpr uint64_t kLimit = INT_MAX / 2;
  if (extradataBytes < 0 || static_cast<uint64_t>(extradataBytes) > kLimit ||
      packets > kLimit / (kPerPacket + kPerKeyframe) || keyframes > packets) {
    return 0;
  }
  const uint64_t bound = kFixed + 2 * static_cast<uint64_t>(extradataBytes) + packets * kPerPacket +
                         keyframes * kPerKeyframe;
  return bound > kLimit ? 0 : static_cast<int64_t>(bound);
}

void OwnedFd::Reset(int fd) {
  if (fd_ >= 0) {
    close(fd_);
  }
  fd_ = fd;
}

Mp4Writer::Mp4Writer(FfmpegApi& api, bool regularAlongside)
    : api_(api), regularAlongside_(regularAlongside) {}

Mp4Writer::~Mp4Writer() {
  Abandon();
}

std::string Mp4Writer::Create(const std::string& path) {
  Abandon();
  path_ = path;
  error_.clear();
  committed_ = 0;
  fragmentStart_ = -1;
  fragmentBytes_ = 0;
  packets_ = 0;
  keyframes_ = 0;
  lastDuration_ = 0;
  const int r = api_.avformat_alloc_output_context2(&context_, nullptr, "mp4", path.c_str());
  if (r < 0 || context_ == nullptr) {
    FreeMuxer();
    return FfmpegError(api_, "Creating the MP4 output", r < 0 ? r : AVERROR(ENOMEM));
  }
  return {};
}

bool Mp4Writer::WantsGlobalHeader() const {
  return context_ != nullptr && (context_->oformat->flags & AVFMT_GLOBALHEADER) != 0;
}

std::string Mp4Writer::Open(const AVCodecContext& encoder) {
  if (context_ == nullptr) {
    return "The FFmpeg recording session is not running";
  }
  stream_ = api_.avformat_new_stream(context_, nullptr);
  if (stream_ == nullptr) {
    Abandon();
    return "Could not create the MP4 video stream";
  }
  stream_->time_base = encoder.time_base;
  int r = api_.avcodec_parameters_from_context(stream_->codecpar, &encoder);
  if (r < 0) {
    Abandon();
    return FfmpegError(api_, "Configuring the MP4 stream", r);
  }
  stream_->codecpar->codec_tag = 0;
  if (!(context_->oformat->flags & AVFMT_NOFILE)) {
    r = api_.avio_open(&context_->pb, FileUrl(path_).c_str(), AVIO_FLAG_WRITE);
    if (r < 0) {
      Abandon();
      return FfmpegError(api_, "Opening the MP4 output", r);
    }
    fileOpened_ = true;
  }
  AVDictionary* options = nullptr;
  api_.av_dict_set(&options, "movflags", kFragmentedFlags, 0);
  r = api_.avformat_write_header(context_, &options);
  api_.av_dict_free(&options);
  if (r < 0) {
    Abandon();
    return FfmpegError(api_, "Writing the MP4 header", r);
  }
  started_ = true;
  // The header alone is already a valid (empty) file.
  api_.avio_flush(context_->pb);
  if (context_->pb->error < 0) {
    const int code = context_->pb->error;
    Abandon();
    return FfmpegError(api_, "Writing the MP4 header", code);
  }
  committed_ = context_->pb->pos;
  held_ = api_.av_packet_alloc();
  if (held_ == nullptr) {
    Abandon();
    return FfmpegError(api_, "Writing the MP4 header", AVERROR(ENOMEM));
  }
  pageFd_.Reset(open(path_.c_str(), O_RDONLY | O_CLOEXEC));
  OpenRegular(encoder);
  return {};
}

// The regular copy: the file recordings always were, written as they always were. It has no
// name while it grows (an unnamed file in the recording's directory, reached through
// /proc/self/fd): a process that dies leaves nothing of it behind, and nothing but the
// recording shows in the directory. Where the file system cannot make unnamed files it is the
// file FinalizingPath names. Without it (it cannot be created) the recording goes on; Finish
// then makes it from the fragmented file.
bool Mp4Writer::OpenRegular(const AVCodecContext& encoder) {
  if (!regularAlongside_) {
    return false;
  }
  const size_t slash = path_.rfind('/');
  const std::string directory =
      slash == std::string::npos ? "." : (slash == 0 ? "/" : path_.substr(0, slash));
  regularFd_.Reset(open(directory.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0666));
  if (regularFd_.get() < 0) {
    // Left by a process that died while recording: not this recording's.
    unlink(FinalizingPath(path_).c_str());
  }
  const std::string url = regularFd_.get() >= 0
                              ? "file:/proc/self/fd/" + std::to_string(regularFd_.get())
                              : FileUrl(FinalizingPath(path_));
  // The muxer reopens the file by this name for its second pass.
  int r = api_.avformat_alloc_output_context2(&regular_, nullptr, "mp4", url.c_str());
  if (r < 0 || regular_ == nullptr) {
    regular_ = nullptr;
    regularFd_.Reset();
    return false;
  }
  regularStream_ = api_.avformat_new_stream(regular_, nullptr);
  if (regularStream_ == nullptr) {
    DropRegular();
    return false;
  }
  regularStream_->time_base = encoder.time_base;
  if (api_.avcodec_parameters_from_context(regularStream_->codecpar, &encoder) < 0) {
    DropRegular();
    return false;
  }
  regularStream_->codecpar->codec_tag = 0;
  // Opened without truncating: on ext4 a file cut to nothing and written again is written back
  // as a whole when it is closed (the file system takes it for a rewritten document), which
  // Finish would wait for.
  AVDictionary* fileOptions = nullptr;
  api_.av_dict_set(&fileOptions, "truncate", "0", 0);
  r = api_.avio_open2(&regular_->pb, url.c_str(), AVIO_FLAG_WRITE, nullptr, &fileOptions);
  api_.av_dict_free(&fileOptions);
  if (r < 0) {
    DropRegular();
    return false;
  }
  regularOpened_ = true;
  AVDictionary* options = nullptr;
  // The index goes in front of the media data so players can start before the whole file.
  api_.av_dict_set(&options, "movflags", "+faststart", 0);
  r = api_.avformat_write_header(regular_, &options);
  api_.av_dict_free(&options);
  if (r < 0) {
    DropRegular();
    return false;
  }
  return true;
}

void Mp4Writer::DropRegular() {
  if (regular_ == nullptr) {
    return;
  }
  if (regularOpened_) {
    api_.avio_closep(&regular_->pb);
    regularOpened_ = false;
  }
  api_.avformat_free_context(regular_);
  regular_ = nullptr;
  regularStream_ = nullptr;
  if (regularFd_.get() >= 0) {
    regularFd_.Reset();  // an unnamed file goes with its last descriptor
  } else {
    unlink(FinalizingPath(path_).c_str());
  }
}

// Gives the finished regular copy its name beside the recording. An unnamed copy is linked
// there, unless the recording itself is gone meanwhile (removed by whoever made it): it is not
// brought back.
std::string Mp4Writer::NameRegular(const std::string& target) {
  if (regularFd_.get() < 0) {
    return {};
  }
  struct stat recording {};
  if (stat(path_.c_str(), &recording) != 0) {
    return FfmpegError(api_, kFinishLabel, AVERROR(errno));
  }
  const std::string self = "/proc/self/fd/" + std::to_string(regularFd_.get());
  if (linkat(AT_FDCWD, self.c_str(), AT_FDCWD, target.c_str(), AT_SYMLINK_FOLLOW) != 0) {
    // Left by a process that died while finishing: not this recording's.
    if (errno != EEXIST || unlink(target.c_str()) != 0 ||
        linkat(AT_FDCWD, self.c_str(), AT_FDCWD, target.c_str(), AT_SYMLINK_FOLLOW) != 0) {
      return FfmpegError(api_, kFinishLabel, AVERROR(errno));
    }
  }
  regularFd_.Reset();
  return {};
}

std::string Mp4Writer::Fail(const std::string& label, int code) {
  if (error_.empty()) {
    error_ = FfmpegError(api_, label, code);
  }
  return error_;
}

std::string Mp4Writer::WritePacket(AVPacket* packet, AVRational timeBase) {
  if (!error_.empty()) {
    return error_;
  }
  if (!started_ || stream_ == nullptr || held_ == nullptr) {
    return "The FFmpeg recording session is not running";
  }
  api_.av_packet_rescale_ts(packet, timeBase, stream_->time_base);
  packet->stream_index = stream_->index;
  if (holding_) {
    const std::string written = WriteHeldPacket(packet->dts);
    if (!written.empty()) {
      return written;
    }
  }
  // The packet waits for its successor (see WriteHeldPacket); the muxer copies what it is given,
  // so a copy of the bytes does.
  try {
    heldData_.assign(packet->data, packet->data + packet->size);
  } catch (const std::bad_alloc&) {
    return Fail("Writing an H.264 packet", AVERROR(ENOMEM));
  }
  held_->data = heldData_.data();
  held_->size = packet->size;
  held_->pts = packet->pts;
  held_->dts = packet->dts;
  held_->duration = packet->duration;
  held_->flags = packet->flags;
  held_->stream_index = stream_->index;
  holding_ = true;
  ++packets_;
  keyframes_ += (packet->flags & AV_PKT_FLAG_KEY) != 0 ? 1 : 0;
  lastDuration_ = packet->duration;

  if (regular_ != nullptr) {
    // Both muxers take the stream's time base from the encoder; the packet is left as given.
    const AVRational from = stream_->time_base;
    const AVRational to = regularStream_->time_base;
    const int64_t pts = packet->pts, dts = packet->dts, duration = packet->duration;
    const bool rescale = from.num != to.num || from.den != to.den;
    if (rescale) {
      api_.av_packet_rescale_ts(packet, from, to);
    }
    packet->stream_index = regularStream_->index;
    const int written = api_.av_write_frame(regular_, packet);
    packet->stream_index = stream_->index;
    if (rescale) {
      packet->pts = pts;
      packet->dts = dts;
      packet->duration = duration;
    }
    if (written < 0 || regular_->pb->error < 0) {
      // Most likely the disk is full: the copy goes, which frees its space for the recording.
      DropRegular();
    }
  }
  return {};
}

// The fragmented file gets each packet once the next one is known (nextDts; AV_NOPTS_VALUE at
// the end). The last frame of a fragment lasts its packet's duration, and the next fragment
// starts where that ends: a duration rescaled on its own can be a tick off the next frame's
// rescaled time, which would shift every later frame. Given the distance to the next packet, the
// fragments keep every frame at its time.
std::string Mp4Writer::WriteHeldPacket(int64_t nextDts) {
  if (nextDts != AV_NOPTS_VALUE && nextDts > held_->dts) {
    held_->duration = nextDts - held_->dts;
  }
  if (fragmentStart_ < 0) {
    fragmentStart_ = held_->pts;
  }
  const int64_t end = held_->pts + held_->duration;
  // One stream: nothing to interleave, and a fragment cut right after this call holds it.
  const int r = api_.av_write_frame(context_, held_);
  holding_ = false;
  if (r < 0) {
    return Fail("Writing an H.264 packet", r);
  }
  fragmentBytes_ += held_->size;
  const int64_t fragmentTicks =
      api_.av_rescale_q(kFragmentSeconds, AVRational{1, 1}, stream_->time_base);
  if (end - fragmentStart_ >= fragmentTicks) {
    return CutFragment();
  }
  return {};
}

// The muxer writes the fragment into its I/O buffer; the flush hands all of it to the kernel,
// where it survives the death of this process.
std::string Mp4Writer::CutFragment() {
  MakeRoomForFragment();
  const int r = api_.av_write_frame(context_, nullptr);
  if (r < 0) {
    return Fail("Writing an H.264 packet", r);
  }
  api_.avio_flush(context_->pb);
  if (context_->pb->error < 0) {
    return Fail("Writing an H.264 packet", context_->pb->error);
  }
  committed_ = context_->pb->pos;
  fragmentStart_ = -1;
  fragmentBytes_ = 0;
  ReleaseWrittenPages();
  return {};
}

// The fragmented file comes first: on a disk about to fill up, the regular copy (twice the room
// for the same video) goes before a fragment could fail to fit. Finish then makes the regular
// file from the fragmented one if the room for it is there by then.
void Mp4Writer::MakeRoomForFragment() {
  constexpr int64_t kMargin = 1 << 20;
  if (regular_ == nullptr) {
    return;
  }
  struct statvfs disk {};
  if (statvfs(path_.c_str(), &disk) != 0) {
    return;
  }
  const uint64_t available = static_cast<uint64_t>(disk.f_bavail) * disk.f_frsize;
  if (available < 4 * static_cast<uint64_t>(fragmentBytes_) + kMargin) {
    DropRegular();
  }
}

// The fragmented file is read back only after a failure. Its pages leave the page cache once the
// kernel has had time to write them back (40 s after they were written; it writes dirty data back
// after 30 s): a recording's worth of cached pages would double the memory a recording takes, and
// would make the removal of the fragmented file at the end cost as much as writing it.
void Mp4Writer::ReleaseWrittenPages() {
  constexpr size_t kKeptFragments = 40;
  constexpr uint64_t kReleaseEvery = 5;
  recentCommits_.push_back(committed_);
  if (recentCommits_.size() <= kKeptFragments) {
    return;
  }
  const int64_t releasable = recentCommits_.front();
  recentCommits_.pop_front();
  if (++cuts_ % kReleaseEvery == 0 && pageFd_.get() >= 0) {
    posix_fadvise(pageFd_.get(), 0, releasable, POSIX_FADV_DONTNEED);
  }
}

std::string Mp4Writer::Finish() {
  if (!started_) {
    Abandon();
    return error_;
  }
  if (!error_.empty()) {
    const std::string error = error_;
    Abandon();
    return error;
  }
  const std::string target = FinalizingPath(path_);
  if (regular_ != nullptr) {
    // The regular copy first: if the disk is too full for its index, removing it frees the
    // room the fragmented file's last fragment needs.
    std::string failure = FinishRegular();
    if (failure.empty()) {
      failure = NameRegular(target);
    }
    if (failure.empty()) {
      failure = ReplaceWith(target);
    }
    if (failure.empty()) {
      // The fragmented file is no longer at the path: closed, never cut.
      if (fileOpened_) {
        api_.avio_closep(&context_->pb);
        fileOpened_ = false;
      }
      FreeMuxer();
      return {};
    }
    if (regularFd_.get() >= 0) {
      regularFd_.Reset();
    } else {
      unlink(target.c_str());
    }
  }

  std::string failure = holding_ ? WriteHeldPacket(AV_NOPTS_VALUE) : std::string();
  if (failure.empty()) {
    failure = FinishFragmented();
  }
  if (!failure.empty()) {
    if (fileOpened_) {
      api_.avio_closep(&context_->pb);
      fileOpened_ = false;
      CutFileTo(path_, committed_);
    }
    error_ = failure;
    FreeMuxer();
    return failure;
  }
  int code = 0;
  failure = WriteRegularCopy(target, true, &code);
  if (!failure.empty() && code == AVERROR(EINVAL)) {
    // The index did not fit the room kept for it: the muxer's second pass moves it instead.
    failure = WriteRegularCopy(target, false, &code);
  }
  if (failure.empty()) {
    failure = ReplaceWith(target);
  }
  if (!failure.empty()) {
    unlink(target.c_str());
    error_ = failure;
  }
  FreeMuxer();
  return failure;
}

// The finished file takes the recording's place in one step: at every moment the path holds
// either the fragmented file or the regular one. The two names are exchanged, then the old file
// is removed: a plain rename over it would make ext4 start writing back all of the new file at
// once (it assumes an application that replaces a file wants it durable), which Stop would wait
// for; written back in the kernel's own time the data is no less safe than before (the
// fragmented file reached the disk the same way).
std::string Mp4Writer::ReplaceWith(const std::string& finished) {
  if (renameat2(AT_FDCWD, finished.c_str(), AT_FDCWD, path_.c_str(), RENAME_EXCHANGE) == 0) {
    unlink(finished.c_str());
    return {};
  }
  // Only a file system that cannot exchange names gets the plain rename: a recording that is no
  // longer at its path (removed by whoever made it) is not brought back.
  if ((errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) ||
      rename(finished.c_str(), path_.c_str()) != 0) {
    return FfmpegError(api_, kFinishLabel, AVERROR(errno));
  }
  return {};
}

// The index of the regular copy, moved in front of its media data; the file closed.
std::string Mp4Writer::FinishRegular() {
  std::string failure;
  int r;
  {
    ScopedFfmpegLogLevel warnings(api_, kLogWarning);
    r = api_.av_write_trailer(regular_);
  }
  if (r < 0) {
    failure = FfmpegError(api_, kFinishLabel, r);
  }
  regularOpened_ = false;
  r = api_.avio_closep(&regular_->pb);
  if (r < 0 && failure.empty()) {
    failure = FfmpegError(api_, "Closing the MP4 file", r);
  }
  api_.avformat_free_context(regular_);
  regular_ = nullptr;
  regularStream_ = nullptr;
  return failure;
}

// The last fragment and the random-access index of the fragmented file, which is closed. On
// failure whatever part of them reached the file is cut off again: whole fragments stay.
std::string Mp4Writer::FinishFragmented() {
  std::string failure;
  int r;
  {
    ScopedFfmpegLogLevel warnings(api_, kLogWarning);
    r = api_.av_write_trailer(context_);
  }
  if (r < 0) {
    failure = FfmpegError(api_, kFinishLabel, r);
  } else {
    api_.avio_flush(context_->pb);
    if (context_->pb->error < 0) {
      failure = FfmpegError(api_, kFinishLabel, context_->pb->error);
    } else {
      committed_ = context_->pb->pos;
    }
  }
  if (fileOpened_) {
    r = api_.avio_closep(&context_->pb);
    fileOpened_ = false;
    if (r < 0 && failure.empty()) {
      failure = FfmpegError(api_, "Closing the MP4 file", r);
    }
  }
  if (!failure.empty()) {
    CutFileTo(path_, committed_);
  }
  return failure;
}

// Reads the fragmented file back and writes its packets, unchanged, as a regular MP4 whose
// index precedes the media data: with reserveIndex, into room kept for it at the start (one
// pass), otherwise by the muxer's own second pass over the file.
std::string Mp4Writer::WriteRegularCopy(const std::string& target, bool reserveIndex,
                                        int* failureCode) {
  auto fail = [&](int r) {
    *failureCode = r;
    return FfmpegError(api_, kFinishLabel, r);
  };
  ScopedFfmpegLogLevel warnings(api_, kLogWarning);
  AVFormatContext* inputContext = nullptr;
  int r = api_.avformat_open_input(&inputContext, FileUrl(path_).c_str(), nullptr, nullptr);
  if (r < 0) {
    return fail(r);
  }
  std::unique_ptr<AVFormatContext, InputCloser> input(inputContext, InputCloser{&api_});
  if (input->nb_streams != 1) {
    return fail(AVERROR_INVALIDDATA);
  }
  const AVRational inputTimeBase = input->streams[0]->time_base;

  RegularOutput output(api_);
  unlink(target.c_str());  // a new file, not one cut down (see OpenRegular)
  r = api_.avformat_alloc_output_context2(&output.context(), nullptr, "mp4", target.c_str());
  if (r < 0 || output.context() == nullptr) {
    return fail(r < 0 ? r : AVERROR(ENOMEM));
  }
  AVStream* stream = api_.avformat_new_stream(output.context(), nullptr);
  if (stream == nullptr) {
    return fail(AVERROR(ENOMEM));
  }
  // The codec headers as stored (length-prefixed, like the packets read back: the encoder's
  // own may be start-code delimited, which the muxer would convert the packets from); every
  // other property as the recording described it.
  stream->time_base = stream_->time_base;
  r = api_.avcodec_parameters_copy(stream->codecpar, input->streams[0]->codecpar);
  if (r < 0) {
    return fail(r);
  }
  CopyStreamProperties(*stream_->codecpar, stream->codecpar);
  r = api_.avio_open(&output.context()->pb, FileUrl(target).c_str(), AVIO_FLAG_WRITE);
  if (r < 0) {
    return fail(r);
  }
  output.MarkOpened();
  AVDictionary* options = nullptr;
  const int64_t indexBound =
      reserveIndex ? RegularIndexBound(packets_, keyframes_, stream_->codecpar->extradata_size) : 0;
  if (indexBound > 0) {
    api_.av_dict_set(&options, "moov_size", std::to_string(indexBound).c_str(), 0);
  } else {
    api_.av_dict_set(&options, "movflags", "+faststart", 0);
  }
  r = api_.avformat_write_header(output.context(), &options);
  api_.av_dict_free(&options);
  if (r < 0) {
    return fail(r);
  }
  std::unique_ptr<AVPacket, PacketFreer> packet(api_.av_packet_alloc(), PacketFreer{&api_});
  if (!packet) {
    return fail(AVERROR(ENOMEM));
  }
  uint64_t copied = 0;
  for (;;) {
    r = api_.av_read_frame(input.get(), packet.get());
    if (r == AVERROR_EOF) {
      break;
    }
    if (r < 0) {
      return fail(r);
    }
    api_.av_packet_rescale_ts(packet.get(), inputTimeBase, stream->time_base);
    packet->stream_index = stream->index;
    packet->pos = -1;
    if (copied + 1 == packets_) {
      // Read back, a fragment's last duration is the track's default, not the one written. The
      // regular index takes every other duration from the next packet's time; the last one
      // comes from here.
      packet->duration = api_.av_rescale_q(lastDuration_, stream_->time_base, stream->time_base);
    }
    r = api_.av_write_frame(output.context(), packet.get());
    api_.av_packet_unref(packet.get());
    if (r < 0) {
      return fail(r);
    }
    ++copied;
  }
  if (copied != packets_) {
    // The fragmented file does not read back as written: it stays, untouched.
    return fail(AVERROR_INVALIDDATA);
  }
  r = api_.av_write_trailer(output.context());
  if (r < 0) {
    return fail(r);
  }
  r = output.Close();
  if (r < 0) {
    return fail(r);
  }
  return {};
}

void Mp4Writer::Abandon() {
  DropRegular();
  if (context_ == nullptr) {
    return;
  }
  if (fileOpened_) {
    api_.avio_closep(&context_->pb);
    fileOpened_ = false;
    if (started_) {
      CutFileTo(path_, committed_);
    }
  }
  FreeMuxer();
}

void Mp4Writer::FreeMuxer() {
  pageFd_.Reset();
  if (held_ != nullptr) {
    held_->data = nullptr;  // the bytes are heldData_'s
    held_->size = 0;
    api_.av_packet_free(&held_);
  }
  holding_ = false;
  recentCommits_.clear();
  cuts_ = 0;
  if (context_ != nullptr) {
    api_.avformat_free_context(context_);
    context_ = nullptr;
  }
  stream_ = nullptr;
  started_ = false;
  fragmentStart_ = -1;
}

}  // namespace zentri_native
