#pragma once

// The run's sample buffers that span many pages (the input window and the
// output stretch: megabytes on a long recording), mapped before they are
// used rather than a page at a time as they are first written.

#include <cstddef>
#include <memory>

struct large_buffer_delete {
  std::size_t alignment;
  void operator()(double* samples) const;
};
using large_buffer = std::unique_ptr<double[], large_buffer_delete>;

// An array of `count` doubles, their values unset. From a quarter of a
// large page on it starts on a large page, so that the system can map its
// whole large pages one at a time; a window a little longer than a large
// page (a stretch and an effect's reach) is not filled out to two. Throws
// std::bad_alloc when the memory is not there.
large_buffer make_large_buffer(std::size_t count);

// The same, but only the first `mapped` of the `count` values are mapped
// ahead (from a quarter of a large page on, rounded up to whole large
// pages within the array): for an array sized for the worst case that
// most uses fill only the start of.
large_buffer make_large_buffer(std::size_t count, std::size_t mapped);
