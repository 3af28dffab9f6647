#include "core/disk_flusher.hpp"

#include <system_error>

#include "core/io_error.hpp"

disk_flusher::disk_flusher(output_file& out, std::uint64_t interval)
    : out_(out), interval_(interval) {}

disk_flusher::~disk_flusher() {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    quit_ = true;
  }
  changed_.notify_all();
  if (thread_.joinable()) {
    thread_.join();
  }
}

void disk_flusher::written(std::uint64_t bytes) {
  std::unique_lock<std::mutex> lock(mutex_);
  throw_if_failed();
  unflushed_ += bytes;
  if (unflushed_ < interval_ || busy_ || requested_) {
    return;
  }
  if (!thread_.joinable()) {
    try {
      thread_ = std::thread([this] { serve(); });
    } catch (const std::system_error&) {
      return;  // the flush at the end does it all
    }
  }
  unflushed_ = 0;
  requested_ = true;
  lock.unlock();
  changed_.notify_all();
}

void disk_flusher::finish() {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return !busy_ && !requested_; });
  throw_if_failed();
}

void disk_flusher::serve() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return quit_ || requested_; });
    if (quit_) {
      return;
    }
    requested_ = false;
    busy_ = true;
    lock.unlock();
    const bool flushed = platform::flush_to_disk(out_.file);
    const std::string reason = flushed ? std::string() : platform::failure_reason();
    lock.lock();
    busy_ = false;
    if (!flushed && failure_.empty()) {
      failure_ = "cannot write: " + reason;
    }
    changed_.notify_all();
  }
}

void disk_flusher::throw_if_failed() const {
  if (!failure_.empty()) {
    throw io_error(out_.name, failure_);
  }
}
