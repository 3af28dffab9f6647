#include "core/large_buffer.hpp"

#include <algorithm>
#include <new>

#include "platform/files.hpp"

void large_buffer_delete::operator()(double* samples) const {
  ::operator delete (samples, std::align_val_t{alignment});
}

large_buffer make_large_buffer(std::size_t count) {
  std::size_t bytes = std::max<std::size_t>(count, 1) * sizeof(double);
  std::size_t alignment = alignof(double);
  if (bytes >= platform::large_page_bytes / 4) {
    alignment = platform::large_page_bytes;
    bytes = std::max(bytes, platform::large_page_bytes);
  }
  void* memory = ::operator new (bytes, std::align_val_t{alignment});
  platform::prepare_memory(memory, bytes);
  return large_buffer(static_cast<double*>(memory), large_buffer_delete{alignment});
}
