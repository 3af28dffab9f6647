// The platform layer on Windows, through the Win32 API.

#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "platform/files.hpp"

namespace platform {

namespace {

thread_local DWORD last_error = 0;
thread_local bool last_was_directory = false;

bool failed(const char* path = nullptr) {
  last_error = GetLastError();
  // Windows answers "access denied" where the name is a directory; say what
  // the user can act on.
  const DWORD attributes = path != nullptr ? GetFileAttributesA(path) : INVALID_FILE_ATTRIBUTES;
  last_was_directory = last_error == ERROR_ACCESS_DENIED && attributes != INVALID_FILE_ATTRIBUTES &&
                       (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  return false;
}

HANDLE handle(file f) { return reinterpret_cast<HANDLE>(f.native); }

file opened(HANDLE result, const char* path) {
  if (result == INVALID_HANDLE_VALUE) {
    failed(path);
    return file{};
  }
  return file{reinterpret_cast<std::intptr_t>(result)};
}

// Sharing as POSIX programs expect: others may read, write, rename and
// delete a file this program holds open.
constexpr DWORD share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

}  // namespace

std::string failure_reason() {
  if (last_was_directory) {
    return "is a directory";
  }
  switch (last_error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return "no such file or directory";
    case ERROR_ACCESS_DENIED:
      return "permission denied";
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return "file exists";
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return "no space left on device";
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return "the file is in use by another program";
    case ERROR_HANDLE_EOF:
      return "end of file";
    default:
      break;
  }
  char text[512] = {};
  const DWORD length = FormatMessageA(
      FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, last_error,
      MAKELANGID(LANG_ENGLISH, SUBLANG_DEFAULT), text, sizeof text, nullptr);
  std::string reason(text, length);
  while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r' ||
                             reason.back() == '.' || reason.back() == ' ')) {
    reason.pop_back();
  }
  if (reason.empty()) {
    return "system error " + std::to_string(last_error);
  }
  if (reason[0] >= 'A' && reason[0] <= 'Z') {
    reason[0] = static_cast<char>(reason[0] - 'A' + 'a');
  }
  return reason;
}

file open_for_reading(const char* path) {
  // FILE_FLAG_BACKUP_SEMANTICS lets a directory be opened too, so that the
  // caller can tell it from a missing file.
  return opened(CreateFileA(path, GENERIC_READ, share_all, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_BACKUP_SEMANTICS, nullptr),
                path);
}

file open_for_writing(const char* path) {
  return opened(CreateFileA(path, GENERIC_WRITE, share_all, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr),
                path);
}

file create_new(const char* path) {
  return opened(CreateFileA(path, GENERIC_WRITE, share_all, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL, nullptr),
                path);
}

bool close_file(file& f) {
  if (!f.is_open()) {
    return true;
  }
  const BOOL closed = CloseHandle(handle(f));
  f = file{};
  return closed != 0 || failed();
}

bool flush_to_disk(file f) { return FlushFileBuffers(handle(f)) != 0 || failed(); }

void start_writing_out(file, std::uint64_t, std::uint64_t) {}

// Windows has no request to map committed memory ahead of its first writes,
// and its large pages need a privilege a console program does not hold.
void prepare_memory(void*, std::size_t) {}

bool describe(file f, file_facts* facts) {
  BY_HANDLE_FILE_INFORMATION information{};
  const DWORD type = GetFileType(handle(f));
  if (type != FILE_TYPE_DISK) {
    *facts = {false, false, false, 0};  // a device (NUL, a console) or a pipe
    return true;
  }
  if (!GetFileInformationByHandle(handle(f), &information)) {
    return failed();
  }
  facts->directory = (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  facts->regular = !facts->directory;
  facts->positioned = facts->regular;
  facts->size = (std::uint64_t{information.nFileSizeHigh} << 32) | information.nFileSizeLow;
  return true;
}

namespace {

OVERLAPPED at_offset(std::uint64_t offset) {
  OVERLAPPED position{};
  position.Offset = static_cast<DWORD>(offset);
  position.OffsetHigh = static_cast<DWORD>(offset >> 32);
  return position;
}

// One call moves at most this much; larger transfers are split.
constexpr std::size_t largest_transfer = std::size_t{1} << 30;

}  // namespace

bool read_at(file f, void* bytes, std::size_t count, std::uint64_t offset, std::size_t* got) {
  OVERLAPPED position = at_offset(offset);
  DWORD done = 0;
  const auto wanted = static_cast<DWORD>(count < largest_transfer ? count : largest_transfer);
  if (!ReadFile(handle(f), bytes, wanted, &done, &position)) {
    if (GetLastError() == ERROR_HANDLE_EOF) {
      *got = 0;
      return true;
    }
    return failed();
  }
  *got = done;
  return true;
}

namespace {

// Writes all `count` bytes, at `offset` or (without one) after what was
// written before.
bool write_all(file f, const void* bytes, std::size_t count, const std::uint64_t* offset) {
  const auto* p = static_cast<const char*>(bytes);
  for (std::size_t done = 0; done < count;) {
    const std::size_t left = count - done;
    const auto wanted = static_cast<DWORD>(left < largest_transfer ? left : largest_transfer);
    OVERLAPPED position = at_offset(offset != nullptr ? *offset + done : 0);
    DWORD written = 0;
    if (!WriteFile(handle(f), p + done, wanted, &written,
                   offset != nullptr ? &position : nullptr)) {
      return failed();
    }
    if (written == 0) {
      SetLastError(ERROR_WRITE_FAULT);
      return failed();
    }
    done += written;
  }
  return true;
}

}  // namespace

bool write_at(file f, const void* bytes, std::size_t count, std::uint64_t offset) {
  return write_all(f, bytes, count, &offset);
}

bool write_next(file f, const void* bytes, std::size_t count) {
  return write_all(f, bytes, count, nullptr);
}

bool set_file_size(file f, std::uint64_t size) {
  FILE_END_OF_FILE_INFO end{};
  end.EndOfFile.QuadPart = static_cast<LONGLONG>(size);
  return SetFileInformationByHandle(handle(f), FileEndOfFileInfo, &end, sizeof end) != 0 ||
         failed();
}

bool empty_file(file f, const char*) {
  if (GetFileType(handle(f)) != FILE_TYPE_DISK) {
    return true;  // a device (NUL) has nothing to empty
  }
  return set_file_size(f, 0);
}

bool replace_file(const char* from, const char* to) {
  return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING) != 0 || failed(to);
}

bool exchange_names(const char*, const char*) {
  SetLastError(ERROR_NOT_SUPPORTED);
  return failed();
}

bool remove_file(const char* path) { return DeleteFileA(path) != 0 || failed(path); }

// Holding the earlier file open would only stand in the way of the rename.
file hold_replaced(const char*) { return file{}; }

lock_result lock_exclusively(file f) {
  // Windows locks bytes, and a locked byte cannot be written through any
  // other handle; the byte locked here lies far past any end a file of
  // this program reaches.
  OVERLAPPED far_byte{};
  far_byte.Offset = 0xFFFFFFFE;
  far_byte.OffsetHigh = 0x7FFFFFFF;
  if (LockFileEx(handle(f), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0,
                 &far_byte)) {
    return lock_result::locked;
  }
  failed();
  return last_error == ERROR_LOCK_VIOLATION || last_error == ERROR_IO_PENDING
             ? lock_result::busy
             : lock_result::unsupported;
}

unsigned long process_id() { return GetCurrentProcessId(); }

bool process_may_be_running(unsigned long id) {
  const HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(id));
  if (process == nullptr) {
    return GetLastError() != ERROR_INVALID_PARAMETER;  // no such process
  }
  const bool running = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
  CloseHandle(process);
  return running;
}

// The file was opened with FILE_SHARE_DELETE, so it can be deleted while
// still open; it goes when the process does.
void remove_now(const char* path) { DeleteFileA(path); }

namespace {

// Whether the process was started without `stream` (no handle, or one that
// leads nowhere).
bool missing(std::FILE* stream) {
  const int number = _fileno(stream);
  if (number < 0) {
    return true;
  }
  const auto os_handle = reinterpret_cast<HANDLE>(_get_osfhandle(number));
  if (os_handle == INVALID_HANDLE_VALUE || os_handle == nullptr) {
    return true;
  }
  SetLastError(NO_ERROR);
  return GetFileType(os_handle) == FILE_TYPE_UNKNOWN && GetLastError() != NO_ERROR;
}

}  // namespace

void prepare_process() {
  // Files here are handles, never C runtime descriptors, so none can take
  // a closed stream's place; but writing to a stream that is not there
  // fails, where the program should simply show nothing.
  if (missing(stdin)) {
    std::freopen("NUL", "r", stdin);
  }
  if (missing(stdout)) {
    std::freopen("NUL", "w", stdout);
  }
  if (missing(stderr)) {
    std::freopen("NUL", "w", stderr);
  }
}

int usable_processors() {
  DWORD_PTR process = 0;
  DWORD_PTR system = 0;
  if (GetProcessAffinityMask(GetCurrentProcess(), &process, &system) && process != 0) {
    int count = 0;
    for (; process != 0; process &= process - 1) {
      ++count;
    }
    return count;
  }
  SYSTEM_INFO information{};
  GetSystemInfo(&information);
  return information.dwNumberOfProcessors > 0 ? static_cast<int>(information.dwNumberOfProcessors)
                                              : 1;
}

// A file held open here cannot be renamed over, so no file ever takes
// another's place on Windows: the question does not arise.
bool names_file(const char*, file) { return true; }
bool may_take_place_of(file, const char*) { return false; }
bool copy_permissions(file, file) { return true; }

file duplicate(file f) {
  HANDLE copy = nullptr;
  if (!DuplicateHandle(GetCurrentProcess(), handle(f), GetCurrentProcess(), &copy, 0, FALSE,
                       DUPLICATE_SAME_ACCESS)) {
    failed();
    return file{};
  }
  return file{reinterpret_cast<std::intptr_t>(copy)};
}

}  // namespace platform
