#include "frame_store.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "cnokhwa.h"

namespace cnokhwa {
namespace {

std::vector<uint8_t> Frame(int width, int height, uint8_t value) {
  return std::vector<uint8_t>(static_cast<size_t>(width) * 3 * height, value);
}

TEST(FrameStore, AnswersFollowTheCaptureState) {
  FrameStore store;
  std::vector<uint8_t> out(24);
  EXPECT_EQ(store.HasFirstFrame(), CNOKHWA_ERR_NOT_STARTED);
  EXPECT_EQ(store.Width(), CNOKHWA_ERR_NOT_STARTED);
  EXPECT_EQ(store.Grab(out.data(), 24), CNOKHWA_ERR_NOT_STARTED);

  const uint64_t token = store.Begin();
  EXPECT_EQ(store.HasFirstFrame(), CNOKHWA_NOT_YET);
  EXPECT_EQ(store.Width(), 0);
  EXPECT_EQ(store.BytesPerRow(), 0);
  EXPECT_EQ(store.Grab(out.data(), 24), CNOKHWA_NOT_YET);

  std::vector<uint8_t> frame = Frame(4, 2, 9);
  store.Publish(token, frame, 4, 2);
  EXPECT_EQ(store.HasFirstFrame(), CNOKHWA_OK);
  EXPECT_EQ(store.Width(), 4);
  EXPECT_EQ(store.Height(), 2);
  EXPECT_EQ(store.BytesPerRow(), 12);
  EXPECT_EQ(store.Grab(out.data(), 24), CNOKHWA_OK);
  EXPECT_EQ(out, Frame(4, 2, 9));

  store.Fail(token, CNOKHWA_ERR_DEVICE_LOST);
  EXPECT_EQ(store.HasFirstFrame(), CNOKHWA_ERR_DEVICE_LOST);
  EXPECT_EQ(store.Height(), CNOKHWA_ERR_DEVICE_LOST);
  EXPECT_EQ(store.Grab(out.data(), 24), CNOKHWA_ERR_DEVICE_LOST);

  store.End(0);
  EXPECT_EQ(store.Grab(out.data(), 24), CNOKHWA_ERR_NOT_STARTED);
  EXPECT_EQ(store.Width(), CNOKHWA_ERR_NOT_STARTED);
}

TEST(FrameStore, AResumedSessionWaitsForItsNextFrame) {
  FrameStore store;
  std::vector<uint8_t> out(24);
  const uint64_t token = store.Begin();
  std::vector<uint8_t> frame = Frame(4, 2, 9);
  store.Publish(token, frame, 4, 2);
  store.Resume(token);
  EXPECT_EQ(store.HasFirstFrame(), CNOKHWA_OK) << "nothing to resume from";

  store.Fail(token, CNOKHWA_ERR_DEVICE_LOST);
  std::vector<uint8_t> lost = Frame(4, 2, 1);
  store.Publish(token, lost, 4, 2);
  EXPECT_EQ(store.HasFirstFrame(), CNOKHWA_ERR_DEVICE_LOST) << "a lost session publishes nothing";
  store.Resume(token + 1);
  EXPECT_EQ(store.HasFirstFrame(), CNOKHWA_ERR_DEVICE_LOST) << "another session's resume";
  store.Resume(token);
  EXPECT_EQ(store.HasFirstFrame(), CNOKHWA_NOT_YET);
  EXPECT_EQ(store.Width(), 0);
  EXPECT_EQ(store.Grab(out.data(), 24), CNOKHWA_NOT_YET) << "the frame before the loss is gone";
  std::vector<uint8_t> again = Frame(4, 2, 7);
  store.Publish(token, again, 4, 2);
  EXPECT_EQ(store.Grab(out.data(), 24), CNOKHWA_OK);
  EXPECT_EQ(out, Frame(4, 2, 7));
  EXPECT_EQ(store.FrameCount(), 1u);
}

TEST(FrameStore, GrabNeedsTheExactFrameSize) {
  FrameStore store;
  const uint64_t token = store.Begin();
  std::vector<uint8_t> frame = Frame(4, 2, 1);
  store.Publish(token, frame, 4, 2);
  std::vector<uint8_t> out(100, 0x77);
  EXPECT_EQ(store.Grab(out.data(), 23), CNOKHWA_ERR_BUFFER_TOO_SMALL);
  EXPECT_EQ(store.Grab(out.data(), 25), CNOKHWA_ERR_GEOMETRY_CHANGED);
  EXPECT_EQ(store.Grab(nullptr, 24), CNOKHWA_ERR_BAD_ARGUMENT);
  EXPECT_EQ(store.Grab(out.data(), 0), CNOKHWA_ERR_BAD_ARGUMENT);
  EXPECT_EQ(store.Grab(out.data(), -24), CNOKHWA_ERR_BAD_ARGUMENT);
  EXPECT_EQ(out, std::vector<uint8_t>(100, 0x77)) << "refused grabs write nothing";
}

TEST(FrameStore, PublishingSwapsBuffersAndStaleSessionsAreIgnored) {
  FrameStore store;
  const uint64_t first = store.Begin();
  std::vector<uint8_t> frame = Frame(2, 1, 1);
  const uint8_t* published = frame.data();
  store.Publish(first, frame, 2, 1);
  std::vector<uint8_t> next = Frame(2, 1, 2);
  store.Publish(first, next, 2, 1);
  EXPECT_EQ(next.data(), published) << "the producer gets the previous buffer back";

  const uint64_t second = store.Begin();
  std::vector<uint8_t> stale = Frame(2, 1, 3);
  store.Publish(first, stale, 2, 1);
  store.Fail(first, CNOKHWA_ERR_DEVICE_LOST);
  store.End(first);
  EXPECT_EQ(store.HasFirstFrame(), CNOKHWA_NOT_YET) << "an old session cannot touch a new one";
  EXPECT_EQ(store.CurrentToken(), second);
  EXPECT_EQ(store.FrameCount(), 0u);
}

// One producer publishing frames of two sizes, each frame filled with one value, while readers
// grab: every successful grab must be one whole frame, never a mix.
TEST(FrameStore, ConcurrentGrabsSeeWholeFrames) {
  FrameStore store;
  const uint64_t token = store.Begin();
  std::atomic<bool> done{false};
  std::thread producer([&] {
    std::vector<uint8_t> back;
    for (int i = 1; i <= 2000; ++i) {
      const int width = i % 2 == 0 ? 8 : 16;
      back.assign(static_cast<size_t>(width) * 3 * 4, static_cast<uint8_t>(i));
      store.Publish(token, back, width, 4);
    }
    done = true;
  });
  std::atomic<int> whole{0};
  std::atomic<int> torn{0};
  std::vector<std::thread> readers;
  for (int r = 0; r < 2; ++r) {
    readers.emplace_back([&] {
      std::vector<uint8_t> out;
      while (!done) {
        const int width = store.Width();
        if (width <= 0) {
          continue;
        }
        out.assign(static_cast<size_t>(width) * 3 * 4, 0);
        const int result = store.Grab(out.data(), static_cast<int64_t>(out.size()));
        if (result == CNOKHWA_OK) {
          bool same = true;
          for (uint8_t b : out) {
            same = same && b == out[0];
          }
          (same ? whole : torn)++;
        } else {
          EXPECT_TRUE(result == CNOKHWA_ERR_BUFFER_TOO_SMALL ||
                      result == CNOKHWA_ERR_GEOMETRY_CHANGED)
              << result;
        }
      }
    });
  }
  producer.join();
  for (auto& reader : readers) {
    reader.join();
  }
  EXPECT_EQ(torn.load(), 0);
  EXPECT_EQ(store.FrameCount(), 2000u);
}

// What a reader saw of one lent frame.
struct LentFrame {
  int calls = 0;
  int width = 0;
  int height = 0;
  int bytesPerRow = 0;
  bool uniform = true;
  uint8_t value = 0;
};

void RecordLentFrame(void* context, const unsigned char* frame, int width, int height,
                     int bytesPerRow) {
  auto* seen = static_cast<LentFrame*>(context);
  ++seen->calls;
  seen->width = width;
  seen->height = height;
  seen->bytesPerRow = bytesPerRow;
  seen->value = frame[0];
  seen->uniform = true;
  for (int64_t i = 0; i < int64_t{bytesPerRow} * height; ++i) {
    seen->uniform = seen->uniform && frame[i] == frame[0];
  }
}

TEST(FrameStore, ReadLendsTheNewestFrameOnlyWhenThereIsOne) {
  FrameStore store;
  LentFrame seen;
  EXPECT_EQ(store.Read(RecordLentFrame, &seen), CNOKHWA_ERR_NOT_STARTED);
  const uint64_t token = store.Begin();
  EXPECT_EQ(store.Read(RecordLentFrame, &seen), CNOKHWA_NOT_YET);
  EXPECT_EQ(store.Read(nullptr, &seen), CNOKHWA_ERR_BAD_ARGUMENT);
  EXPECT_EQ(seen.calls, 0);

  std::vector<uint8_t> frame = Frame(5, 3, 7);
  store.Publish(token, frame, 5, 3);
  EXPECT_EQ(store.Read(RecordLentFrame, &seen), CNOKHWA_OK);
  EXPECT_EQ(seen.calls, 1);
  EXPECT_EQ(seen.width, 5);
  EXPECT_EQ(seen.height, 3);
  EXPECT_EQ(seen.bytesPerRow, 15);
  EXPECT_TRUE(seen.uniform);
  EXPECT_EQ(seen.value, 7);

  store.Fail(token, CNOKHWA_ERR_DEVICE_LOST);
  EXPECT_EQ(store.Read(RecordLentFrame, &seen), CNOKHWA_ERR_DEVICE_LOST);
  store.End(0);
  EXPECT_EQ(store.Read(RecordLentFrame, &seen), CNOKHWA_ERR_NOT_STARTED);
  EXPECT_EQ(seen.calls, 1);
}

TEST(FrameStore, LentFramesStayWholeWhileTheCaptureThreadPublishes) {
  FrameStore store;
  const uint64_t token = store.Begin();
  std::atomic<bool> done{false};
  std::thread producer([&] {
    std::vector<uint8_t> back;
    for (int i = 1; !done; ++i) {
      const int width = i % 2 == 0 ? 8 : 16;
      back.assign(static_cast<size_t>(width) * 3 * 4, static_cast<uint8_t>(i));
      store.Publish(token, back, width, 4);
    }
  });
  int lent = 0;
  int torn = 0;
  uint64_t publishedWhileLending = 0;
  const uint64_t publishedBefore = store.FrameCount();
  while (lent < 2000) {
    LentFrame seen;
    if (store.Read(RecordLentFrame, &seen) == CNOKHWA_OK) {
      ++lent;
      // The geometry handed to the reader is the lent frame's own: width 8 for even frames.
      torn += !seen.uniform || seen.bytesPerRow != seen.width * 3 ||
              (seen.width == 8) != (seen.value % 2 == 0);
    }
  }
  publishedWhileLending = store.FrameCount() - publishedBefore;
  done = true;
  producer.join();
  EXPECT_EQ(torn, 0);
  EXPECT_GT(publishedWhileLending, 0u);
}

}  // namespace
}  // namespace cnokhwa
