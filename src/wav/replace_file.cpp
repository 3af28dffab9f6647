#include "wav/replace_file.hpp"

#include "core/io_error.hpp"

replacement_file::replacement_file(const char* path)
    : temporary_path(std::string(path) + "." + std::to_string(platform::process_id()) + ".partial"),
      final_path(path) {
  file = platform::create_new(temporary_path.c_str());
  if (!file.is_open()) {
    // A file by this name was left by an earlier process with this one's
    // number (one killed before it could remove it; Windows hands numbers
    // out again soon): no process alive owns it.
    const std::string reason = platform::failure_reason();
    if (platform::remove_file(temporary_path.c_str())) {
      file = platform::create_new(temporary_path.c_str());
    }
    if (!file.is_open()) {
      throw io_error(final_path, "cannot create: " + reason);
    }
  }
  platform::remove_on_interrupt(temporary_path.c_str());
}

replacement_file::~replacement_file() {
  platform::close_file(file);
  if (!temporary_path.empty()) {
    platform::remove_file(temporary_path.c_str());
    platform::forget_on_interrupt();
  }
}

void write_replacement(replacement_file& pending, const void* bytes, std::size_t count) {
  if (!platform::write_next(pending.file, bytes, count)) {
    throw io_error(pending.final_path, "cannot write: " + platform::failure_reason());
  }
}

void close_replacement(replacement_file& pending) {
  if (!platform::close_file(pending.file)) {
    throw io_error(pending.final_path, "cannot write: " + platform::failure_reason());
  }
}

void commit_replacement(replacement_file& pending) {
  close_replacement(pending);
  if (!platform::replace_file(pending.temporary_path.c_str(), pending.final_path.c_str())) {
    throw io_error(pending.final_path, "cannot replace: " + platform::failure_reason());
  }
  platform::forget_on_interrupt();
  pending.temporary_path.clear();
}
