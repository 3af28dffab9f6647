#include "wav_file.hpp"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <random>

void append_le16(bytes& out, std::uint16_t value) {
  out.push_back(static_cast<std::uint8_t>(value));
  out.push_back(static_cast<std::uint8_t>(value >> 8));
}

void append_le32(bytes& out, std::uint32_t value) {
  append_le16(out, static_cast<std::uint16_t>(value));
  append_le16(out, static_cast<std::uint16_t>(value >> 16));
}

void append_tag(bytes& out, const char* tag) {
  for (int k = 0; k < 4; ++k) {
    out.push_back(static_cast<std::uint8_t>(tag[k]));
  }
}

namespace {
// push_back rather than insert: GCC 12 warns falsely about insert here.
void append_bytes(bytes& out, const bytes& more) {
  for (std::uint8_t byte : more) {
    out.push_back(byte);
  }
}
}  // namespace

bytes chunk(const char* id, const bytes& payload) {
  bytes out;
  append_tag(out, id);
  append_le32(out, static_cast<std::uint32_t>(payload.size()));
  append_bytes(out, payload);
  if (payload.size() % 2 != 0) {
    out.push_back(0);
  }
  return out;
}

bytes format_chunk(std::uint16_t tag, std::uint16_t channels, std::uint32_t rate,
                   std::uint16_t bits) {
  bytes payload;
  append_le16(payload, tag);
  append_le16(payload, channels);
  append_le32(payload, rate);
  append_le32(payload, rate * channels * bits / 8);
  append_le16(payload, static_cast<std::uint16_t>(channels * bits / 8));
  append_le16(payload, bits);
  return chunk("fmt ", payload);
}

bytes s16_payload(const std::vector<std::int16_t>& samples) {
  bytes out;
  for (std::int16_t s : samples) {
    append_le16(out, static_cast<std::uint16_t>(s));
  }
  return out;
}

bytes riff_wave(const std::vector<bytes>& chunks) {
  bytes body;
  append_tag(body, "WAVE");
  for (const bytes& c : chunks) {
    append_bytes(body, c);
  }
  bytes out;
  append_tag(out, "RIFF");
  append_le32(out, static_cast<std::uint32_t>(body.size()));
  append_bytes(out, body);
  return out;
}

bytes canonical_wave(std::uint32_t rate, const std::vector<std::int16_t>& samples) {
  return riff_wave({format_chunk(1, 1, rate, 16), chunk("data", s16_payload(samples))});
}

std::string text_mode_line_end() {
  const scratch_directory dir;
  std::FILE* text = std::fopen(dir.file("line.txt").c_str(), "w");
  std::fputs("\n", text);
  std::fclose(text);
  const bytes written = dir.read("line.txt");
  return std::string(written.begin(), written.end());
}

scratch_directory::scratch_directory() {
  std::random_device random;
  path = std::filesystem::temp_directory_path() /
         ("wave_effect_test_" + std::to_string(random()) + std::to_string(random()));
  std::filesystem::create_directories(path);
}

scratch_directory::~scratch_directory() {
  std::error_code ignored;
  std::filesystem::remove_all(path, ignored);
}

void scratch_directory::write(const std::string& name, const bytes& content) const {
  std::ofstream out(file(name), std::ios::binary);
  out.write(reinterpret_cast<const char*>(content.data()),
            static_cast<std::streamsize>(content.size()));
}

bytes scratch_directory::read(const std::string& name) const {
  std::ifstream in(file(name), std::ios::binary);
  return bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
