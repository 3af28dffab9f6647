// Removing a half-written file when the program is interrupted: standard C
// signals, the same on every system; only the removal is the system's.

#include <csignal>
#include <cstring>

#include "platform/files.hpp"

namespace platform {

namespace {

// A signal handler may only use what is async-signal-safe, so the name of
// the file to remove waits in a fixed buffer.
char pending_path[4096];

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
  remove_now(pending_path);
  std::signal(signal_number, SIG_DFL);
  std::raise(signal_number);
}

}  // namespace

void remove_on_interrupt(const char* path) {
  const std::size_t length = std::strlen(path);
  if (length >= sizeof pending_path) {
    return;
  }
  std::memcpy(pending_path, path, length + 1);
  for (int signal_number : interrupt_signals) {
    std::signal(signal_number, remove_pending_and_reraise);
  }
}

void forget_on_interrupt() {
  for (int signal_number : interrupt_signals) {
    std::signal(signal_number, SIG_DFL);
  }
  pending_path[0] = '\0';
}

}  // namespace platform
