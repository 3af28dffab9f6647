#include "wav/references.hpp"

#include <algorithm>
#include <utility>

#include "wav/wave_layout.hpp"

namespace {

void fill_record(const wave_layout& layout, sample_array samples, wave_data* wave) {
  wave->sample_rate = layout.sample_rate;
  wave->bits_per_sample = layout.bits_per_sample;
  wave->sample_count = layout.sample_count();
  wave->samples = std::move(samples);
}

}  // namespace

void read_wave_bytes(std::span<const std::uint8_t> file, wave_data* wave, const char* name,
                     std::FILE* warnings) {
  const read_bytes_at from_memory = [file](std::uint64_t offset, std::span<std::uint8_t> bytes) {
    std::copy_n(file.data() + offset, bytes.size(), bytes.data());
  };
  const wave_layout layout = find_wave_layout(from_memory, file.size(), name);
  warn_of_clamped_size(layout, name, warnings);
  sample_array samples = allocate_samples(layout.sample_count());
  convert_samples(file.data() + layout.data_offset, samples.get(), layout.sample_count(),
                  layout.byte_order);
  fill_record(layout, std::move(samples), wave);
}
