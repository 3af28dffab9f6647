// Reading "tec.wav": the RIFF/WAVE container is walked chunk by chunk, the
// "fmt " chunk must describe 16-bit mono PCM, and the samples of the "data"
// chunk become doubles.
//
//   "RIFF" size "WAVE" { id size payload [pad byte if size is odd] } ...
//
// Only "fmt " and "data" are used; every other chunk (LIST, JUNK, fact, ...)
// is skipped. Every size is checked against what is left of the file before
// it is used, and nothing is allocated for samples the file does not hold.

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "wav/io_error.hpp"
#include "wav/little_endian.hpp"
#include "wav/sample_scale.hpp"
#include "wav/side_by_side.hpp"
#include "wav/wave_data.hpp"

namespace {

constexpr std::uint16_t format_pcm = 0x0001;
constexpr std::uint16_t format_ieee_float = 0x0003;
constexpr std::uint16_t format_extensible = 0xFFFE;

// The fixed tail that every standard sub-format GUID of
// WAVE_FORMAT_EXTENSIBLE shares; its first two bytes are the format tag.
constexpr std::array<std::uint8_t, 14> sub_format_guid_tail = {
    0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

struct file_closer {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using input_file = std::unique_ptr<std::FILE, file_closer>;

// The open file with its name (for messages), its size and the offset the
// next read starts at.
struct wave_input {
  std::FILE* file;
  std::string name;
  std::uint64_t size;
  std::uint64_t offset;
  std::FILE* warnings;
};

[[noreturn]] void refuse(const wave_input& input, const std::string& reason) {
  throw io_error(input.name, reason);
}

std::uint64_t bytes_left(const wave_input& input) { return input.size - input.offset; }

// Reads exactly `count` bytes; the caller has checked that the file holds
// them, so a short read is a read error.
void read_bytes(wave_input& input, void* destination, std::size_t count) {
  if (std::fread(destination, 1, count, input.file) != count) {
    const int error_number = errno;
    if (std::ferror(input.file) != 0) {
      refuse(input, "cannot read: " + system_reason(error_number));
    }
    refuse(input, "ended while it was being read");
  }
  input.offset += count;
}

void skip_bytes(wave_input& input, std::uint64_t count) {
  if (std::fseek(input.file, static_cast<long>(count), SEEK_CUR) != 0) {
    refuse(input, "cannot read: " + system_reason(errno));
  }
  input.offset += count;
}

std::string quoted_chunk_name(const char* id) { return std::string("no \"") + id + "\" chunk"; }

// What the "fmt " chunk says about the samples, once it has been accepted.
struct sample_format {
  std::int32_t sample_rate;
  std::int32_t bits_per_sample;
};

// Checks that the format chunk describes what the program can process
// soundly: PCM, 16 bits, one channel, a positive rate.
sample_format parse_format(const wave_input& input, const std::uint8_t* chunk, std::uint32_t size) {
  std::uint16_t format_tag = load_le16(chunk + 0);
  const std::uint16_t channels = load_le16(chunk + 2);
  const std::uint32_t sample_rate = load_le32(chunk + 4);
  const std::uint16_t bits_per_sample = load_le16(chunk + 14);

  if (format_tag == format_extensible) {
    // cbSize (2 bytes), valid bits (2), channel mask (4), sub-format GUID (16)
    if (size < 40 || load_le16(chunk + 16) < 22) {
      refuse(input, "the extensible \"fmt \" chunk is cut short");
    }
    const std::uint8_t* guid = chunk + 24;
    if (!std::equal(sub_format_guid_tail.begin(), sub_format_guid_tail.end(), guid + 2)) {
      refuse(input, "unknown extensible sub-format; only 16-bit PCM is supported");
    }
    format_tag = load_le16(guid);
  }
  if (format_tag == format_ieee_float) {
    refuse(input, std::to_string(bits_per_sample) +
                      "-bit floating-point samples; only 16-bit PCM is supported");
  }
  if (format_tag != format_pcm) {
    char tag[8];
    std::snprintf(tag, sizeof tag, "0x%04X", static_cast<unsigned>(format_tag));
    refuse(input,
           std::string("compressed format (format tag ") + tag + "); only 16-bit PCM is supported");
  }
  if (channels != 1) {
    refuse(input, std::to_string(channels) + (channels == 1 ? " channel" : " channels") +
                      "; only mono is supported");
  }
  if (bits_per_sample != 16) {
    refuse(input,
           std::to_string(bits_per_sample) + " bits per sample; only 16-bit samples are supported");
  }
  if (sample_rate == 0 || sample_rate > 0x7FFFFFFFu) {
    refuse(input, "sample rate of " + std::to_string(sample_rate) +
                      " Hz; it must be from 1 to 2147483647 Hz");
  }
  return {static_cast<std::int32_t>(sample_rate), bits_per_sample};
}

// Turns `length` stored samples (little-endian 16-bit) into doubles.
void convert_samples(const std::uint8_t* bytes, double* samples, std::int32_t length) {
  prepare_samples(samples, length);
  for (std::int32_t k = 0; k < length; ++k) {
    samples[k] = sample_from_s16(static_cast<std::int16_t>(load_le16(bytes + 2 * k)));
  }
}

// Converts `count` samples from the file, a block at a time, into `samples`.
void read_samples(wave_input& input, double* samples, std::int32_t count) {
  constexpr std::int32_t block = 32768;
  std::array<std::uint8_t, 2 * block> bytes;
  for (std::int32_t start = 0; start < count; start += block) {
    const std::int32_t length = std::min(block, count - start);
    read_bytes(input, bytes.data(), 2 * static_cast<std::size_t>(length));
    convert_samples(bytes.data(), samples + start, length);
  }
}

// The same for samples whose bytes start `offset` bytes into the file, read
// at that offset (pread) without moving the stream.
void read_samples_at(const wave_input& input, std::uint64_t offset, double* samples,
                     std::int32_t count) {
  constexpr std::int32_t block = 32768;
  std::array<std::uint8_t, 2 * block> bytes;
  const int descriptor = fileno(input.file);
  for (std::int32_t start = 0; start < count; start += block) {
    const std::int32_t length = std::min(block, count - start);
    const std::size_t wanted = 2 * static_cast<std::size_t>(length);
    for (std::size_t done = 0; done < wanted;) {
      const ssize_t got = pread(descriptor, bytes.data() + done, wanted - done,
                                static_cast<off_t>(offset + 2 * std::uint64_t(start) + done));
      if (got < 0 && errno == EINTR) {
        continue;
      }
      if (got < 0) {
        refuse(input, "cannot read: " + system_reason(errno));
      }
      if (got == 0) {
        refuse(input, "ended while it was being read");
      }
      done += static_cast<std::size_t>(got);
    }
    convert_samples(bytes.data(), samples + start, length);
  }
}

// Most of reading a long recording is the kernel handing this process fresh
// pages for its samples; with a second core, a helper thread reads and
// converts the second half meanwhile. A failure of the first half is told
// before one of the second.
void read_all_samples(wave_input& input, double* samples, std::int32_t count) {
  constexpr std::int32_t worth_a_thread = 1 << 18;
  if (count < worth_a_thread) {
    read_samples(input, samples, count);
    return;
  }
  const std::int32_t half = count / 2;
  const std::uint64_t second_offset = input.offset + 2 * std::uint64_t(half);
  run_side_by_side([&] { read_samples(input, samples, half); },
                   [&] { read_samples_at(input, second_offset, samples + half, count - half); });
  input.offset += 2 * std::uint64_t(count - half);
}

// The "data" chunk: its declared size is clamped to what the file holds
// (streaming writers leave 0xFFFFFFFF there), and an odd trailing byte is
// not a sample.
void read_data_chunk(wave_input& input, std::uint32_t declared_size, const sample_format& format,
                     wave_data* wave) {
  std::uint64_t size = declared_size;
  if (size > bytes_left(input)) {
    size = bytes_left(input);
    std::fprintf(input.warnings,
                 "wave_effect: %s: the \"data\" chunk declares %lu bytes but only %lu are "
                 "present; reading those\n",
                 input.name.c_str(), static_cast<unsigned long>(declared_size),
                 static_cast<unsigned long>(size));
  }
  const auto count = static_cast<std::int32_t>(size / 2);
  sample_array samples = allocate_samples(count);
  read_all_samples(input, samples.get(), count);

  wave->sample_rate = format.sample_rate;
  wave->bits_per_sample = format.bits_per_sample;
  wave->sample_count = count;
  wave->samples = std::move(samples);
}

input_file open_input(const char* path, std::uint64_t* size) {
  input_file file{std::fopen(path, "rb")};
  if (!file) {
    throw io_error(path, "cannot open: " + system_reason(errno));
  }
  struct stat status {};
  if (fstat(fileno(file.get()), &status) != 0) {
    throw io_error(path, "cannot read: " + system_reason(errno));
  }
  if (S_ISDIR(status.st_mode)) {
    throw io_error(path, "is a directory, not a WAV file");
  }
  if (!S_ISREG(status.st_mode)) {
    throw io_error(path, "is not a regular file");
  }
  *size = static_cast<std::uint64_t>(status.st_size);
  return file;
}

}  // namespace

void read_wave(wave_data* wave, const char* path, std::FILE* warnings) {
  std::uint64_t size = 0;
  input_file file = open_input(path, &size);
  wave_input input{file.get(), path, size, 0, warnings};

  std::uint8_t riff[12];
  if (size < sizeof riff) {
    refuse(input, "not a RIFF/WAVE file");
  }
  read_bytes(input, riff, sizeof riff);
  if (std::memcmp(riff, "RIFF", 4) != 0 || std::memcmp(riff + 8, "WAVE", 4) != 0) {
    refuse(input, "not a RIFF/WAVE file");
  }

  bool have_format = false;
  sample_format format{};
  for (;;) {
    const char* missing = have_format ? "data" : "fmt ";
    std::uint8_t header[8];
    if (bytes_left(input) < sizeof header) {
      refuse(input, quoted_chunk_name(missing));
    }
    read_bytes(input, header, sizeof header);
    const std::uint32_t chunk_size = load_le32(header + 4);

    if (std::memcmp(header, "data", 4) == 0) {
      if (!have_format) {
        refuse(input, "the \"data\" chunk comes before any \"fmt \" chunk");
      }
      read_data_chunk(input, chunk_size, format, wave);
      return;
    }
    if (std::memcmp(header, "fmt ", 4) == 0 && !have_format) {
      if (chunk_size < 16 || chunk_size > bytes_left(input)) {
        refuse(input, "the \"fmt \" chunk is cut short");
      }
      std::array<std::uint8_t, 40> chunk{};
      const std::uint32_t used = std::min<std::uint32_t>(chunk_size, chunk.size());
      read_bytes(input, chunk.data(), used);
      format = parse_format(input, chunk.data(), chunk_size);
      have_format = true;
      const std::uint64_t rest = chunk_size - used + (chunk_size & 1u);
      if (rest > bytes_left(input)) {
        refuse(input, quoted_chunk_name("data"));
      }
      skip_bytes(input, rest);
      continue;
    }
    const std::uint64_t padded = std::uint64_t{chunk_size} + (chunk_size & 1u);
    if (padded > bytes_left(input)) {
      refuse(input, quoted_chunk_name(missing));
    }
    skip_bytes(input, padded);
  }
}
