#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <vector>

#include "core/io_error.hpp"
#include "wav/references.hpp"
#include "wav/wave_data.hpp"
#include "wav/wave_layout.hpp"
#include "wav/wave_source.hpp"
#include "wav_file.hpp"

namespace {

const std::vector<std::int16_t> three_samples = {-32768, 0, 32767};

// `file` with the four bytes at `at` (a size) replaced by `size`.
bytes with_size_at(bytes file, std::size_t at, std::uint32_t size) {
  for (int k = 0; k < 4; ++k) {
    file[at + k] = static_cast<std::uint8_t>(size >> (8 * k));
  }
  return file;
}

// A file of a 44-byte header as RIFX: every field and sample big-endian.
bytes as_rifx(bytes file) {
  std::copy_n("RIFX", 4, file.begin());
  const auto swap = [&](std::size_t at, std::size_t width) {
    std::reverse(file.begin() + at, file.begin() + at + width);
  };
  for (std::size_t at : {4, 16, 24, 28, 40}) {
    swap(at, 4);
  }
  for (std::size_t at : {20, 22, 32, 34}) {
    swap(at, 2);
  }
  for (std::size_t at = 44; at + 1 < file.size(); at += 2) {
    swap(at, 2);
  }
  return file;
}

// A "ds64" chunk: the data size, and the sizes of other chunks in its
// table after a fixed part of `size` bytes (28 when whole).
bytes ds64_chunk(std::uint64_t data_size,
                 const std::vector<std::pair<const char*, std::uint32_t>>& table = {},
                 std::size_t size = 28) {
  bytes payload;
  for (std::uint64_t wide : {std::uint64_t{0}, data_size, data_size / 2}) {
    append_le32(payload, static_cast<std::uint32_t>(wide));
    append_le32(payload, static_cast<std::uint32_t>(wide >> 32));
  }
  append_le32(payload, static_cast<std::uint32_t>(table.size()));
  for (const auto& [id, chunk_size] : table) {
    append_tag(payload, id);
    append_le32(payload, chunk_size);
    append_le32(payload, 0);
  }
  payload.resize(size + 12 * table.size());
  return chunk("ds64", payload);
}

// An RF64 or BW64 file (`id`) of the given chunks, whose own size is `size`.
bytes wide_wave(const char* id, std::uint32_t size, const std::vector<bytes>& chunks) {
  bytes file = with_size_at(riff_wave(chunks), 4, size);
  std::copy_n(id, 4, file.begin());
  return file;
}

bytes extensible_format(std::uint16_t sub_format, std::uint16_t bits, std::uint16_t valid_bits) {
  bytes payload;
  append_le16(payload, 0xFFFE);
  append_le16(payload, 1);
  append_le32(payload, 48000);
  append_le32(payload, 96000);
  append_le16(payload, 2);
  append_le16(payload, bits);
  append_le16(payload, 22);  // extension size
  append_le16(payload, valid_bits);
  append_le32(payload, 4);  // channel mask: front centre
  append_le16(payload, sub_format);
  const std::uint8_t tail[] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                               0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
  payload.insert(payload.end(), std::begin(tail), std::end(tail));
  return chunk("fmt ", payload);
}

bytes long_format_chunk() {
  bytes fmt = format_chunk(1, 1, 22050, 16);
  fmt[4] = 18;  // declared size 18: cbSize follows
  fmt.push_back(0);
  fmt.push_back(0);
  return fmt;
}

struct layout_case {
  const char* name;
  bytes file;
  std::int32_t sample_count;  // when accepted
  std::int32_t sample_rate;
  const char* refusal;  // the reason, when refused
};

std::vector<layout_case> layout_cases() {
  const bytes data = chunk("data", s16_payload(three_samples));
  const bytes fmt = format_chunk(1, 1, 8000, 16);
  bytes truncated_data = canonical_wave(8000, three_samples);
  truncated_data.pop_back();  // 5 data bytes present out of 6 declared
  bytes cut_fmt = riff_wave({format_chunk(1, 1, 8000, 16)});
  cut_fmt[16] = 14;  // declared "fmt " size 14
  const bytes unknown_size_data = with_size_at(data, 4, 0xFFFFFFFF);
  bytes five_bytes = s16_payload(three_samples);
  five_bytes.pop_back();
  const bytes odd_data = chunk("data", five_bytes);  // and a pad byte
  bytes overlong_list = riff_wave({fmt, chunk("LIST", bytes(4, 0))});
  overlong_list[overlong_list.size() - 8] = 0x40;  // LIST now claims 64 bytes
  return {
      {"canonical", canonical_wave(8000, three_samples), 3, 8000, nullptr},
      {"empty data", canonical_wave(8000, {}), 0, 8000, nullptr},
      {"odd data size drops the last byte",
       with_size_at(canonical_wave(8000, three_samples), 40, 5), 2, 8000, nullptr},
      {"LIST with odd size and pad before data",
       riff_wave({fmt, chunk("LIST", bytes(7, 'x')), data}), 3, 8000, nullptr},
      {"JUNK before fmt", riff_wave({chunk("JUNK", bytes(28, 0)), fmt, data}), 3, 8000, nullptr},
      {"chunks before the samples longer than a first read",
       riff_wave({fmt, chunk("LIST", bytes(200001, 'x')), data}), 3, 8000, nullptr},
      {"18-byte fmt chunk", riff_wave({long_format_chunk(), data}), 3, 22050, nullptr},
      {"extensible PCM", riff_wave({extensible_format(1, 16, 16), data}), 3, 48000, nullptr},
      {"declared size past the end is clamped",
       with_size_at(canonical_wave(8000, three_samples), 40, 0xFFFFFFFF), 3, 8000, nullptr},
      {"file cut inside the samples", truncated_data, 2, 8000, nullptr},
      {"valid bits fewer than 16", riff_wave({extensible_format(1, 16, 12), data}), 3, 48000,
       nullptr},
      // The JUNK header at 4090: the third byte of its size is beyond 4096.
      {"a chunk header across the edge of a 4 KiB read",
       riff_wave({fmt, chunk("LIST", bytes(4046, 'x')), chunk("JUNK", bytes(70000, 'x')), data}), 3,
       8000, nullptr},
      {"RIFX", as_rifx(canonical_wave(8000, three_samples)), 3, 8000, nullptr},
      {"data before fmt", riff_wave({data, fmt}), 3, 8000, nullptr},
      {"odd-sized data before fmt", riff_wave({odd_data, fmt}), 2, 8000, nullptr},
      // ds64 says 2 bytes, which would be one sample.
      {"RF64 with real sizes", wide_wave("RF64", 80, {ds64_chunk(2), fmt, data}), 3, 8000, nullptr},
      {"RF64", wide_wave("RF64", 0xFFFFFFFF, {ds64_chunk(6), fmt, unknown_size_data}), 3, 8000,
       nullptr},
      {"BW64", wide_wave("BW64", 0xFFFFFFFF, {ds64_chunk(6), fmt, unknown_size_data}), 3, 8000,
       nullptr},
      {"RF64 data size past the end",
       wide_wave("RF64", 0xFFFFFFFF, {ds64_chunk(1000), fmt, unknown_size_data}), 3, 8000, nullptr},
      {"RF64 chunk sized by the ds64 table",
       wide_wave("RF64", 0xFFFFFFFF,
                 {ds64_chunk(6, {{"LIST", 8}, {"JUNK", 4}}), fmt,
                  with_size_at(chunk("JUNK", bytes(4, 0x7F)), 4, 0xFFFFFFFF), unknown_size_data}),
       3, 8000, nullptr},
      {"RF64 chunk missing from the ds64 table",
       wide_wave("RF64", 0xFFFFFFFF,
                 {ds64_chunk(6, {{"LIST", 4}}), fmt,
                  with_size_at(chunk("JUNK", bytes(4, 0x7F)), 4, 0xFFFFFFFF), unknown_size_data}),
       0, 0, "a chunk's size of 0xFFFFFFFF is not in the \"ds64\" chunk's table"},
      {"RF64 without ds64", wide_wave("RF64", 0xFFFFFFFF, {fmt, data}), 0, 0,
       "a size of 0xFFFFFFFF with no \"ds64\" chunk to give it"},
      {"RF64 data size without ds64", wide_wave("RF64", 80, {fmt, unknown_size_data}), 0, 0,
       "a size of 0xFFFFFFFF with no \"ds64\" chunk to give it"},
      {"ds64 cut short",
       wide_wave("RF64", 0xFFFFFFFF, {ds64_chunk(6, {}, 27), fmt, unknown_size_data}), 0, 0,
       "the \"ds64\" chunk is cut short"},
      {"RIFX extensible", as_rifx(riff_wave({format_chunk(0xFFFE, 1, 8000, 16), data})), 0, 0,
       "RIFX file: format tag 0xFFFE; only plain PCM (format tag 0x0001) is supported big-endian"},
      {"RIFX 8-bit", as_rifx(riff_wave({format_chunk(1, 1, 8000, 8), data})), 0, 0,
       "RIFX file: 8 bits per sample; only 16-bit samples are supported"},
      {"stereo", riff_wave({format_chunk(1, 2, 8000, 16), data}), 0, 0,
       "2 channels; only mono is supported"},
      {"no channels", riff_wave({format_chunk(1, 0, 8000, 16), data}), 0, 0,
       "0 channels; only mono is supported"},
      {"8-bit", riff_wave({format_chunk(1, 1, 8000, 8), data}), 0, 0,
       "8 bits per sample; only 16-bit samples are supported"},
      {"24-bit", riff_wave({format_chunk(1, 1, 8000, 24), data}), 0, 0,
       "24 bits per sample; only 16-bit samples are supported"},
      {"float", riff_wave({format_chunk(3, 1, 8000, 32), data}), 0, 0,
       "32-bit floating-point samples; only 16-bit PCM is supported"},
      {"extensible float", riff_wave({extensible_format(3, 32, 32), data}), 0, 0,
       "32-bit floating-point samples; only 16-bit PCM is supported"},
      {"compressed", riff_wave({format_chunk(0x55, 1, 8000, 16), data}), 0, 0,
       "compressed format (format tag 0x0055); only 16-bit PCM is supported"},
      {"zero rate", riff_wave({format_chunk(1, 1, 0, 16), data}), 0, 0,
       "sample rate of 0 Hz; it must be from 1 to 2147483647 Hz"},
      {"rate above the int range", riff_wave({format_chunk(1, 1, 0x80000000u, 16), data}), 0, 0,
       "sample rate of 2147483648 Hz; it must be from 1 to 2147483647 Hz"},
      {"no fmt chunk", riff_wave({data}), 0, 0, "no \"fmt \" chunk"},
      {"no data chunk", riff_wave({fmt}), 0, 0, "no \"data\" chunk"},
      {"chunk running past the end", overlong_list, 0, 0, "no \"data\" chunk"},
      {"fmt chunk cut short", cut_fmt, 0, 0, "the \"fmt \" chunk is cut short"},
      {"not RIFF", bytes{'R', 'I', 'F', 'Y', 0, 0, 0, 0, 'W', 'A', 'V', 'E'}, 0, 0,
       "not a RIFF/WAVE file"},
      {"shorter than a RIFF header", bytes{'R', 'I', 'F', 'F'}, 0, 0, "not a RIFF/WAVE file"},
  };
}

// Each layout read from memory and from a file: the same answer both ways.
TEST(WavReader, AcceptsOrRefusesEachLayout) {
  for (const layout_case& c : layout_cases()) {
    for (const bool from_file : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (from_file ? ", from a file" : ", from memory"));
      scratch_directory dir;
      dir.write("tec.wav", c.file);
      wave_data wave;
      testing::internal::CaptureStderr();
      std::optional<std::string> refusal;
      try {
        if (from_file) {
          read_wave(&wave, dir.file("tec.wav").c_str(), stderr);
        } else {
          read_wave_bytes(c.file, &wave, dir.file("tec.wav").c_str(), stderr);
        }
      } catch (const io_error& error) {
        refusal = error.what();
      }
      testing::internal::GetCapturedStderr();
      if (c.refusal != nullptr) {
        EXPECT_EQ(refusal, dir.file("tec.wav") + ": " + c.refusal);
      } else {
        ASSERT_EQ(refusal, std::nullopt);
        EXPECT_EQ(wave.sample_count, c.sample_count);
        EXPECT_EQ(wave.sample_rate, c.sample_rate);
        EXPECT_EQ(wave.bits_per_sample, 16);
        for (std::int32_t n = 0; n < wave.sample_count; ++n) {
          EXPECT_EQ(wave.samples[n], three_samples[n] / 32768.0) << n;
        }
      }
    }
  }
}

TEST(WavReader, HoldsStoredSamplesAsExactFractionsOfFullScale) {
  scratch_directory dir;
  dir.write("tec.wav", canonical_wave(8000, {-32768, -1, 0, 1, 16384, 32767}));
  wave_data wave;
  read_wave(&wave, dir.file("tec.wav").c_str(), stderr);
  ASSERT_EQ(wave.sample_count, 6);
  EXPECT_EQ(wave.samples[0], -1.0);
  EXPECT_EQ(wave.samples[1], -1.0 / 32768);
  EXPECT_EQ(wave.samples[2], 0.0);
  EXPECT_EQ(wave.samples[3], 1.0 / 32768);
  EXPECT_EQ(wave.samples[4], 0.5);
  EXPECT_EQ(wave.samples[5], 1.0 - 1.0 / 32768);
}

// Reading gives the largest magnitude among the samples read, in either
// byte order, wherever it lies among them: -32768 is full scale.
TEST(WavReader, ReadingGivesTheLargestMagnitude) {
  struct peak_case {
    std::vector<std::int16_t> extremes;  // placed from sample 40000 on, past the first block
    double peak;
  };
  const peak_case cases[] = {
      {{-32768, 32767}, 1.0},
      {{32767, -32767}, 32767 / 32768.0},
      {{-3, 2}, 3 / 32768.0},
      {{0}, 0.0},
  };
  scratch_directory dir;
  for (const peak_case& c : cases) {
    std::vector<std::int16_t> samples(50000, 1);
    std::copy(c.extremes.begin(), c.extremes.end(), samples.begin() + 40000);
    if (c.peak == 0.0) {
      std::fill(samples.begin(), samples.end(), 0);
    }
    for (const bool rifx : {false, true}) {
      const bytes file = canonical_wave(8000, samples);
      dir.write("tec.wav", rifx ? as_rifx(file) : file);
      wave_source source;
      open_wave(&source, dir.file("tec.wav").c_str(), stderr);
      std::vector<double> read(samples.size());
      EXPECT_EQ(read_wave_samples(source, 0, 50000, read.data()), c.peak) << rifx;
      EXPECT_EQ(read_wave_samples(source, 0, 40000, read.data()),
                c.peak == 0.0 ? 0.0 : 1 / 32768.0);
    }
  }
}

TEST(WavReader, SkippedChunksDoNotLeakIntoTheSamples) {
  scratch_directory dir;
  dir.write("tec.wav", riff_wave({format_chunk(1, 1, 8000, 16), chunk("LIST", bytes(9, 0x7F)),
                                  chunk("data", s16_payload({100, -100}))}));
  wave_data wave;
  read_wave(&wave, dir.file("tec.wav").c_str(), stderr);
  ASSERT_EQ(wave.sample_count, 2);
  EXPECT_EQ(wave.samples[0], 100.0 / 32768);
  EXPECT_EQ(wave.samples[1], -100.0 / 32768);
}

TEST(WavReader, LongRecordsAreReadWholeAndInOrder) {
  // Long enough for the second half to be read by a helper thread, from an
  // offset that a skipped chunk and its pad byte have moved.
  std::vector<std::int16_t> samples((1 << 18) + 3);
  for (std::size_t n = 0; n < samples.size(); ++n) {
    samples[n] = static_cast<std::int16_t>(n * 7919 % 65536 - 32768);
  }
  scratch_directory dir;
  dir.write("tec.wav", riff_wave({format_chunk(1, 1, 8000, 16), chunk("LIST", bytes(9, 0x7F)),
                                  chunk("data", s16_payload(samples))}));
  wave_data wave;
  read_wave(&wave, dir.file("tec.wav").c_str(), stderr);
  ASSERT_EQ(wave.sample_count, static_cast<std::int32_t>(samples.size()));
  for (std::size_t n = 0; n < samples.size(); ++n) {
    ASSERT_EQ(wave.samples[n], samples[n] / 32768.0) << n;
  }
}

TEST(WavReader, WarnsOnceWhenTheDataSizeIsClamped) {
  const std::pair<bytes, const char*> cases[] = {
      {with_size_at(canonical_wave(8000, three_samples), 40, 0xFFFFFFFF), "4294967295"},
      {wide_wave("RF64", 0xFFFFFFFF,
                 {ds64_chunk(std::uint64_t{1} << 33), format_chunk(1, 1, 8000, 16),
                  with_size_at(chunk("data", s16_payload(three_samples)), 4, 0xFFFFFFFF)}),
       "8589934592"},
  };
  for (const auto& [file, declared] : cases) {
    scratch_directory dir;
    dir.write("tec.wav", file);
    wave_data wave;
    testing::internal::CaptureStderr();
    read_wave(&wave, dir.file("tec.wav").c_str(), stderr);
    const std::string warning = testing::internal::GetCapturedStderr();
    EXPECT_EQ(warning, "wave_effect: " + dir.file("tec.wav") + ": the \"data\" chunk declares " +
                           declared + " bytes but only 6 are present; reading those\n");
  }
}

// An RF64 file of up to 2^31 - 1 samples is read, and a longer one refused,
// whichever of "fmt " and "data" comes first. Only the chunk headers are
// held: asking for a sample is a fault.
TEST(WavReader, CountsUpTo2147483647SamplesWithoutReadingThem) {
  const bytes fmt = format_chunk(1, 1, 8000, 16);
  const bytes data = with_size_at(chunk("data", {}), 4, 0xFFFFFFFF);
  for (const std::uint64_t data_size : {0xFFFFFFFFull, 0x100000000ull}) {
    for (const bool data_first : {false, true}) {
      SCOPED_TRACE(std::to_string(data_size) + (data_first ? ", data first" : ""));
      const bytes head = data_first
                             ? wide_wave("RF64", 0xFFFFFFFF, {ds64_chunk(data_size), data})
                             : wide_wave("RF64", 0xFFFFFFFF, {ds64_chunk(data_size), fmt, data});
      const bytes tail = data_first ? fmt : bytes{};
      const std::uint64_t tail_offset = head.size() + data_size + (data_size & 1);  // pad byte
      const std::uint64_t file_size = tail_offset + tail.size();
      const read_bytes_at read = [&](std::uint64_t offset, std::span<std::uint8_t> out) {
        if (offset + out.size() <= head.size()) {
          std::copy_n(head.begin() + offset, out.size(), out.begin());
        } else if (offset >= tail_offset) {
          std::copy_n(tail.begin() + (offset - tail_offset), out.size(), out.begin());
        } else {
          ADD_FAILURE() << "read " << out.size() << " bytes at " << offset;
        }
      };
      try {
        const wave_layout layout = find_wave_layout(read, file_size, "tec.wav");
        EXPECT_EQ(layout.sample_count(), 2147483647);
        EXPECT_EQ(data_size, 0xFFFFFFFFu);
      } catch (const io_error& error) {
        EXPECT_EQ(std::string(error.what()),
                  "tec.wav: 2147483648 samples; at most 2147483647 samples are supported");
        EXPECT_EQ(data_size, 0x100000000u);
      }
    }
  }
}

TEST(WavReader, ReportsFilesThatCannotBeRead) {
  scratch_directory dir;
  wave_data wave;
  const std::string missing = dir.file("tec.wav");
  EXPECT_THROW(
      {
        try {
          read_wave(&wave, missing.c_str(), stderr);
        } catch (const io_error& error) {
          EXPECT_EQ(std::string(error.what()),
                    missing + ": cannot open: no such file or directory");
          throw;
        }
      },
      io_error);
  std::filesystem::create_directory(missing);
  try {
    read_wave(&wave, missing.c_str(), stderr);
    ADD_FAILURE() << "a directory was read";
  } catch (const io_error& error) {
    EXPECT_EQ(std::string(error.what()), missing + ": is a directory, not a WAV file");
  }
}

TEST(WavReader, AFileThatShrinksWhileItIsReadIsAFailure) {
  scratch_directory dir;
  const std::vector<std::int16_t> samples(5000, 1234);
  dir.write("tec.wav", canonical_wave(8000, samples));
  wave_source source;
  open_wave(&source, dir.file("tec.wav").c_str(), stderr);
  std::vector<double> read(4000);
  read_wave_samples(source, 1000, 4000, read.data());
  EXPECT_EQ(read.back(), 1234 / 32768.0);
  std::filesystem::resize_file(dir.file("tec.wav"), 44 + 2 * 3000);
  try {
    read_wave_samples(source, 1000, 4000, read.data());
    ADD_FAILURE() << "samples past the new end were read";
  } catch (const io_error& error) {
    EXPECT_EQ(std::string(error.what()), dir.file("tec.wav") + ": ended while it was being read");
  }
}

}  // namespace
