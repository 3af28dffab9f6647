#include "core/worker_pool.hpp"

#include <algorithm>
#include <system_error>

#include "platform/files.hpp"

int useful_workers() { return std::clamp(platform::usable_processors(), 1, most_workers); }

worker_pool::worker_pool(int workers) {
  for (int worker = 1; worker < workers; ++worker) {
    try {
      helpers_.emplace_back([this, worker] { serve(worker); });
    } catch (const std::system_error&) {
      break;  // as many as there are
    }
  }
  failures_.resize(helpers_.size() + 1);
}

worker_pool::~worker_pool() {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    quit_ = true;
  }
  start_.notify_all();
  for (std::thread& helper : helpers_) {
    helper.join();
  }
}

void worker_pool::run(const std::function<void(int)>& job) {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    job_ = &job;
    std::fill(failures_.begin(), failures_.end(), nullptr);
    running_ = static_cast<int>(helpers_.size());
    ++round_;
  }
  start_.notify_all();
  try {
    job(0);
  } catch (...) {
    failures_[0] = std::current_exception();
  }
  std::unique_lock<std::mutex> lock(mutex_);
  finished_.wait(lock, [this] { return running_ == 0; });
  job_ = nullptr;
  for (const std::exception_ptr& failure : failures_) {
    if (failure) {
      std::rethrow_exception(failure);
    }
  }
}

void worker_pool::serve(int worker) {
  std::uint64_t done = 0;
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    start_.wait(lock, [&] { return quit_ || round_ != done; });
    if (quit_) {
      return;
    }
    done = round_;
    const std::function<void(int)>* job = job_;
    lock.unlock();
    std::exception_ptr failure;
    try {
      (*job)(worker);
    } catch (...) {
      failure = std::current_exception();
    }
    lock.lock();
    failures_[worker] = failure;
    if (--running_ == 0) {
      finished_.notify_all();
    }
  }
}
