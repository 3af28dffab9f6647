#pragma once

// Two jobs at once, for the reader and the driver alike: much of a run is
// the kernel's work (pages mapped for samples, files emptied, text copied
// into the page cache), which a second core can do while the first reads
// or formats.

#include <exception>
#include <system_error>
#include <thread>

// Runs `beside` on a helper thread while `main` runs on this one, and waits
// for both. A failure of `main` is reported before one of `beside`. Without
// a second core, or a thread to be had, `main` runs first and `beside` after.
template <class Main, class Beside>
void run_side_by_side(Main main, Beside beside) {
  std::exception_ptr beside_failure;
  auto guarded = [&] {
    try {
      beside();
    } catch (...) {
      beside_failure = std::current_exception();
    }
  };
  std::thread helper;
  if (std::thread::hardware_concurrency() > 1) {
    try {
      helper = std::thread(guarded);
    } catch (const std::system_error&) {
      // no helper: both jobs on this thread
    }
  }
  std::exception_ptr main_failure;
  try {
    main();
  } catch (...) {
    main_failure = std::current_exception();
  }
  if (helper.joinable()) {
    helper.join();
  } else if (!main_failure) {
    guarded();
  }
  if (main_failure) {
    std::rethrow_exception(main_failure);
  }
  if (beside_failure) {
    std::rethrow_exception(beside_failure);
  }
}
