#pragma once

// The threads that share a run's computing: this one and helpers kept for
// the whole run (starting threads for every short job would cost more than
// some jobs). Every output sample depends on the input alone, and every
// block of a file has its own place, so work shared in any order gives
// exactly what one thread in order gives.

#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

// The workers worth having here: one per processor this process may use,
// up to a cap. Past it the run waits on its files, each of which takes one
// write at a time, and more workers only wait with it.
int useful_workers();
inline constexpr int most_workers = 8;

class worker_pool {
 public:
  // `workers` threads in all, this one included; fewer where the system
  // gives no more threads. At least one.
  explicit worker_pool(int workers);
  worker_pool(const worker_pool&) = delete;
  worker_pool& operator=(const worker_pool&) = delete;
  ~worker_pool();

  int workers() const { return static_cast<int>(helpers_.size()) + 1; }

  // Runs job(w) for every worker w, 0 on this thread, and waits for all.
  // Rethrows the failure of the lowest-numbered worker that failed.
  void run(const std::function<void(int worker)>& job);

 private:
  void serve(int worker);

  std::vector<std::thread> helpers_;
  std::mutex mutex_;  // guards what follows
  std::condition_variable start_;
  std::condition_variable finished_;
  const std::function<void(int)>* job_ = nullptr;
  std::vector<std::exception_ptr> failures_;
  std::uint64_t round_ = 0;
  int running_ = 0;
  bool quit_ = false;
};

// [from, to) cut into `parts` nearly equal pieces: piece `part`.
inline std::pair<std::int64_t, std::int64_t> piece_of(std::int64_t from, std::int64_t to, int part,
                                                      int parts) {
  const std::int64_t length = to - from;
  return {from + length * part / parts, from + length * (part + 1) / parts};
}
