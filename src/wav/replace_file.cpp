#include "wav/replace_file.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

#include "wav/io_error.hpp"

namespace {

// The signal handler may only use what is async-signal-safe, so the name of
// the file to remove waits in a fixed buffer.
char pending_path[4096];
constexpr int cleanup_signals[] = {SIGINT, SIGTERM, SIGHUP};

extern "C" void remove_pending_and_reraise(int signal_number) {
  unlink(pending_path);
  std::signal(signal_number, SIG_DFL);
  std::raise(signal_number);
}

void watch_signals(const std::string& path) {
  if (path.size() >= sizeof pending_path) {
    return;
  }
  std::memcpy(pending_path, path.c_str(), path.size() + 1);
  for (int signal_number : cleanup_signals) {
    std::signal(signal_number, remove_pending_and_reraise);
  }
}

void unwatch_signals() {
  for (int signal_number : cleanup_signals) {
    std::signal(signal_number, SIG_DFL);
  }
  pending_path[0] = '\0';
}

}  // namespace

replacement_file::replacement_file(const char* path)
    : temporary_path(std::string(path) + "." + std::to_string(getpid()) + ".partial"),
      final_path(path) {
  // O_EXCL: never write through a name that someone else already holds.
  const int descriptor = open(temporary_path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
  if (descriptor < 0) {
    throw io_error(final_path, "cannot create: " + system_reason(errno));
  }
  watch_signals(temporary_path);
  file = fdopen(descriptor, "wb");
  if (file == nullptr) {
    const int error_number = errno;
    close(descriptor);
    unlink(temporary_path.c_str());
    unwatch_signals();
    throw io_error(final_path, "cannot create: " + system_reason(error_number));
  }
}

replacement_file::~replacement_file() {
  if (file != nullptr) {
    std::fclose(file);
  }
  if (!temporary_path.empty()) {
    unlink(temporary_path.c_str());
    unwatch_signals();
  }
}

void close_replacement(replacement_file& pending) {
  const bool write_failed = std::fflush(pending.file) != 0 || std::ferror(pending.file) != 0;
  int error_number = errno;
  const bool close_failed = std::fclose(pending.file) != 0;
  if (!write_failed && close_failed) {
    error_number = errno;
  }
  pending.file = nullptr;
  if (write_failed || close_failed) {
    throw io_error(pending.final_path, "cannot write: " + system_reason(error_number));
  }
}

void commit_replacement(replacement_file& pending) {
  if (pending.file != nullptr) {
    close_replacement(pending);
  }
  if (std::rename(pending.temporary_path.c_str(), pending.final_path.c_str()) != 0) {
    throw io_error(pending.final_path, "cannot replace: " + system_reason(errno));
  }
  unwatch_signals();
  pending.temporary_path.clear();
}
