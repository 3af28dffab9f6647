#pragma once

// Builders for WAV files as bytes, and a scratch directory to put them in.

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

using bytes = std::vector<std::uint8_t>;

void append_le16(bytes& out, std::uint16_t value);
void append_le32(bytes& out, std::uint32_t value);
void append_tag(bytes& out, const char* tag);

// A "fmt " chunk (header included) of the classic 16-byte form.
bytes format_chunk(std::uint16_t tag, std::uint16_t channels, std::uint32_t rate,
                   std::uint16_t bits);
// Any chunk: id, size, payload and the pad byte after an odd size.
bytes chunk(const char* id, const bytes& payload);
bytes s16_payload(const std::vector<std::int16_t>& samples);
// "RIFF" size "WAVE" followed by the given chunks.
bytes riff_wave(const std::vector<bytes>& chunks);
// A canonical 44-byte-header mono 16-bit file.
bytes canonical_wave(std::uint32_t rate, const std::vector<std::int16_t>& samples);

// What a text-mode stream of this platform writes for "\n" ("\r\n" on
// Windows): the line end every text file of the program must have.
std::string text_mode_line_end();

// A fresh directory under the system's temporary one, removed at the end.
struct scratch_directory {
  std::filesystem::path path;
  scratch_directory();
  ~scratch_directory();
  std::string file(const std::string& name) const { return (path / name).string(); }
  void write(const std::string& name, const bytes& content) const;
  bytes read(const std::string& name) const;
};
