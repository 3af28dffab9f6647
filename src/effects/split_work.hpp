#pragma once

// Sharing an effect's samples between two cores. Every output sample of an
// effect depends on the input alone, so computing them in any order, on any
// thread, gives exactly what one pass in order gives.

#include <algorithm>
#include <cstdint>
#include <system_error>
#include <thread>

// Runs work(begin, end) over the whole of [0, count) in chunks: on a machine
// with more than one core, a helper thread takes every other chunk (so that
// costlier stretches are shared too). Small jobs, and a thread that cannot
// be had, run on the calling thread alone.
template <class Work>
void split_work(std::int64_t count, Work work) {
  constexpr std::int64_t chunks = 64;
  constexpr std::int64_t worth_a_thread = std::int64_t{1} << 18;
  const std::int64_t chunk = std::max<std::int64_t>(1, (count + chunks - 1) / chunks);
  auto every_other = [&](std::int64_t first) {
    for (std::int64_t begin = first * chunk; begin < count; begin += 2 * chunk) {
      work(begin, std::min(count, begin + chunk));
    }
  };
  if (count < worth_a_thread || std::thread::hardware_concurrency() < 2) {
    work(std::int64_t{0}, count);
    return;
  }
  std::thread helper;
  try {
    helper = std::thread(every_other, std::int64_t{1});
  } catch (const std::system_error&) {
    work(std::int64_t{0}, count);
    return;
  }
  every_other(0);
  helper.join();
}
