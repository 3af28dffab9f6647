#pragma once

// The run's buffers that span many pages (the input window, the output
// stretch, the workers' room for dump text: megabytes on a long
// recording), mapped before they are used rather than a page at a time as
// they are first written.

#include <cstddef>
#include <memory>

struct large_buffer_delete {
  std::size_t alignment;
  void operator()(double* samples) const;
};
using large_buffer = std::unique_ptr<double[], large_buffer_delete>;

// An array of `count` doubles, their values unset. From a quarter of a
// large page on it starts on a large page, and takes a whole one if it is
// shorter, so that the system can map it a large page at a time; past one,
// only its whole large pages are mapped so (a window a little longer than
// a large page, a stretch and an effect's reach, is not mapped out to
// two). Throws std::bad_alloc when the memory is not there.
large_buffer make_large_buffer(std::size_t count);
