// The dumps as written (blocks formatted by the workers and placed at their
// offsets, table lookups for held values) against printf's "%f\n" of every
// sample, written one by one to a text-mode stream.

#include "driver/dump_csv.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "core/disk_flusher.hpp"
#include "core/io_error.hpp"
#include "driver/sample_text.hpp"
#include "records.hpp"
#include "wav_file.hpp"

namespace {

std::string as_text(const bytes& content) { return std::string(content.begin(), content.end()); }

std::string printf_dump(const wave_data& wave) {
  const scratch_directory dir;
  std::FILE* text = std::fopen(dir.file("printf.csv").c_str(), "w");
  for (std::int32_t n = 0; n < wave.sample_count; ++n) {
    std::fprintf(text, "%f\n", wave.samples[n]);
  }
  std::fclose(text);
  return as_text(dir.read("printf.csv"));
}

// Equal texts, or where they part (a full diff of megabytes helps nobody).
void expect_same_text(const std::string& written, const std::string& expected) {
  const auto parted =
      std::mismatch(written.begin(), written.end(), expected.begin(), expected.end());
  EXPECT_TRUE(parted.first == written.end() && parted.second == expected.end())
      << "the texts part at byte " << (parted.first - written.begin()) << " of " << written.size()
      << " (expected " << expected.size() << ")";
}

TEST(DumpCsv, FilesHoldPrintfTextOfEverySampleInOrder) {
  // Several blocks and a part-block, so that both threads write and the
  // offsets chain; output values that are held values, echo-like sums,
  // signed zeros, huge values and NaN; and a block whose second half is
  // the longest lines there are, which outgrow a worker's usual room for
  // text halfway.
  const std::int32_t count = 5 * dump_block_samples + 123;
  const wave_data in = random_record(44100, count, 12);
  wave_data out = same_shape(in);
  std::mt19937 random(13);
  std::uniform_real_distribution<double> value(-2.0, 2.0);
  for (std::int32_t n = 0; n < count; ++n) {
    switch (n % 7) {
      case 0:
        out.samples[n] = in.samples[n];
        break;
      case 1:
        out.samples[n] = -0.0;
        break;
      case 2:
        out.samples[n] = in.samples[n] + 0.5 * in.samples[(n + 400) % count];
        break;
      case 3:
        out.samples[n] =
            n % 1000 == 3 ? std::numeric_limits<double>::quiet_NaN() : 1e10 * value(random);
        break;
      default:
        out.samples[n] = value(random);
        break;
    }
    if (n / dump_block_samples == 2 && n % dump_block_samples >= dump_block_samples / 2) {
      out.samples[n] = -std::numeric_limits<double>::max();
    }
  }
  scratch_directory dir;
  output_file before = emptied(dir.file("before.csv").c_str());
  output_file after = emptied(dir.file("after.csv").c_str());
  dump_csv(before, after, &in, &out);
  expect_same_text(as_text(dir.read("before.csv")), printf_dump(in));
  expect_same_text(as_text(dir.read("after.csv")), printf_dump(out));
}

// A worker's room for a block's text gives what one buffer with room for
// the longest lines gives, wherever in a block such lines begin (around
// the pieces it is made in), and for the blocks after one that made it
// move on to room for the longest.
TEST(DumpCsv, RoomForBlockTextGivesTheTextOfOneBufferWhereverLongLinesBegin) {
  const wave_data in = random_record(44100, dump_block_samples, 21);
  for (const std::int32_t start : {0, 1, 4095, 4096, 4097, 30000, dump_block_samples - 1}) {
    SCOPED_TRACE(start);
    std::vector<double> values(in.samples.get(), in.samples.get() + dump_block_samples);
    std::fill(values.begin() + start, values.end(), -std::numeric_limits<double>::max());
    std::vector<char> whole(dump_block_samples * max_sample_line);
    block_text_room room;
    for (const std::int32_t count : {dump_block_samples, 5000}) {
      for (const double* samples : {values.data(), in.samples.get()}) {
        const char* end = write_sample_text(whole.data(), samples, count);
        const std::string_view text = room.write(samples, count);
        SCOPED_TRACE(count);
        expect_same_text(std::string(text),
                         std::string(whole.data(), static_cast<std::size_t>(end - whole.data())));
      }
    }
  }
}

TEST(DumpCsv, OverwritesALongerEarlierDump) {
  scratch_directory dir;
  dir.write("before.csv", bytes(100000, 'x'));
  const wave_data in = random_record(8000, 3, 14);
  output_file before = emptied(dir.file("before.csv").c_str());
  output_file after = emptied(dir.file("after.csv").c_str());
  dump_csv(before, after, &in, &in);
  expect_same_text(as_text(dir.read("before.csv")), printf_dump(in));
}

TEST(DumpCsv, ADeviceIsWrittenWithoutBeingEmptied) {
  // Someone who wants no dumps links them to the null device.
#if defined(_WIN32)
  const char* null_device = "NUL";
#else
  const char* null_device = "/dev/null";
#endif
  const wave_data in = random_record(8000, 20000, 17);
  output_file before = emptied(null_device);
  output_file after = emptied(null_device);
  EXPECT_NO_THROW(dump_csv(before, after, &in, &in));
}

TEST(DumpCsv, EmptiesTheFileItHoldsEvenWhenItsNameNowLeadsElsewhere) {
  scratch_directory dir;
  dir.write("before.csv", bytes(5000, 'x'));
  output_file held = open_output(dir.file("before.csv").c_str());
  ASSERT_EQ(std::rename(dir.file("before.csv").c_str(), dir.file("moved.csv").c_str()), 0);
  dir.write("before.csv", bytes(7, 'y'));
  empty_output(held);
  EXPECT_TRUE(dir.read("moved.csv").empty());
  EXPECT_EQ(dir.read("before.csv"), bytes(7, 'y'));
}

TEST(DumpCsv, TheFirstFailureInFileOrderIsReportedWhicheverCameFirst) {
  // Workers write the dumps' blocks in two lanes; the output dump's first block may
  // fail before the input dump's first block is tried. That block must
  // still be tried, and its failure is the one told.
  scratch_directory dir;
  dir.write("before.csv", {});
  dir.write("after.csv", {});
  output_file before{platform::open_for_reading(dir.file("before.csv").c_str()), "before.csv"};
  output_file after{platform::open_for_reading(dir.file("after.csv").c_str()), "after.csv"};
  block_writing writing;
  block_writing::dump before_dump = writing.start_dump(before);
  block_writing::dump after_dump = writing.start_dump(after);
  EXPECT_FALSE(writing.write_block(after_dump, 0, "1\n", 2, 1));
  EXPECT_FALSE(writing.write_block(after_dump, 1, "2\n", 2, 4));  // after the failure: not tried
  EXPECT_FALSE(writing.write_block(before_dump, 0, "0\n", 2, 0));
  try {
    writing.report();
    ADD_FAILURE() << "the failures were not reported";
  } catch (const io_error& error) {
    EXPECT_EQ(std::string(error.what()).rfind("before.csv: cannot write: ", 0), 0u) << error.what();
  }
}

// The sound's flushes on the way: one that fails is reported at the end
// (the system need not tell the last flush again), and stops the writing
// at the next stretch.
TEST(DiskFlusher, AFlushThatFailedOnTheWayIsReported) {
  scratch_directory dir;
#if defined(_WIN32)
  dir.write("sound.wav", {});
  const std::string unflushable = dir.file("sound.wav");  // open for reading only
#else
  const std::string unflushable = "/dev/null";  // a device takes no flush
#endif
  output_file sound{platform::open_for_reading(unflushable.c_str()), "sound.wav"};
  disk_flusher flusher(sound, 100);
  EXPECT_NO_THROW(flusher.written(99));  // not yet a flush
  EXPECT_NO_THROW(flusher.finish());
  flusher.written(1);
  try {
    flusher.finish();
    ADD_FAILURE() << "the failed flush was not reported";
  } catch (const io_error& error) {
    EXPECT_EQ(std::string(error.what()).rfind("sound.wav: cannot write: ", 0), 0u) << error.what();
  }
  EXPECT_THROW(flusher.written(1), io_error);
}

}  // namespace
