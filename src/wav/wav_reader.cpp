// Reading a WAV file: the RIFF/WAVE container is walked chunk by chunk, the
// "fmt " chunk must describe 16-bit mono PCM, and the samples of the "data"
// chunk become doubles.
//
//   "RIFF" size "WAVE" { id size payload [pad byte if size is odd] } ...
//
// Only "fmt " and "data" are used, in either order; every other chunk (LIST,
// JUNK, fact, ...) is skipped. Every size is checked against what is left of
// the file before it is used, and nothing is allocated for samples the file
// does not hold. Three relatives are read too:
//   - RIFX, every field and sample big-endian (plain PCM only);
//   - RF64 and BW64, for files past 4 GiB: a "ds64" chunk first holds the
//     64-bit sizes, and a 32-bit size of 0xFFFFFFFF stands for the one there.

#include <algorithm>
#include <array>
#include <bit>
#include <cstdio>
#include <cstring>
#include <functional>
#include <optional>
#include <span>
#include <string>

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

std::string hex_tag(std::uint16_t format_tag) {
  char tag[8];
  std::snprintf(tag, sizeof tag, "0x%04X", static_cast<unsigned>(format_tag));
  return tag;
}

// Checks that the format chunk describes what the program can process
// soundly: PCM, 16 bits, one channel, a positive rate. A RIFX file is
// plain PCM or nothing, and its refusals say that it is RIFX.
sample_format parse_format(const char* name, const std::uint8_t* chunk, std::uint64_t size,
                           std::endian byte_order) {
  const bool rifx = byte_order == std::endian::big;
  const auto u16 = [&](std::size_t at) {
    return rifx ? load_be16(chunk + at) : load_le16(chunk + at);
  };
  const auto reject = [&](const std::string& reason) {
    refuse(name, rifx ? "RIFX file: " + reason : reason);
  };
  std::uint16_t format_tag = u16(0);
  const std::uint16_t channels = u16(2);
  const std::uint32_t sample_rate = rifx ? load_be32(chunk + 4) : load_le32(chunk + 4);
  const std::uint16_t bits_per_sample = u16(14);

  if (rifx && format_tag != format_pcm) {
    reject("format tag " + hex_tag(format_tag) +
           "; only plain PCM (format tag 0x0001) is supported big-endian");
  }
  if (format_tag == format_extensible) {
    // cbSize (2 bytes), valid bits (2), channel mask (4), sub-format GUID
    // (16). Fewer valid bits than the container's 16 are read as stored.
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
    refuse(name, "compressed format (format tag " + hex_tag(format_tag) +
                     "); only 16-bit PCM is supported");
  }
  if (channels != 1) {
    reject(std::to_string(channels) + (channels == 1 ? " channel" : " channels") +
           "; only mono is supported");
  }
  if (bits_per_sample != 16) {
    reject(std::to_string(bits_per_sample) + " bits per sample; only 16-bit samples are supported");
  }
  if (sample_rate == 0 || sample_rate > 0x7FFFFFFFu) {
    reject("sample rate of " + std::to_string(sample_rate) +
           " Hz; it must be from 1 to 2147483647 Hz");
  }
  return {static_cast<std::int32_t>(sample_rate), bits_per_sample};
}

// A 32-bit size that stands for the 64-bit one in the "ds64" chunk.
constexpr std::uint32_t size_in_ds64 = 0xFFFFFFFF;

// What the "ds64" chunk of an RF64 or BW64 file says that the walk uses:
// the 64-bit size of the "data" chunk, and a table of other chunks' sizes.
// (The file's size is not needed, as in a RIFF file, and the sample count
// follows from the data size.)
struct wide_sizes {
  std::uint64_t data_size;
  std::uint64_t table_offset;
  std::uint64_t table_length;  // entries of 12 bytes: id, 64-bit size
};

// The walk through the chunks of a file of `file_size` bytes, read through
// `read`: the offset it has reached and what is left of the file.
struct chunk_walk {
  const read_bytes_at& read;
  std::uint64_t file_size;
  const char* name;
  std::endian byte_order = std::endian::little;
  std::uint64_t offset = 0;

  std::uint64_t left() const { return file_size - offset; }

  // The `N` bytes at `at`, which the file was found to hold.
  template <std::size_t N>
  std::array<std::uint8_t, N> bytes_at(std::uint64_t at) const {
    std::array<std::uint8_t, N> bytes;
    read(at, bytes);
    return bytes;
  }

  std::uint32_t size_field(const std::uint8_t* p) const {
    return byte_order == std::endian::big ? load_be32(p) : load_le32(p);
  }
};

bool has_tag(const std::uint8_t* p, const char* tag) { return std::memcmp(p, tag, 4) == 0; }

// Reads the "ds64" chunk whose header is at the walk's offset, and steps
// past it.
wide_sizes read_ds64(chunk_walk& walk) {
  const std::uint32_t size = load_le32(walk.bytes_at<8>(walk.offset).data() + 4);
  // riffSize, dataSize, sampleCount (8 bytes each), table length (4)
  constexpr std::uint32_t fixed_part = 28;
  if (size < fixed_part || size > walk.left() - 8) {
    refuse(walk.name, "the \"ds64\" chunk is cut short");
  }
  const auto fields = walk.bytes_at<fixed_part>(walk.offset + 8);
  // Only the entries that the chunk holds are looked at.
  const std::uint64_t table_length =
      std::min<std::uint64_t>(load_le32(fields.data() + 24), (size - fixed_part) / 12);
  const wide_sizes sizes{load_le64(fields.data() + 8), walk.offset + 8 + fixed_part, table_length};
  walk.offset += 8 + std::uint64_t{size};
  if ((size & 1u) != 0 && walk.left() > 0) {
    walk.offset += 1;
  }
  return sizes;
}

// The size of the chunk whose header is `header`: its 32-bit size, or in an
// RF64 or BW64 file the 64-bit size it stands for.
std::uint64_t chunk_size(const chunk_walk& walk, const std::uint8_t* header, bool wide,
                         const std::optional<wide_sizes>& ds64) {
  const std::uint32_t size = walk.size_field(header + 4);
  if (!wide || size != size_in_ds64) {
    return size;
  }
  if (!ds64) {
    refuse(walk.name, "a size of 0xFFFFFFFF with no \"ds64\" chunk to give it");
  }
  if (has_tag(header, "data")) {
    return ds64->data_size;
  }
  for (std::uint64_t k = 0; k < ds64->table_length; ++k) {
    const auto entry = walk.bytes_at<12>(ds64->table_offset + 12 * k);
    if (std::memcmp(entry.data(), header, 4) == 0) {
      return load_le64(entry.data() + 4);
    }
  }
  refuse(walk.name, "a chunk's size of 0xFFFFFFFF is not in the \"ds64\" chunk's table");
}

// Where the "data" chunk's samples lie, once it has been met.
struct data_chunk {
  std::uint64_t offset;
  std::uint64_t declared_size;
  std::uint64_t present_size;
};

wave_layout layout_of(const chunk_walk& walk, const sample_format& format, const data_chunk& data) {
  constexpr std::uint64_t most_samples = 0x7FFFFFFF;
  if (data.present_size / 2 > most_samples) {
    refuse(walk.name, std::to_string(data.present_size / 2) +
                          " samples; at most 2147483647 samples are supported");
  }
  return {format.sample_rate, format.bits_per_sample, data.offset,
          data.declared_size, data.present_size,      walk.byte_order};
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

// The walk's reads from a file, served from a few KiB of it read at once:
// the chunks before the samples mostly take one read, and a chunk stepped
// over is never read.
struct file_window {
  platform::file file;
  const char* name;
  std::uint64_t file_size;
  std::array<std::uint8_t, 4096> bytes{};
  std::uint64_t start = 0;
  std::size_t held = 0;

  void operator()(std::uint64_t offset, std::span<std::uint8_t> wanted) {
    if (offset < start || offset - start > held || wanted.size() > held - (offset - start)) {
      start = offset;
      held = static_cast<std::size_t>(std::min<std::uint64_t>(bytes.size(), file_size - offset));
      read_exactly(file, name, bytes.data(), held, start);
    }
    std::copy_n(bytes.data() + (offset - start), wanted.size(), wanted.data());
  }
};

}  // namespace

// In the machine's own order the bytes are the samples already, and a plain
// load of each lets the loop run in vector lanes; in the other order each
// is swapped after its load, which vectorises too. The extremes ride along
// in lanes of their own.
double convert_samples(const std::uint8_t* bytes, double* samples, std::int32_t length,
                       std::endian byte_order) {
  static_assert(std::endian::native == std::endian::little ||
                std::endian::native == std::endian::big);
  std::int16_t lowest = 0;
  std::int16_t highest = 0;
  if (byte_order == std::endian::native) {
    for (std::int32_t k = 0; k < length; ++k) {
      std::int16_t stored = 0;
      std::memcpy(&stored, bytes + 2 * k, sizeof stored);
      samples[k] = sample_from_s16(stored);
      lowest = std::min(lowest, stored);
      highest = std::max(highest, stored);
    }
  } else {
    for (std::int32_t k = 0; k < length; ++k) {
      std::uint16_t swapped = 0;
      std::memcpy(&swapped, bytes + 2 * k, sizeof swapped);
      const auto stored = static_cast<std::int16_t>((swapped << 8) | (swapped >> 8));
      samples[k] = sample_from_s16(stored);
      lowest = std::min(lowest, stored);
      highest = std::max(highest, stored);
    }
  }
  // -lowest can be 32768, which only an int holds.
  return std::max(-static_cast<int>(lowest), static_cast<int>(highest)) / 32768.0;
}

void warn_of_clamped_size(const wave_layout& layout, const char* name, std::FILE* warnings) {
  if (layout.declared_size != layout.data_size) {
    std::fprintf(warnings,
                 "wave_effect: %s: the \"data\" chunk declares %llu bytes but only %llu are "
                 "present; reading those\n",
                 name, static_cast<unsigned long long>(layout.declared_size),
                 static_cast<unsigned long long>(layout.data_size));
  }
}

wave_layout find_wave_layout(const read_bytes_at& read, std::uint64_t file_size, const char* name) {
  chunk_walk walk{read, file_size, name};
  if (file_size < 12) {
    refuse(name, "not a RIFF/WAVE file");
  }
  const auto head = walk.bytes_at<12>(0);
  const bool rifx = has_tag(head.data(), "RIFX");
  const bool wide = has_tag(head.data(), "RF64") || has_tag(head.data(), "BW64");
  if (!(has_tag(head.data(), "RIFF") || rifx || wide) || !has_tag(head.data() + 8, "WAVE")) {
    refuse(name, "not a RIFF/WAVE file");
  }
  walk.byte_order = rifx ? std::endian::big : std::endian::little;
  walk.offset = 12;

  std::optional<wide_sizes> ds64;
  if (wide && walk.left() >= 8 && has_tag(walk.bytes_at<4>(walk.offset).data(), "ds64")) {
    ds64 = read_ds64(walk);
  }
  if (wide && !ds64 && load_le32(head.data() + 4) == size_in_ds64) {
    refuse(name, "a size of 0xFFFFFFFF with no \"ds64\" chunk to give it");
  }

  std::optional<sample_format> format;
  std::optional<data_chunk> data;
  for (;;) {
    if (walk.left() < 8) {
      refuse(name, quoted_chunk_name(format ? "data" : "fmt "));
    }
    const auto header = walk.bytes_at<8>(walk.offset);
    const std::uint64_t size = chunk_size(walk, header.data(), wide, ds64);
    walk.offset += 8;

    if (has_tag(header.data(), "data") && !data) {
      // Streaming writers leave 0xFFFFFFFF here: the size is clamped to
      // what the file holds. Before the "fmt " chunk, the samples are
      // stepped over, never read.
      data = data_chunk{walk.offset, size, std::min(size, walk.left())};
      if (format) {
        return layout_of(walk, *format, *data);
      }
    } else if (has_tag(header.data(), "fmt ") && !format) {
      if (size < 16 || size > walk.left()) {
        refuse(name, "the \"fmt \" chunk is cut short");
      }
      std::array<std::uint8_t, 40> chunk{};
      const auto used = static_cast<std::size_t>(std::min<std::uint64_t>(size, chunk.size()));
      read(walk.offset, std::span(chunk.data(), used));
      format = parse_format(name, chunk.data(), size, walk.byte_order);
      if (data) {
        return layout_of(walk, *format, *data);
      }
    }
    // The pad byte after an odd size; a 64-bit size may be anything.
    if (size > walk.left() || (size & 1u) > walk.left() - size) {
      refuse(name, quoted_chunk_name(format ? "data" : "fmt "));
    }
    walk.offset += size + (size & 1u);
  }
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

  file_window window{file, path, facts.size};
  const wave_layout layout = find_wave_layout(std::ref(window), facts.size, path);
  warn_of_clamped_size(layout, path, warnings);
  source->sample_rate = layout.sample_rate;
  source->bits_per_sample = layout.bits_per_sample;
  source->sample_count = layout.sample_count();
  source->data_offset = layout.data_offset;
  source->byte_order = layout.byte_order;
}

double read_wave_samples(const wave_source& source, std::int64_t first, std::int64_t count,
                         double* samples) {
  constexpr std::int64_t block = 32768;
  std::array<std::uint8_t, 2 * block> bytes;
  double peak = 0.0;
  for (std::int64_t start = 0; start < count; start += block) {
    const auto length = static_cast<std::int32_t>(std::min(block, count - start));
    read_exactly(source.file, source.name.c_str(), bytes.data(),
                 2 * static_cast<std::size_t>(length),
                 source.data_offset + 2 * static_cast<std::uint64_t>(first + start));
    peak =
        std::max(peak, convert_samples(bytes.data(), samples + start, length, source.byte_order));
  }
  return peak;
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
