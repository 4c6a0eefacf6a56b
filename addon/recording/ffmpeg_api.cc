#include "recording/ffmpeg_api.h"

#include <dlfcn.h>
#include <link.h>

#include <cstdio>
#include <cstdlib>

namespace zentri_native {

namespace {

// Its address tells dladdr which file holds this code (the addon or encworker), so that a copy
// of FFmpeg shipped beside the application is found before the system's.
const char kBackendLibraryMarker = 0;

#define ZN_STRINGIFY_INNER(x) #x
#define ZN_STRINGIFY(x) ZN_STRINGIFY_INNER(x)

// The majors come from the headers this file is compiled with: the libraries, their symbol
// version tags and the run-time version check all follow from them.
constexpr int kUtilMajor = LIBAVUTIL_VERSION_MAJOR;
constexpr int kCodecMajor = LIBAVCODEC_VERSION_MAJOR;
constexpr int kFormatMajor = LIBAVFORMAT_VERSION_MAJOR;
constexpr const char* kUtilTag = "LIBAVUTIL_" ZN_STRINGIFY(LIBAVUTIL_VERSION_MAJOR);
constexpr const char* kCodecTag = "LIBAVCODEC_" ZN_STRINGIFY(LIBAVCODEC_VERSION_MAJOR);
constexpr const char* kFormatTag = "LIBAVFORMAT_" ZN_STRINGIFY(LIBAVFORMAT_VERSION_MAJOR);

// DEEPBIND keeps FFmpeg's own symbols ahead of same-named ones already in the process. The
// sanitizer runtimes refuse it (they must interpose every call), so sanitized test builds open
// FFmpeg with plain RTLD_NOW.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int kFfmpegOpenFlags = RTLD_NOW;
#else
constexpr int kFfmpegOpenFlags = RTLD_NOW | RTLD_DEEPBIND;
#endif

constexpr const char* kFfmpegFamilyPrefixes[] = {
    "libavcodec.so",  "libavformat.so",   "libavutil.so",  "libavfilter.so",
    "libavdevice.so", "libswresample.so", "libswscale.so", "libpostproc.so",
};

std::string LoaderErrorOr(const char* fallback) {
  const char* why = dlerror();
  return why != nullptr ? std::string(why) : std::string(fallback);
}

}  // namespace

std::string FfmpegUtilFileName() {
  return "libavutil.so." + std::to_string(kUtilMajor);
}
std::string FfmpegCodecFileName() {
  return "libavcodec.so." + std::to_string(kCodecMajor);
}
std::string FfmpegFormatFileName() {
  return "libavformat.so." + std::to_string(kFormatMajor);
}

FfmpegApi& FfmpegApi::Instance() {
  static FfmpegApi instance;
  return instance;
}

void FfmpegApi::Load() {
  std::call_once(once_, [this] { LoadOnce(); });
}

std::string JoinPath(const std::string& directory, const std::string& name) {
  if (directory.empty()) {
    return name;
  }
  if (directory.back() == '/') {
    return directory + name;
  }
  return directory + "/" + name;
}

bool IsFfmpegFamilyLibrary(const std::string& baseName) {
  for (const char* prefix : kFfmpegFamilyPrefixes) {
    if (baseName.rfind(prefix, 0) == 0) {
      return true;
    }
  }
  return false;
}

std::string FfmpegError(const FfmpegApi& api, const std::string& label, int code) {
  char text[64] = {0};
  if (api.av_strerror != nullptr && api.av_strerror(code, text, sizeof(text)) >= 0) {
    text[sizeof(text) - 1] = '\0';
    return label + " failed: " + text;
  }
  std::snprintf(text, sizeof(text), "error %d", code);
  return label + " failed: " + text;
}

void FfmpegApi::LoadOnce() {
  const std::string util = FfmpegUtilFileName();
  const std::string codec = FfmpegCodecFileName();
  const std::string format = FfmpegFormatFileName();
  const std::string names = util + ", " + codec + ", " + format;

  const char* forcedDir = std::getenv("ZENTRI_FFMPEG_LIBRARY_DIR");
  if (forcedDir != nullptr && forcedDir[0] != '\0') {
    // An explicit directory is the only place searched.
    if (!OpenLibrarySet(forcedDir, util, codec, format)) {
      error = std::string("Could not load version-matched FFmpeg libraries from ") + forcedDir +
              ": " + openError;
      return;
    }
  } else {
    bool opened = false;
    Dl_info info{};
    if (dladdr(&kBackendLibraryMarker, &info) != 0 && info.dli_fname != nullptr) {
      const std::string self = info.dli_fname;
      const size_t slash = self.rfind('/');
      if (slash != std::string::npos) {
        const std::string bundled = self.substr(0, slash) + "/../../natives/" + "x64";
        opened = OpenLibrarySet(bundled, util, codec, format);
      }
    }
    if (!opened && !OpenLibrarySet("", util, codec, format)) {
      error = "Could not load version-matched FFmpeg libraries (" + names + "): " + openError;
      return;
    }
  }
  if (avutil_ == nullptr || avcodec_ == nullptr || avformat_ == nullptr) {
    error = "Could not load version-matched FFmpeg libraries (" + names + ")";
    return;
  }
  if (!BindAll()) {
    return;
  }
  if ((avcodec_version() >> 16) != static_cast<unsigned>(kCodecMajor) ||
      (avformat_version() >> 16) != static_cast<unsigned>(kFormatMajor) ||
      (avutil_version() >> 16) != static_cast<unsigned>(kUtilMajor)) {
    error = "FFmpeg runtime ABI does not match the build headers";
    return;
  }
  loaded = true;
}

bool FfmpegApi::OpenLibrarySet(const std::string& directory, const std::string& utilName,
                               const std::string& codecName, const std::string& formatName) {
  dlerror();
  const std::string utilPath = JoinPath(directory, utilName);
  const std::string codecPath = JoinPath(directory, codecName);
  const std::string formatPath = JoinPath(directory, formatName);

  if (!PreloadNonFfmpegDependencies(utilPath)) {
    openError = LoaderErrorOr("could not initialize FFmpeg dependencies");
    return false;
  }
  avutil_ = dlopen(utilPath.c_str(), kFfmpegOpenFlags);
  if (avutil_ != nullptr && PreloadNonFfmpegDependencies(codecPath)) {
    avcodec_ = dlopen(codecPath.c_str(), kFfmpegOpenFlags);
    if (avcodec_ != nullptr && PreloadNonFfmpegDependencies(formatPath)) {
      avformat_ = dlopen(formatPath.c_str(), kFfmpegOpenFlags);
    }
  }
  if (avutil_ != nullptr && avcodec_ != nullptr && avformat_ != nullptr) {
    return true;
  }
  openError = LoaderErrorOr("library not found");
  for (void** handle : {&avformat_, &avcodec_, &avutil_}) {
    if (*handle != nullptr) {
      dlclose(*handle);
      *handle = nullptr;
    }
  }
  return false;
}

bool FfmpegApi::PreloadNonFfmpegDependencies(const std::string& libraryPath) {
  void* probe = dlopen(libraryPath.c_str(), RTLD_NOW);
  if (probe == nullptr) {
    return false;
  }
  link_map* self = nullptr;
  if (dlinfo(probe, RTLD_DI_LINKMAP, &self) != 0 || self == nullptr) {
    dlclose(probe);
    return false;
  }
  // Everything the dynamic loader mapped after this library is what it pulled in; FFmpeg's own
  // libraries are opened later with DEEPBIND, the rest now without it.
  std::vector<std::string> wanted;
  for (const link_map* entry = self->l_next; entry != nullptr; entry = entry->l_next) {
    if (entry->l_name == nullptr || entry->l_name[0] == '\0') {
      continue;
    }
    const std::string fullName = entry->l_name;
    const size_t slash = fullName.rfind('/');
    const std::string baseName = slash == std::string::npos ? fullName : fullName.substr(slash + 1);
    if (!IsFfmpegFamilyLibrary(baseName)) {
      wanted.push_back(fullName);
    }
  }
  for (const std::string& name : wanted) {
    if (void* handle = dlopen(name.c_str(), RTLD_NOW)) {
      dependencies_.push_back(handle);
    }
  }
  dlclose(probe);
  return true;
}

template <typename F>
bool FfmpegApi::Require(void* handle, const char* name, F* slot) {
  const char* tag = handle == avcodec_ ? kCodecTag : handle == avformat_ ? kFormatTag : kUtilTag;
  dlerror();
  void* symbol = dlvsym(handle, name, tag);
  if (symbol == nullptr || dlerror() != nullptr) {
    dlerror();
    symbol = dlsym(handle, name);
    if (dlerror() != nullptr) {
      symbol = nullptr;
    }
  }
  if (symbol == nullptr) {
    *slot = nullptr;
    error = std::string("FFmpeg runtime is missing symbol ") + name;
    return false;
  }
  *slot = reinterpret_cast<F>(symbol);
  return true;
}

bool FfmpegApi::BindAll() {
#define ZN_REQUIRE(handle, fn)    \
  if (!Require(handle, #fn, &fn)) \
  return false
  ZN_REQUIRE(avcodec_, avcodec_version);
  ZN_REQUIRE(avcodec_, avcodec_find_encoder_by_name);
  ZN_REQUIRE(avcodec_, avcodec_find_encoder);
  ZN_REQUIRE(avcodec_, avcodec_alloc_context3);
  ZN_REQUIRE(avcodec_, avcodec_free_context);
  ZN_REQUIRE(avcodec_, avcodec_open2);
  ZN_REQUIRE(avcodec_, avcodec_parameters_from_context);
  ZN_REQUIRE(avcodec_, avcodec_send_frame);
  ZN_REQUIRE(avcodec_, avcodec_receive_packet);
  ZN_REQUIRE(avcodec_, av_packet_alloc);
  ZN_REQUIRE(avcodec_, av_packet_free);
  ZN_REQUIRE(avcodec_, av_packet_unref);
  ZN_REQUIRE(avcodec_, av_packet_rescale_ts);
  ZN_REQUIRE(avcodec_, avcodec_parameters_copy);
  ZN_REQUIRE(avformat_, avformat_version);
  ZN_REQUIRE(avformat_, avformat_alloc_output_context2);
  ZN_REQUIRE(avformat_, avformat_new_stream);
  ZN_REQUIRE(avformat_, avformat_write_header);
  ZN_REQUIRE(avformat_, av_interleaved_write_frame);
  ZN_REQUIRE(avformat_, av_write_trailer);
  ZN_REQUIRE(avformat_, avformat_free_context);
  ZN_REQUIRE(avformat_, avio_open);
  ZN_REQUIRE(avformat_, avio_closep);
  ZN_REQUIRE(avformat_, av_write_frame);
  ZN_REQUIRE(avformat_, avio_flush);
  ZN_REQUIRE(avformat_, avformat_open_input);
  ZN_REQUIRE(avformat_, avformat_close_input);
  ZN_REQUIRE(avformat_, av_read_frame);
  ZN_REQUIRE(avformat_, avio_open2);
  ZN_REQUIRE(avutil_, avutil_version);
  ZN_REQUIRE(avutil_, av_strerror);
  ZN_REQUIRE(avutil_, av_frame_alloc);
  ZN_REQUIRE(avutil_, av_frame_free);
  ZN_REQUIRE(avutil_, av_frame_get_buffer);
  ZN_REQUIRE(avutil_, av_frame_make_writable);
  ZN_REQUIRE(avutil_, av_dict_set);
  ZN_REQUIRE(avutil_, av_dict_free);
  ZN_REQUIRE(avutil_, av_opt_set);
  ZN_REQUIRE(avutil_, av_rescale_q);
  ZN_REQUIRE(avutil_, av_buffer_ref);
  ZN_REQUIRE(avutil_, av_buffer_unref);
  ZN_REQUIRE(avutil_, av_hwdevice_ctx_create);
  ZN_REQUIRE(avutil_, av_hwframe_ctx_alloc);
  ZN_REQUIRE(avutil_, av_hwframe_ctx_init);
  ZN_REQUIRE(avutil_, av_hwframe_get_buffer);
  ZN_REQUIRE(avutil_, av_hwframe_transfer_data);
  ZN_REQUIRE(avutil_, av_log_get_level);
  ZN_REQUIRE(avutil_, av_log_set_level);
#undef ZN_REQUIRE
  return true;
}

}  // namespace zentri_native
