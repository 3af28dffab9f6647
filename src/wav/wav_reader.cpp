// Reading a WAV file: the RIFF/WAVE container is walked chunk by chunk, the
// "fmt " chunk must describe 16-bit mono PCM, and the samples of the "data"
// chunk become doubles.
//
//   "RIFF" size "WAVE" { id size payload [pad byte if size is odd] } ...
//
// Only "fmt " and "data" are used; every other chunk (LIST, JUNK, fact, ...)
// is skipped. Every size is checked against what is left of the file before
// it is used, and nothing is allocated for samples the file does not hold.

#include <algorithm>
#include <array>
#include <bit>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/io_error.hpp"
#include "platform/files.hpp"
#include "wav/little_endian.hpp"
#include "wav/sample_scale.hpp"
#include "wav/wave_data.hpp"
#include "wav/wave_layout.hpp"
#include "wav/wave_source.hpp"

namespace {

constexpr std::uint16_t format_pcm = 0x0001;
constexpr std::uint16_t format_ieee_float = 0x0003;
constexpr std::uint16_t format_extensible = 0xFFFE;

// The fixed tail that every standard sub-format GUID of
// WAVE_FORMAT_EXTENSIBLE shares; its first two bytes are the format tag.
constexpr std::array<std::uint8_t, 14> sub_format_guid_tail = {
    0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

[[noreturn]] void refuse(const char* name, const std::string& reason) {
  throw io_error(name, reason);
}

std::string quoted_chunk_name(const char* id) { return std::string("no \"") + id + "\" chunk"; }

// What the "fmt " chunk says about the samples, once it has been accepted.
struct sample_format {
  std::int32_t sample_rate;
  std::int32_t bits_per_sample;
};

// Checks that the format chunk describes what the program can process
// soundly: PCM, 16 bits, one channel, a positive rate.
sample_format parse_format(const char* name, const std::uint8_t* chunk, std::uint32_t size) {
  std::uint16_t format_tag = load_le16(chunk + 0);
  const std::uint16_t channels = load_le16(chunk + 2);
  const std::uint32_t sample_rate = load_le32(chunk + 4);
  const std::uint16_t bits_per_sample = load_le16(chunk + 14);

  if (format_tag == format_extensible) {
    // cbSize (2 bytes), valid bits (2), channel mask (4), sub-format GUID (16)
    if (size < 40 || load_le16(chunk + 16) < 22) {
      refuse(name, "the extensible \"fmt \" chunk is cut short");
    }
    const std::uint8_t* guid = chunk + 24;
    if (!std::equal(sub_format_guid_tail.begin(), sub_format_guid_tail.end(), guid + 2)) {
      refuse(name, "unknown extensible sub-format; only 16-bit PCM is supported");
    }
    format_tag = load_le16(guid);
  }
  if (format_tag == format_ieee_float) {
    refuse(name, std::to_string(bits_per_sample) +
                     "-bit floating-point samples; only 16-bit PCM is supported");
  }
  if (format_tag != format_pcm) {
    char tag[8];
    std::snprintf(tag, sizeof tag, "0x%04X", static_cast<unsigned>(format_tag));
    refuse(name,
           std::string("compressed format (format tag ") + tag + "); only 16-bit PCM is supported");
  }
  if (channels != 1) {
    refuse(name, std::to_string(channels) + (channels == 1 ? " channel" : " channels") +
                     "; only mono is supported");
  }
  if (bits_per_sample != 16) {
    refuse(name,
           std::to_string(bits_per_sample) + " bits per sample; only 16-bit samples are supported");
  }
  if (sample_rate == 0 || sample_rate > 0x7FFFFFFFu) {
    refuse(name, "sample rate of " + std::to_string(sample_rate) +
                     " Hz; it must be from 1 to 2147483647 Hz");
  }
  return {static_cast<std::int32_t>(sample_rate), bits_per_sample};
}

// The walk through the chunks of `head`, the first bytes of a file of
// `file_size` bytes: the offset it has reached and what is left of the file.
struct chunk_walk {
  std::span<const std::uint8_t> head;
  std::uint64_t file_size;
  const char* name;
  std::uint64_t offset = 0;

  std::uint64_t left() const { return file_size - offset; }
  // Whether the next `count` bytes, which the file holds, are in `head`.
  bool in_head(std::uint64_t count) const { return offset + count <= head.size(); }
  const std::uint8_t* here() const { return head.data() + offset; }
};

// Turns `length` stored samples (little-endian 16-bit) into doubles. On a
// little-endian machine the bytes are the samples already, and a plain load
// of each lets the loop run in vector lanes.
void convert_samples(const std::uint8_t* bytes, double* samples, std::int32_t length) {
  for (std::int32_t k = 0; k < length; ++k) {
    std::int16_t stored = 0;
    if constexpr (std::endian::native == std::endian::little) {
      std::memcpy(&stored, bytes + 2 * k, sizeof stored);
    } else {
      stored = static_cast<std::int16_t>(load_le16(bytes + 2 * k));
    }
    samples[k] = sample_from_s16(stored);
  }
}

// Reads exactly `count` bytes at `offset`, which the file was found to hold.
void read_exactly(platform::file file, const char* name, void* bytes, std::size_t count,
                  std::uint64_t offset) {
  auto* p = static_cast<std::uint8_t*>(bytes);
  for (std::size_t done = 0; done < count;) {
    std::size_t got = 0;
    if (!platform::read_at(file, p + done, count - done, offset + done, &got)) {
      refuse(name, "cannot read: " + platform::failure_reason());
    }
    if (got == 0) {
      refuse(name, "ended while it was being read");
    }
    done += got;
  }
}

void warn_of_clamped_size(const wave_layout& layout, const char* name, std::FILE* warnings) {
  if (layout.declared_size != layout.data_size) {
    std::fprintf(warnings,
                 "wave_effect: %s: the \"data\" chunk declares %lu bytes but only %lu are "
                 "present; reading those\n",
                 name, static_cast<unsigned long>(layout.declared_size),
                 static_cast<unsigned long>(layout.data_size));
  }
}

void fill_record(const wave_layout& layout, sample_array samples, wave_data* wave) {
  wave->sample_rate = layout.sample_rate;
  wave->bits_per_sample = layout.bits_per_sample;
  wave->sample_count = layout.sample_count();
  wave->samples = std::move(samples);
}

}  // namespace

std::optional<wave_layout> find_wave_layout(std::span<const std::uint8_t> head,
                                            std::uint64_t file_size, const char* name) {
  chunk_walk walk{head, file_size, name};
  if (file_size < 12) {
    refuse(name, "not a RIFF/WAVE file");
  }
  if (!walk.in_head(12)) {
    return std::nullopt;
  }
  if (std::memcmp(walk.here(), "RIFF", 4) != 0 || std::memcmp(walk.here() + 8, "WAVE", 4) != 0) {
    refuse(name, "not a RIFF/WAVE file");
  }
  walk.offset = 12;

  std::optional<sample_format> format;
  for (;;) {
    if (walk.left() < 8) {
      refuse(name, quoted_chunk_name(format ? "data" : "fmt "));
    }
    if (!walk.in_head(8)) {
      return std::nullopt;
    }
    const std::uint8_t* header = walk.here();
    const std::uint32_t chunk_size = load_le32(header + 4);

    if (std::memcmp(header, "data", 4) == 0) {
      if (!format) {
        refuse(name, "the \"data\" chunk comes before any \"fmt \" chunk");
      }
      walk.offset += 8;
      // Streaming writers leave 0xFFFFFFFF here: the size is clamped to
      // what the file holds.
      const std::uint64_t present = std::min<std::uint64_t>(chunk_size, walk.left());
      return wave_layout{format->sample_rate, format->bits_per_sample, walk.offset, chunk_size,
                         present};
    }
    if (std::memcmp(header, "fmt ", 4) == 0 && !format) {
      if (chunk_size < 16 || chunk_size > walk.left() - 8) {
        refuse(name, "the \"fmt \" chunk is cut short");
      }
      std::array<std::uint8_t, 40> chunk{};
      const std::uint32_t used = std::min<std::uint32_t>(chunk_size, chunk.size());
      if (!walk.in_head(8 + std::uint64_t{used})) {
        return std::nullopt;
      }
      std::copy_n(walk.here() + 8, used, chunk.data());
      format = parse_format(name, chunk.data(), chunk_size);
    }
    walk.offset += 8;
    const std::uint64_t padded = std::uint64_t{chunk_size} + (chunk_size & 1u);
    if (padded > walk.left()) {
      refuse(name, quoted_chunk_name(format ? "data" : "fmt "));
    }
    walk.offset += padded;
  }
}

void read_wave_bytes(std::span<const std::uint8_t> file, wave_data* wave, const char* name,
                     std::FILE* warnings) {
  const wave_layout layout = *find_wave_layout(file, file.size(), name);
  warn_of_clamped_size(layout, name, warnings);
  sample_array samples = allocate_samples(layout.sample_count());
  convert_samples(file.data() + layout.data_offset, samples.get(), layout.sample_count());
  fill_record(layout, std::move(samples), wave);
}

void open_wave(wave_source* source, const char* path, std::FILE* warnings) {
  source->name = path;
  source->file = platform::open_for_reading(path);
  platform::file file = source->file;
  if (!file.is_open()) {
    refuse(path, "cannot open: " + platform::failure_reason());
  }
  platform::file_facts facts{};
  if (!platform::describe(file, &facts)) {
    refuse(path, "cannot read: " + platform::failure_reason());
  }
  if (facts.directory) {
    refuse(path, "is a directory, not a WAV file");
  }
  if (!facts.regular) {
    refuse(path, "is not a regular file");
  }

  // The chunks before the samples are read from the file's first bytes,
  // and from more of them should they run further.
  std::vector<std::uint8_t> head;
  std::optional<wave_layout> layout;
  for (std::uint64_t wanted = 65536; !layout; wanted *= 2) {
    const auto size = static_cast<std::size_t>(std::min<std::uint64_t>(wanted, facts.size));
    const std::size_t had = head.size();
    head.resize(size);
    read_exactly(file, path, head.data() + had, size - had, had);
    layout = find_wave_layout(head, facts.size, path);
  }
  warn_of_clamped_size(*layout, path, warnings);
  source->sample_rate = layout->sample_rate;
  source->bits_per_sample = layout->bits_per_sample;
  source->sample_count = layout->sample_count();
  source->data_offset = layout->data_offset;
}

void read_wave_samples(const wave_source& source, std::int64_t first, std::int64_t count,
                       double* samples) {
  constexpr std::int64_t block = 32768;
  std::array<std::uint8_t, 2 * block> bytes;
  for (std::int64_t start = 0; start < count; start += block) {
    const auto length = static_cast<std::int32_t>(std::min(block, count - start));
    read_exactly(source.file, source.name.c_str(), bytes.data(),
                 2 * static_cast<std::size_t>(length),
                 source.data_offset + 2 * static_cast<std::uint64_t>(first + start));
    convert_samples(bytes.data(), samples + start, length);
  }
}

void read_wave(wave_data* wave, const char* path, std::FILE* warnings) {
  wave_source source;
  open_wave(&source, path, warnings);
  sample_array samples = allocate_samples(source.sample_count);
  read_wave_samples(source, 0, source.sample_count, samples.get());
  wave->sample_rate = source.sample_rate;
  wave->bits_per_sample = source.bits_per_sample;
  wave->sample_count = source.sample_count;
  wave->samples = std::move(samples);
}
