#include "core/output_file.hpp"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <optional>
#include <string_view>
#include <system_error>

#include "core/io_error.hpp"

namespace {

constexpr std::string_view temporary_suffix = ".partial";

std::string temporary_name(const std::string& name, unsigned long process) {
  return name + "." + std::to_string(process) + std::string(temporary_suffix);
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

[[noreturn]] void cannot(const output_file& out, const char* what) {
  throw io_error(out.name, std::string(what) + ": " + platform::failure_reason());
}

}  // namespace

output_file::~output_file() {
  platform::close_file(file);
  if (!temporary_path.empty()) {
    platform::remove_file(temporary_path.c_str());
    platform::forget_on_interrupt(temporary_path.c_str());
  }
}

output_file open_output(const char* name) {
  output_file out{platform::open_for_writing(name), name};
  if (!out.file.is_open()) {
    cannot(out, "cannot create");
  }
  return out;
}

output_file create_replacement(const char* name) {
  output_file out{{}, name};
  const std::string path = temporary_name(name, platform::process_id());
  // Named for removal before it exists: an interrupt between its making
  // and its naming would leave it behind.
  platform::remove_on_interrupt(path.c_str());
  out.file = platform::create_new(path.c_str());
  if (!out.file.is_open()) {
    // A file by this name was left by an earlier process with this one's
    // number (one killed before it could remove it; Windows hands numbers
    // out again soon): no process alive owns it.
    const std::string reason = platform::failure_reason();
    if (platform::remove_file(path.c_str())) {
      out.file = platform::create_new(path.c_str());
    }
    if (!out.file.is_open()) {
      platform::forget_on_interrupt(path.c_str());
      throw io_error(name, "cannot create: " + reason);
    }
  }
  out.temporary_path = path;
  return out;
}

void remove_abandoned_replacements(const char* name, bool no_other_run) {
  const std::filesystem::path final_path(name);
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

void write_output_at(output_file& out, const void* bytes, std::size_t count, std::uint64_t offset) {
  if (!platform::write_at(out.file, bytes, count, offset)) {
    cannot(out, "cannot write");
  }
}

void set_output_size(output_file& out, std::uint64_t size) {
  if (!platform::set_file_size(out.file, size)) {
    cannot(out, "cannot write");
  }
}

void empty_output(output_file& out) {
  if (!platform::empty_file(out.file, out.name.c_str())) {
    cannot(out, "cannot empty");
  }
}

std::optional<output_file> write_over_earlier(output_file& fresh, platform::file earlier) {
  if (!platform::exchange_names(fresh.temporary_path.c_str(), fresh.name.c_str())) {
    return std::nullopt;
  }
  // The temporary name, still to be removed on every way out, now leads to
  // the earlier file.
  output_file over{earlier, fresh.name};
  over.temporary_path = std::exchange(fresh.temporary_path, {});
  over.over_earlier = true;
  return over;
}

void give_final_name(output_file& out) {
  if (out.temporary_path.empty()) {
    return;
  }
  // A file written over the earlier one swaps back with the empty one that
  // held its name. Renamed over it, the text would first go to the disk
  // wherever it ran past the earlier file's end: ext4 writes out a file
  // renamed over another, its guard for programs that replace files so.
  bool renamed = false;
  if (out.over_earlier && platform::exchange_names(out.temporary_path.c_str(), out.name.c_str())) {
    platform::remove_file(out.temporary_path.c_str());  // else the next run removes it
    renamed = true;
  } else {
    renamed = platform::replace_file(out.temporary_path.c_str(), out.name.c_str());
  }
  const std::string reason = renamed ? std::string() : platform::failure_reason();
  if (!renamed) {
    platform::remove_file(out.temporary_path.c_str());
  }
  platform::forget_on_interrupt(out.temporary_path.c_str());
  out.temporary_path.clear();
  if (!renamed) {
    throw io_error(out.name, "cannot replace: " + reason);
  }
}

void close_output(output_file& out, bool to_disk) {
  if (to_disk && out.file.is_open() && !platform::flush_to_disk(out.file)) {
    cannot(out, "cannot write");
  }
  if (!platform::close_file(out.file)) {
    cannot(out, "cannot write");
  }
}
