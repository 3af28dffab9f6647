// Removing a half-written file when the program is interrupted: standard C
// signals, the same on every system; only the removal is the system's.

#include <atomic>
#include <csignal>
#include <cstring>

#include "platform/files.hpp"

namespace platform {

namespace {

// A signal handler may only use what is async-signal-safe, so the names of
// the files to remove wait in fixed buffers, each marked in use only once
// it is whole. The handler may run on any thread: the marks are atomics,
// which lock-free are safe to read there.
char pending_paths[interrupt_paths][4096];
std::atomic<bool> pending[interrupt_paths];
static_assert(std::atomic<bool>::is_always_lock_free);

constexpr int interrupt_signals[] = {
    SIGINT, SIGTERM,
#if defined(SIGHUP)
    SIGHUP,  // the terminal closed
#endif
#if defined(SIGBREAK)
    SIGBREAK,  // Ctrl-Break, or the console window closed
#endif
};

extern "C" void remove_pending_and_reraise(int signal_number) {
  for (int k = 0; k < interrupt_paths; ++k) {
    if (pending[k].load(std::memory_order_acquire)) {
      remove_now(pending_paths[k]);
    }
  }
  std::signal(signal_number, SIG_DFL);
  std::raise(signal_number);
}

}  // namespace

void remove_on_interrupt(const char* path) {
  const std::size_t length = std::strlen(path);
  for (int k = 0; k < interrupt_paths; ++k) {
    if (!pending[k].load(std::memory_order_relaxed) && length < sizeof pending_paths[k]) {
      std::memcpy(pending_paths[k], path, length + 1);
      pending[k].store(true, std::memory_order_release);
      for (int signal_number : interrupt_signals) {
        std::signal(signal_number, remove_pending_and_reraise);
      }
      return;
    }
  }
}

void forget_on_interrupt(const char* path) {
  bool forgotten = false;
  bool any = false;
  for (int k = 0; k < interrupt_paths; ++k) {
    if (!forgotten && pending[k].load(std::memory_order_relaxed) &&
        std::strcmp(pending_paths[k], path) == 0) {
      pending[k].store(false, std::memory_order_release);
      forgotten = true;
    }
    any = any || pending[k].load(std::memory_order_relaxed);
  }
  if (!any) {
    for (int signal_number : interrupt_signals) {
      std::signal(signal_number, SIG_DFL);
    }
  }
}

}  // namespace platform
