#include "core/large_buffer.hpp"

#include <algorithm>
#include <new>

#include "platform/files.hpp"

void large_buffer_delete::operator()(double* samples) const {
  ::operator delete (samples, std::align_val_t{alignment});
}

large_buffer make_large_buffer(std::size_t count) { return make_large_buffer(count, count); }

large_buffer make_large_buffer(std::size_t count, std::size_t mapped) {
  const std::size_t bytes = std::max<std::size_t>(count, 1) * sizeof(double);
  std::size_t mapped_bytes = std::min(mapped * sizeof(double), bytes);
  std::size_t alignment = alignof(double);
  if (bytes >= platform::large_page_bytes / 4) {
    alignment = platform::large_page_bytes;
  }
  if (mapped_bytes >= platform::large_page_bytes / 4) {
    const std::size_t page = platform::large_page_bytes;
    mapped_bytes = std::min(bytes, (mapped_bytes + page - 1) / page * page);
  }
  void* memory = ::operator new (bytes, std::align_val_t{alignment});
  platform::prepare_memory(memory, mapped_bytes);
  return large_buffer(static_cast<double*>(memory), large_buffer_delete{alignment});
}
