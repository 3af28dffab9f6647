#include "core/wave_record.hpp"

#include <new>

sample_array allocate_samples(std::int32_t count) {
  if (count <= 0) {
    return sample_array{};
  }
  void* memory = std::calloc(static_cast<std::size_t>(count), sizeof(double));
  if (memory == nullptr) {
    throw std::bad_alloc{};
  }
  return sample_array{static_cast<double*>(memory)};
}
