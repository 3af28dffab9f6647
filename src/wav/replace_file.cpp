#include "wav/replace_file.hpp"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <optional>
#include <string_view>
#include <system_error>

#include "core/io_error.hpp"

namespace {

// The temporary file of `path` is "<path>.<process number>.partial".
constexpr std::string_view temporary_suffix = ".partial";

std::string temporary_name(const std::string& path, unsigned long process) {
  return path + "." + std::to_string(process) + std::string(temporary_suffix);
}

// The process number in a temporary name of `final_name`, if it is one.
std::optional<unsigned long> writer_of(std::string_view name, std::string_view final_name) {
  if (name.size() <= final_name.size() + 1 + temporary_suffix.size() ||
      name.substr(0, final_name.size()) != final_name || name[final_name.size()] != '.' ||
      name.substr(name.size() - temporary_suffix.size()) != temporary_suffix) {
    return std::nullopt;
  }
  const std::string_view digits = name.substr(
      final_name.size() + 1, name.size() - final_name.size() - 1 - temporary_suffix.size());
  if (digits.size() > 10 || !std::all_of(digits.begin(), digits.end(), [](char c) {
        return std::isdigit(static_cast<unsigned char>(c)) != 0;
      })) {
    return std::nullopt;
  }
  return std::stoul(std::string(digits));
}

}  // namespace

void remove_abandoned_replacements(const char* path, bool no_other_run) {
  const std::filesystem::path final_path(path);
  const std::string final_name = final_path.filename().string();
  std::filesystem::path directory = final_path.parent_path();
  if (directory.empty()) {
    directory = ".";
  }
  // A directory that cannot be listed has nothing this run could remove.
  std::error_code error;
  for (std::filesystem::directory_iterator entry(directory, error), end; !error && entry != end;
       entry.increment(error)) {
    const std::optional<unsigned long> writer =
        writer_of(entry->path().filename().string(), final_name);
    if (writer && (no_other_run || !platform::process_may_be_running(*writer))) {
      platform::remove_file(entry->path().string().c_str());
    }
  }
}

replacement_file::replacement_file(const char* path)
    : temporary_path(temporary_name(path, platform::process_id())), final_path(path) {
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

void write_replacement_at(replacement_file& pending, const void* bytes, std::size_t count,
                          std::uint64_t offset) {
  if (!platform::write_at(pending.file, bytes, count, offset)) {
    throw io_error(pending.final_path, "cannot write: " + platform::failure_reason());
  }
}

void close_replacement(replacement_file& pending) {
  // On the disk before it takes the earlier file's place: should the power
  // fail after the rename, the name leads to the whole new file, never to
  // one the disk had not finished.
  if (pending.file.is_open() && !platform::flush_to_disk(pending.file)) {
    throw io_error(pending.final_path, "cannot write: " + platform::failure_reason());
  }
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
