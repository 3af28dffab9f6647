#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <vector>

#include "platform/compiler.hpp"
#include "wav/little_endian.hpp"
#include "wav/sample_scale.hpp"
#include "wav/wave_data.hpp"
#include "wav/wave_header.hpp"
#include "wav/wave_sink.hpp"

std::array<std::uint8_t, wave_header_size> wave_header(std::int32_t sample_rate,
                                                       std::int32_t bits_per_sample,
                                                       std::int32_t sample_count) {
  // 64-bit arithmetic: for the rates a header can hold, rate × bits would
  // overflow 32 bits. The fields keep the low 32 (or 16) bits. The sizes are
  // unsigned: past 2^30 samples they need the 32nd bit. Past 2,147,483,629
  // samples the RIFF size has no room for what it counts; it then says
  // 0xFFFFFFFF, "as far as the file goes", as streaming writers do, rather
  // than a size that wrapped around to a few bytes.
  const std::int64_t data_bytes = 2 * std::int64_t{sample_count};
  const std::int64_t riff_size = std::min<std::int64_t>(data_bytes + 36, 0xFFFFFFFF);
  const std::int64_t byte_rate = std::int64_t{sample_rate} * bits_per_sample / 8;
  const std::int32_t block_align = bits_per_sample / 8;

  std::array<std::uint8_t, wave_header_size> header{};
  std::uint8_t* p = header.data();
  std::copy_n("RIFF", 4, p + 0);
  store_le32(p + 4, static_cast<std::uint32_t>(riff_size));
  std::copy_n("WAVE", 4, p + 8);
  std::copy_n("fmt ", 4, p + 12);
  store_le32(p + 16, 16);
  store_le16(p + 20, 1);  // PCM
  store_le16(p + 22, 1);  // one channel
  store_le32(p + 24, static_cast<std::uint32_t>(sample_rate));
  store_le32(p + 28, static_cast<std::uint32_t>(byte_rate));
  store_le16(p + 32, static_cast<std::uint16_t>(block_align));
  store_le16(p + 34, static_cast<std::uint16_t>(bits_per_sample));
  std::copy_n("data", 4, p + 36);
  store_le32(p + 40, static_cast<std::uint32_t>(data_bytes));
  return header;
}

// sample_to_s16 four lanes at a time, step for step: the scale, the clamp,
// NaN to the middle, + 0.5, and truncation, which for these positive values
// is rounding to an integer (by adding and taking away 2^52) less one where
// that rounded up. The integer is then in the low bits of t + 2^52.
WAVE_EFFECT_TWO_BUILDS(void, store_wave_samples,
                       (const double* samples, std::int64_t count, std::uint8_t* bytes),
                       (samples, count, bytes)) {
  std::int64_t k = 0;
  if constexpr (std::endian::native == std::endian::little) {
    const lanes4 one = {1.0, 1.0, 1.0, 1.0};
    const lanes4 half = {0.5, 0.5, 0.5, 0.5};
    const lanes4 scale = {65536.0, 65536.0, 65536.0, 65536.0};
    const lanes4 top = {65535.0, 65535.0, 65535.0, 65535.0};
    const lanes4 zero = {0.0, 0.0, 0.0, 0.0};
    const lanes4 middle = {32768.0, 32768.0, 32768.0, 32768.0};
    const lanes4 shifter = {0x1p52, 0x1p52, 0x1p52, 0x1p52};
    for (; k + 4 <= count; k += 4) {
      lanes4 v;
      LOAD_LANES(v, samples + k);
      v = (v + one) * half * scale;
      v = SELECT_LANES(v > top, top, v);
      v = SELECT_LANES(v < zero, zero, v);
      v = SELECT_LANES(v == v, v, middle);
      const lanes4 w = v + half;
      lanes4 t = (w + shifter) - shifter;
      t = SELECT_LANES(t > w, t - one, t);
      const lanes4 placed = t + shifter;
      std::uint64_t words[4];
      std::memcpy(words, &placed, sizeof words);
      std::uint16_t stored[4];
      for (int j = 0; j < 4; ++j) {
        stored[j] = static_cast<std::uint16_t>((words[j] & 0xFFFF) ^ 0x8000);  // u − 32768
      }
      std::memcpy(bytes + 2 * k, stored, sizeof stored);
    }
  }
  for (; k < count; ++k) {
    store_le16(bytes + 2 * k, static_cast<std::uint16_t>(sample_to_s16(samples[k])));
  }
}

void write_wave_header(output_file& sound, std::int32_t sample_rate, std::int32_t bits_per_sample,
                       std::int32_t sample_count) {
  const auto header = wave_header(sample_rate, bits_per_sample, sample_count);
  write_output_at(sound, header.data(), header.size(), 0);
}

void write_wave_samples(output_file& sound, const double* samples, std::int64_t first,
                        std::int32_t count, std::uint8_t* bytes) {
  store_wave_samples(samples, count, bytes);
  write_output_at(sound, bytes, 2 * static_cast<std::size_t>(count),
                  wave_header_size + 2 * static_cast<std::uint64_t>(first));
}

void write_wave(const wave_data* wave, const char* path) {
  output_file sound = create_replacement(path);
  write_wave_header(sound, wave->sample_rate, wave->bits_per_sample, wave->sample_count);
  constexpr std::int32_t block = 32768;
  std::vector<std::uint8_t> bytes(2 * block);
  for (std::int32_t start = 0; start < wave->sample_count; start += block) {
    const std::int32_t length = std::min(block, wave->sample_count - start);
    write_wave_samples(sound, wave->samples.get() + start, start, length, bytes.data());
  }
  close_output(sound, true);
  give_final_name(sound);
}
