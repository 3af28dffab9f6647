#pragma once

// The operating system's side of the program: the few file, process and
// memory operations it needs, with a POSIX implementation (files_posix.cpp) and a
// Win32 one (files_win32.cpp), chosen at build time. Nothing else in the
// program includes a system header.
//
// A call that fails returns false (or a file that is not open) and leaves
// the reason in plain words ("no such file or directory") for
// failure_reason(), on the thread that made the call.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace platform {

// An open file: a descriptor or a handle, -1 when not open. Plain value;
// close_file ends it.
struct file {
  std::intptr_t native = -1;
  bool is_open() const { return native != -1; }
};

// The reason the last failed call of this thread failed.
std::string failure_reason();
// The reason behind a C library errno value, in lower case to read well
// after a colon ("no such file or directory").
std::string error_number_reason(int error_number);

// The end of a line in a text file, as a text-mode stream writes "\n".
#if defined(_WIN32)
inline constexpr std::string_view text_line_end = "\r\n";
#else
inline constexpr std::string_view text_line_end = "\n";
#endif

// For reading; fails on what cannot be opened so (a missing file).
file open_for_reading(const char* path);
// For writing, created empty when missing and left as it is otherwise.
file open_for_writing(const char* path);
// For writing, created here and now: fails when the name exists, so that
// nothing is ever written through a name someone else holds.
file create_new(const char* path);
// Closes the file; false when the system reports that written bytes were
// lost. A file that is not open is left alone.
bool close_file(file& f);
// Waits until what was written to `f` is on the disk itself.
bool flush_to_disk(file f);
// Asks the system to start writing [offset, offset + size) of `f` to the
// disk now, without waiting, so that a later flush_to_disk has less left
// to wait for. A hint: where there is no such request it does nothing.
void start_writing_out(file f, std::uint64_t offset, std::uint64_t size);

struct file_facts {
  bool regular;     // a plain file, not a device, pipe or directory
  bool directory;   // a directory (opened for reading)
  bool positioned;  // takes writes at an offset: a regular file, or a device such as /dev/null
  std::uint64_t size;
};
bool describe(file f, file_facts* facts);

// Reads up to `count` bytes at `offset`; `*got` is 0 at the end of the file.
bool read_at(file f, void* bytes, std::size_t count, std::uint64_t offset, std::size_t* got);
// Writes all `count` bytes at `offset` of a regular file.
bool write_at(file f, const void* bytes, std::size_t count, std::uint64_t offset);
// Writes all `count` bytes after those written before: the one way into a
// device or a pipe, where offsets mean nothing.
bool write_next(file f, const void* bytes, std::size_t count);

// Empties the file held open as `f`, which was opened as `path`; a device or
// a pipe has nothing to empty and is left as it is.
bool empty_file(file f, const char* path);

// Sets the length of the file held open as `f`, cutting what lies past it.
bool set_file_size(file f, std::uint64_t size);

// Renames `from` over `to` in one step: `to` is always either the earlier
// file or the new one, never a mix or nothing.
bool replace_file(const char* from, const char* to);
// Swaps the files that `a` and `b` name, in one step. False where the
// system or the file system cannot: Windows, POSIX systems other than
// Linux, some network file systems.
bool exchange_names(const char* a, const char* b);
bool remove_file(const char* path);

// Opens `path`, about to be replaced, for the caller to close (close_file)
// when it chooses; where that gains nothing, or cannot be done, gives a
// file that is not open.
file hold_replaced(const char* path);

// An exclusive lock on `f`, taken without waiting and held until `f` is
// closed (or the process ends, however it ends). Advisory: it keeps out
// only those who ask for it too.
enum class lock_result {
  locked,
  busy,        // another process holds it
  unsupported  // this file system (or kind of file) has no such locks
};
lock_result lock_exclusively(file f);

// A number that tells this process from others running now.
unsigned long process_id();
// Whether a process with that number may be running: false only when it
// surely is not.
bool process_may_be_running(unsigned long id);

// Removes `path` if the program is stopped by an interrupt (Ctrl-C, a
// hangup or a termination request) before forget_on_interrupt(path) is
// called; up to interrupt_paths paths at a time, more are not removed.
// (interrupts.cpp, through remove_now.)
inline constexpr int interrupt_paths = 4;
void remove_on_interrupt(const char* path);
void forget_on_interrupt(const char* path);
// Removes `path` with nothing but what a signal handler may call, and
// reports nothing.
void remove_now(const char* path);

// The large page of x86-64, and of aarch64 with 4 KiB pages.
inline constexpr std::size_t large_page_bytes = std::size_t{2} << 20;

// Asks the system to map [memory, memory + bytes), memory from the allocator
// that the caller is about to write most of, now and in one request: in
// large pages where it spans whole ones and the system offers them
// (Linux's transparent ones), in small ones elsewhere. Left to the
// first writes, every small page costs a trap of its own, and under some
// virtual machines a costly one. A hint: the contents stay as they are, and
// where there is no such request it does nothing.
void prepare_memory(void* memory, std::size_t bytes);

// What the process sets up before anything else. A standard stream that
// was left closed (stdout, when a launcher closes it) is opened on the null
// device: no file of the run can then take its place, and what would have
// been written to it goes nowhere. A file-size limit shows as a failed
// write instead of killing the program mid-file.
void prepare_process();

// How many processors this process may run on (its affinity, where the
// system has one), at least 1.
int usable_processors();

// Whether `path` leads to the open file `f`.
bool names_file(const char* path, file f);

// Whether a new file could take the place of `f`, the file that `path`
// names, with nobody able to tell but by its contents: `path` names it
// directly (not through a symbolic link), it is a regular file with no other
// name, and it belongs to this process's user. Where the system cannot
// tell, false.
bool may_take_place_of(file f, const char* path);

// Gives `to` the permission bits of `from`.
bool copy_permissions(file from, file to);

// A second handle of `f`, sharing its position and its lock, closed on its
// own.
file duplicate(file f);

}  // namespace platform
