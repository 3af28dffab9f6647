#pragma once

// Two jobs at once, on two cores: for the reader, the effects and the
// driver alike. Every output sample of an effect depends on the input
// alone, and every block of a file has its own place, so the work can be
// shared in any order and gives exactly what one pass in order gives.

#include <algorithm>
#include <cstdint>
#include <exception>
#include <system_error>
#include <thread>

// Runs `beside` on a helper thread while `main` runs on this one, and waits
// for both; for jobs that wait on each other. Returns false, having run
// neither, without a second core or a thread to be had. A failure of
// `main` is reported before one of `beside`.
template <class Main, class Beside>
bool run_together(Main main, Beside beside) {
  if (std::thread::hardware_concurrency() < 2) {
    return false;
  }
  std::exception_ptr beside_failure;
  std::thread helper;
  try {
    helper = std::thread([&] {
      try {
        beside();
      } catch (...) {
        beside_failure = std::current_exception();
      }
    });
  } catch (const std::system_error&) {
    return false;
  }
  std::exception_ptr main_failure;
  try {
    main();
  } catch (...) {
    main_failure = std::current_exception();
  }
  helper.join();
  if (main_failure) {
    std::rethrow_exception(main_failure);
  }
  if (beside_failure) {
    std::rethrow_exception(beside_failure);
  }
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
