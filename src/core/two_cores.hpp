#pragma once

// Two jobs at once, on two cores: for the reader, the effects and the
// driver alike. Every output sample of an effect depends on the input
// alone, and every block of a file has its own place, so the work can be
// shared in any order and gives exactly what one pass in order gives.

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <system_error>
#include <thread>

// A helper thread kept for a long series of short jobs, each shared by the
// two cores: starting a thread for every one would cost more than some of
// them. Without a second core (or a thread to be had) there is one worker.
class worker_pair {
 public:
  worker_pair() {
    if (std::thread::hardware_concurrency() < 2) {
      return;
    }
    try {
      helper_ = std::thread([this] { serve(); });
    } catch (const std::system_error&) {
    }
  }
  worker_pair(const worker_pair&) = delete;
  worker_pair& operator=(const worker_pair&) = delete;
  ~worker_pair() {
    if (helper_.joinable()) {
      {
        const std::lock_guard<std::mutex> lock(mutex_);
        quit_ = true;
      }
      changed_.notify_all();
      helper_.join();
    }
  }

  int workers() const { return helper_.joinable() ? 2 : 1; }

  // Runs job(0) on this thread and job(1) on the helper, and waits for both
  // (job(0) alone with one worker). A failure of job(0) is reported before
  // one of job(1).
  template <class Job>
  void run(Job job) {
    if (!helper_.joinable()) {
      job(0);
      return;
    }
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      job_ = [&job] { job(1); };
      helper_failure_ = nullptr;
      busy_ = true;
    }
    changed_.notify_all();
    std::exception_ptr main_failure;
    try {
      job(0);
    } catch (...) {
      main_failure = std::current_exception();
    }
    std::exception_ptr helper_failure;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait(lock, [this] { return !busy_; });
      helper_failure = helper_failure_;
      job_ = nullptr;
    }
    if (main_failure) {
      std::rethrow_exception(main_failure);
    }
    if (helper_failure) {
      std::rethrow_exception(helper_failure);
    }
  }

 private:
  void serve() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      changed_.wait(lock, [this] { return busy_ || quit_; });
      if (quit_) {
        return;
      }
      lock.unlock();
      std::exception_ptr failure;
      try {
        job_();
      } catch (...) {
        failure = std::current_exception();
      }
      lock.lock();
      helper_failure_ = failure;
      busy_ = false;
      changed_.notify_all();
    }
  }

  std::thread helper_;
  std::mutex mutex_;  // guards what follows
  std::condition_variable changed_;
  std::function<void()> job_;
  std::exception_ptr helper_failure_;
  bool busy_ = false;
  bool quit_ = false;
};

// Runs `beside` on a helper thread while `main` runs on this one, and waits
// for both; for jobs that wait on each other. Returns false, having run
// neither, without a second core or a thread to be had. A failure of
// `main` is reported before one of `beside`.
template <class Main, class Beside>
bool run_together(Main main, Beside beside) {
  worker_pair pair;
  if (pair.workers() < 2) {
    return false;
  }
  pair.run([&](int worker) {
    if (worker == 0) {
      main();
    } else {
      beside();
    }
  });
  return true;
}

// The same for jobs that do not wait on each other: without a helper
// thread, `main` runs first and `beside` after (unless `main` failed).
template <class Main, class Beside>
void run_side_by_side(Main main, Beside beside) {
  if (!run_together(main, beside)) {
    main();
    beside();
  }
}

// Runs work(begin, end) over the whole of [0, count) in chunks, the two
// cores taking every other chunk (so that costlier stretches are shared
// too). Small jobs run on the calling thread alone.
template <class Work>
void split_work(std::int64_t count, Work work) {
  constexpr std::int64_t chunks = 64;
  constexpr std::int64_t worth_a_thread = std::int64_t{1} << 18;
  if (count < worth_a_thread) {
    work(std::int64_t{0}, count);
    return;
  }
  const std::int64_t chunk = (count + chunks - 1) / chunks;
  auto every_other = [&](std::int64_t first) {
    for (std::int64_t begin = first * chunk; begin < count; begin += 2 * chunk) {
      work(begin, std::min(count, begin + chunk));
    }
  };
  run_side_by_side([&] { every_other(0); }, [&] { every_other(1); });
}
