#include "recording/ffmpeg_api.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace zentri_native {
namespace {

const std::string kFakeDir = ZENTRI_FAKE_FFMPEG_DIR;

// Loading is once per process, so every load scenario runs in a child process of its own. The
// child exits 0 when the outcome is the expected one and prints what it saw otherwise.
void ExpectLoadOutcome(const char* libraryDir, bool expectLoaded, const std::string& expectError) {
  EXPECT_EXIT(
      {
        if (libraryDir != nullptr) {
          setenv("ZENTRI_FFMPEG_LIBRARY_DIR", libraryDir, 1);
        } else {
          unsetenv("ZENTRI_FFMPEG_LIBRARY_DIR");
        }
        FfmpegApi& api = FfmpegApi::Instance();
        api.Load();
        const bool ok = api.loaded == expectLoaded && api.error == expectError;
        if (!ok) {
          std::fprintf(stderr, "loaded=%d error=\"%s\"\n", api.loaded, api.error.c_str());
        }
        std::exit(ok ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(FfmpegApi, LoadsTheSystemFfmpegAndBindsEverything) {
  EXPECT_EXIT(
      {
        unsetenv("ZENTRI_FFMPEG_LIBRARY_DIR");
        FfmpegApi& api = FfmpegApi::Instance();
        // Several threads asking at once: one loads, the others wait for its outcome.
        std::vector<std::thread> threads;
        for (int i = 0; i < 4; ++i) {
          threads.emplace_back([&api] { api.Load(); });
        }
        for (auto& thread : threads) {
          thread.join();
        }
        int failures = 0;
        auto check = [&failures](bool condition, const char* what) {
          if (!condition) {
            std::fprintf(stderr, "failed: %s\n", what);
            ++failures;
          }
        };
        check(api.loaded, "loaded");
        check(api.error.empty(), api.error.c_str());
        check(api.avcodec_version != nullptr && api.av_log_set_level != nullptr &&
                  api.avio_closep != nullptr && api.av_hwframe_transfer_data != nullptr,
              "bound pointers");
        if (api.loaded) {
          check((api.avcodec_version() >> 16) == LIBAVCODEC_VERSION_MAJOR, "codec major");
          check(api.avcodec_find_encoder_by_name("libx264") != nullptr, "libx264 present");
          check(FfmpegError(api, "Opening encoder", AVERROR(EINVAL)) ==
                    "Opening encoder failed: Invalid argument",
                "error text from av_strerror");
        }
        std::exit(failures == 0 ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(FfmpegApi, ExplicitDirectoryIsTheOnlyPlaceSearched) {
  const std::string empty = kFakeDir + "/empty";
  // The system has a working FFmpeg, yet nothing outside the named directory is tried.
  ExpectLoadOutcome(empty.c_str(), false,
                    "Could not load version-matched FFmpeg libraries from " + empty + ": " + empty +
                        "/" + FfmpegUtilFileName() +
                        ": cannot open shared object file: No such file or directory");
}

TEST(FfmpegApi, RefusesAnotherMajorAndAMissingSymbol) {
  ExpectLoadOutcome((kFakeDir + "/abi").c_str(), false,
                    "FFmpeg runtime ABI does not match the build headers");
  ExpectLoadOutcome((kFakeDir + "/missing").c_str(), false,
                    "FFmpeg runtime is missing symbol av_hwframe_transfer_data");
}

TEST(FfmpegApi, EmptyDirectoryVariableMeansTheUsualSearch) {
  ExpectLoadOutcome("", true, "");
}

TEST(FfmpegError, FallsBackToTheCodeWhenFfmpegIsNotLoaded) {
  // This process never loads FFmpeg, so av_strerror is not bound.
  EXPECT_EQ(FfmpegError(FfmpegApi::Instance(), "Writing header", -22),
            "Writing header failed: error -22");
}

TEST(JoinPath, JoinsWithExactlyOneSlash) {
  EXPECT_EQ(JoinPath("", "libavutil.so.57"), "libavutil.so.57");
  EXPECT_EQ(JoinPath("/opt/ff/", "x"), "/opt/ff/x");
  EXPECT_EQ(JoinPath("/opt/ff", "x"), "/opt/ff/x");
}

TEST(IsFfmpegFamilyLibrary, MatchesByPrefixOnly) {
  for (const char* name : {"libavcodec.so.59", "libavutil.so.57", "libswscale.so.6",
                           "libswresample.so.4", "libpostproc.so.56", "libavdevice.so.59"}) {
    EXPECT_TRUE(IsFfmpegFamilyLibrary(name)) << name;
  }
  for (const char* name :
       {"libx264.so.164", "libva.so.2", "libc.so.6", "avcodec.so", "liblibavcodec.so"}) {
    EXPECT_FALSE(IsFfmpegFamilyLibrary(name)) << name;
  }
}

}  // namespace
}  // namespace zentri_native

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  // Re-executing for each child keeps the parent's state (and threads) out of the children.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  return RUN_ALL_TESTS();
}
