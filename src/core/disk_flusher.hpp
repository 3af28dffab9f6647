#pragma once

// A file written over a long run reaches the disk itself while the run goes
// on: a thread of its own flushes it now and then, so that the flush that
// makes it whole at the end waits only for what came after the last one.
// On a disk that holds written data in a cache of its own (a virtual
// machine's, say), that last flush otherwise waits for every byte.

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "core/output_file.hpp"

class disk_flusher {
 public:
  // A flush for every `interval` bytes written to `out`.
  disk_flusher(output_file& out, std::uint64_t interval);
  disk_flusher(const disk_flusher&) = delete;
  disk_flusher& operator=(const disk_flusher&) = delete;
  ~disk_flusher();  // waits for a flush in progress

  // `bytes` more were written (and are to be kept). Starts a flush once
  // `interval` have been written since the last, unless one is still in
  // progress. Throws io_error once a flush has failed.
  void written(std::uint64_t bytes);

  // Waits for a flush in progress. Throws io_error if any failed: a
  // failure a flush reported is not always reported again to the next.
  void finish();

 private:
  void serve();
  void throw_if_failed() const;  // with mutex_ held

  output_file& out_;
  const std::uint64_t interval_;
  std::uint64_t unflushed_ = 0;
  std::thread thread_;
  std::mutex mutex_;  // guards what follows
  std::condition_variable changed_;
  bool requested_ = false;
  bool busy_ = false;
  bool quit_ = false;
  std::string failure_;  // the first flush's failure, if one failed
};
