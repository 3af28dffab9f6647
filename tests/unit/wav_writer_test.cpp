#include <gtest/gtest.h>

#include <random>

#if __has_include(<sys/resource.h>)
#include <sys/resource.h>
#define HAVE_FILE_SIZE_LIMIT 1
#endif

#include <cmath>
#include <csignal>
#include <filesystem>
#include <limits>

#include "core/io_error.hpp"
#include "platform/files.hpp"
#include "wav/sample_scale.hpp"
#include "wav/wave_data.hpp"
#include "wav/wave_header.hpp"
#include "wav_file.hpp"

namespace {

std::uint32_t load_le32_at(const std::uint8_t* p, int offset) {
  p += offset;
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

wave_data record(std::int32_t rate, std::int32_t bits, const std::vector<double>& samples) {
  wave_data wave;
  wave.sample_rate = rate;
  wave.bits_per_sample = bits;
  wave.sample_count = static_cast<std::int32_t>(samples.size());
  wave.samples = allocate_samples(wave.sample_count);
  std::copy(samples.begin(), samples.end(), wave.samples.get());
  return wave;
}

TEST(WavWriter, HeaderOfAnEmptySixteenBitSound) {
  const wave_data wave = record(44100, 16, {});
  bytes expected;
  append_tag(expected, "RIFF");
  append_le32(expected, 36);
  append_tag(expected, "WAVE");
  append_tag(expected, "fmt ");
  append_le32(expected, 16);
  append_le16(expected, 1);
  append_le16(expected, 1);
  append_le32(expected, 44100);
  append_le32(expected, 88200);
  append_le16(expected, 2);
  append_le16(expected, 16);
  append_tag(expected, "data");
  append_le32(expected, 0);
  const auto header = wave_header(wave.sample_rate, wave.bits_per_sample, wave.sample_count);
  EXPECT_EQ(bytes(header.begin(), header.end()), expected);
}

TEST(WavWriter, HeaderSizesOfTheLongestRecordingsAreUnsigned) {
  // Data and RIFF sizes past 2^31 (no samples are needed for the header).
  // 2,147,483,629 samples are the most a RIFF size can describe; a data
  // chunk can hold a few more, and the RIFF size then says 0xFFFFFFFF.
  struct {
    std::int32_t count;
    std::uint32_t data_size;
    std::uint32_t riff_size;
  } const cases[] = {
      {1 << 30, 1u << 31, (1u << 31) + 36},   {2147483600, 4294967200u, 4294967236u},
      {2147483629, 4294967258u, 4294967294u}, {2147483630, 4294967260u, 0xFFFFFFFFu},
      {2147483647, 4294967294u, 0xFFFFFFFFu},
  };
  for (const auto& c : cases) {
    const auto header = wave_header(44100, 16, c.count);
    EXPECT_EQ(load_le32_at(header.data(), 40), c.data_size) << c.count;
    EXPECT_EQ(load_le32_at(header.data(), 4), c.riff_size) << c.count;
  }
}

TEST(WavWriter, HeaderRatesFollowTheBitsPerSampleItCarries) {
  const auto header = wave_header(8000, 8, 3);
  EXPECT_EQ(load_le32_at(header.data(), 4), 3u * 2 + 36);  // samples stay 2 bytes wide
  EXPECT_EQ(load_le32_at(header.data(), 28), 8000u);       // byte rate
  EXPECT_EQ(header[32], 1);                                // block align
  EXPECT_EQ(header[34], 8);
  EXPECT_EQ(load_le32_at(header.data(), 40), 6u);
}

TEST(WavWriter, RoundsHalfUpAndClampsOnTheSixteenBitScale) {
  const struct {
    double held;
    std::int16_t stored;
  } cases[] = {
      {-1.0, -32768},
      {-1.5, -32768},
      {-1e300, -32768},
      {0.0, 0},
      {-0.0, 0},
      {0.5, 16384},
      {1.0, 32767},
      {2.0, 32767},
      {1.0 - 1.5 / 32768, 32767},
      {1.0 - 1.6 / 32768, 32766},
      {1.0 / 65536, 1},
      {-1.0 / 65536, 0},
      {3.0 / 65536, 2},
      {std::numeric_limits<double>::infinity(), 32767},
      {-std::numeric_limits<double>::infinity(), -32768},
      {std::numeric_limits<double>::quiet_NaN(), 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(sample_to_s16(c.held), c.stored) << "held value " << c.held;
  }
  // The writer's four-lane loop stores the same: these values at every
  // lane, and random ones on and between the half-way points.
  std::vector<double> held;
  for (int shift = 0; shift < 4; ++shift) {
    held.insert(held.end(), shift, 0.25);
    for (const auto& c : cases) {
      held.push_back(c.held);
    }
  }
  std::mt19937 random(17);
  std::uniform_int_distribution<int> step(-70000, 70000);
  for (int k = 0; k < 100000; ++k) {
    held.push_back(step(random) / 65536.0 + (k % 3 == 0 ? 1e-12 : 0.0));
  }
  bytes stored(2 * held.size());
  store_wave_samples(held.data(), static_cast<std::int64_t>(held.size()), stored.data());
  for (std::size_t k = 0; k < held.size(); ++k) {
    ASSERT_EQ(static_cast<std::int16_t>(stored[2 * k] | stored[2 * k + 1] << 8),
              sample_to_s16(held[k]))
        << "held value " << held[k];
  }
}

TEST(WavWriter, EveryStoredSampleSurvivesTheRoundTrip) {
  for (int s = -32768; s <= 32767; ++s) {
    ASSERT_EQ(sample_to_s16(sample_from_s16(static_cast<std::int16_t>(s))), s);
  }
}

TEST(WavWriter, WritesHeaderThenSamplesLittleEndian) {
  scratch_directory dir;
  const wave_data wave = record(8000, 16, {0.5, -1.0, 0.0});
  write_wave(&wave, dir.file("out.wav").c_str());
  const bytes file = dir.read("out.wav");
  ASSERT_EQ(file.size(), 44u + 6);
  EXPECT_EQ(bytes(file.begin() + 44, file.end()), (bytes{0x00, 0x40, 0x00, 0x80, 0x00, 0x00}));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path),
                          std::filesystem::directory_iterator()),
            1)
      << "a temporary file was left behind";
}

TEST(WavWriter, ReplacesATemporaryFileLeftUnderThisProcesssNumber) {
  // A process killed while writing leaves its temporary file; a later one
  // may be given the same number.
  scratch_directory dir;
  const std::string left = "out.wav." + std::to_string(platform::process_id()) + ".partial";
  dir.write(left, bytes(1000, 7));
  const wave_data wave = record(8000, 16, {0.5});
  write_wave(&wave, dir.file("out.wav").c_str());
  EXPECT_EQ(dir.read("out.wav").size(), 46u);
  EXPECT_FALSE(std::filesystem::exists(dir.file(left)));
}

TEST(WavWriter, FailureLeavesTheEarlierFileAndNoTemporary) {
  scratch_directory dir;
  // A directory where the file should go: the new file cannot be renamed over it.
  std::filesystem::create_directory(dir.file("out.wav"));
  const wave_data wave = record(8000, 16, {0.25});
  try {
    write_wave(&wave, dir.file("out.wav").c_str());
    ADD_FAILURE() << "writing over a directory succeeded";
  } catch (const io_error& error) {
    EXPECT_EQ(std::string(error.what()), dir.file("out.wav") + ": cannot replace: is a directory");
  }
  EXPECT_TRUE(std::filesystem::is_directory(dir.file("out.wav")));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path),
                          std::filesystem::directory_iterator()),
            1);
}

#if defined(HAVE_FILE_SIZE_LIMIT)
TEST(WavWriter, FailedWriteIsReportedAndLeavesTheEarlierFile) {
  scratch_directory dir;
  dir.write("out.wav", bytes{1, 2, 3});
  const wave_data wave = record(8000, 16, std::vector<double>(5000, 0.5));
  rlimit saved{};
  getrlimit(RLIMIT_FSIZE, &saved);
  rlimit small = saved;
  small.rlim_cur = 4096;  // a file-size limit: the samples do not fit
  const auto saved_handler = std::signal(SIGXFSZ, SIG_IGN);
  setrlimit(RLIMIT_FSIZE, &small);
  std::string reason;
  try {
    write_wave(&wave, dir.file("out.wav").c_str());
  } catch (const io_error& error) {
    reason = error.what();
  }
  setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, saved_handler);
  EXPECT_EQ(reason, dir.file("out.wav") + ": cannot write: file too large");
  EXPECT_EQ(dir.read("out.wav"), (bytes{1, 2, 3}));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path),
                          std::filesystem::directory_iterator()),
            1);
}
#endif

}  // namespace
