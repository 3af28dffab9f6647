#include "wav/wave_data.hpp"

#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

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

void prepare_samples(double* samples, std::int64_t count) {
#if defined(__linux__) && defined(MADV_POPULATE_WRITE)
  // Only the pages wholly inside the stretch: a page shared with a
  // neighbouring stretch is left to fault as usual. A kernel without the
  // request refuses it, and nothing is lost.
  static const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  const auto begin = reinterpret_cast<std::uintptr_t>(samples);
  const std::uintptr_t end = begin + static_cast<std::uintptr_t>(count) * sizeof(double);
  const std::uintptr_t first = (begin + page - 1) / page * page;
  const std::uintptr_t last = end / page * page;
  if (count > 0 && first < last) {
    madvise(reinterpret_cast<void*>(first), last - first, MADV_POPULATE_WRITE);
  }
#else
  (void)samples;
  (void)count;
#endif
}
