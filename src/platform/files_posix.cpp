// The platform layer on POSIX systems (Linux, the BSDs, macOS).

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#if defined(__linux__)
#include <sched.h>
#endif

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "platform/files.hpp"

namespace platform {

namespace {

thread_local int last_error = 0;

bool failed() {
  last_error = errno;
  return false;
}

int descriptor(file f) { return static_cast<int>(f.native); }

file opened(int result) {
  if (result < 0) {
    last_error = errno;
    return file{};
  }
  return file{result};
}

}  // namespace

std::string failure_reason() { return error_number_reason(last_error); }

file open_for_reading(const char* path) { return opened(open(path, O_RDONLY | O_CLOEXEC)); }

file open_for_writing(const char* path) {
  return opened(open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0666));
}

file create_new(const char* path) {
  return opened(open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
}

bool close_file(file& f) {
  if (!f.is_open()) {
    return true;
  }
  const int result = close(descriptor(f));
  f = file{};
  // EINTR: the descriptor is gone all the same on Linux, and nothing was lost.
  return result == 0 || errno == EINTR || failed();
}

bool flush_to_disk(file f) {
#if defined(__linux__)
  return fdatasync(descriptor(f)) == 0 || failed();
#else
  return fsync(descriptor(f)) == 0 || failed();
#endif
}

void start_writing_out(file f, std::uint64_t offset, std::uint64_t size) {
#if defined(__linux__)
  // Only a start: a failure shows in flush_to_disk.
  sync_file_range(descriptor(f), static_cast<off_t>(offset), static_cast<off_t>(size),
                  SYNC_FILE_RANGE_WRITE);
#else
  static_cast<void>(f);
  static_cast<void>(offset);
  static_cast<void>(size);
#endif
}

bool describe(file f, file_facts* facts) {
  struct stat status {};
  if (fstat(descriptor(f), &status) != 0) {
    return failed();
  }
  facts->regular = S_ISREG(status.st_mode);
  facts->directory = S_ISDIR(status.st_mode);
  facts->positioned =
      facts->regular || (S_ISCHR(status.st_mode) && lseek(descriptor(f), 0, SEEK_CUR) != -1);
  facts->size = static_cast<std::uint64_t>(status.st_size);
  return true;
}

bool read_at(file f, void* bytes, std::size_t count, std::uint64_t offset, std::size_t* got) {
  for (;;) {
    const ssize_t result = pread(descriptor(f), bytes, count, static_cast<off_t>(offset));
    if (result >= 0) {
      *got = static_cast<std::size_t>(result);
      return true;
    }
    if (errno != EINTR) {
      return failed();
    }
  }
}

namespace {

// Writes all `count` bytes through write_some(p, n, done), which writes up
// to n bytes from p, `done` bytes into the transfer, as write(2) does.
template <class WriteSome>
bool write_all(const void* bytes, std::size_t count, WriteSome write_some) {
  const auto* p = static_cast<const char*>(bytes);
  for (std::size_t done = 0; done < count;) {
    const ssize_t written = write_some(p + done, count - done, done);
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written <= 0) {
      if (written == 0) {
        errno = EIO;
      }
      return failed();
    }
    done += static_cast<std::size_t>(written);
  }
  return true;
}

}  // namespace

bool write_at(file f, const void* bytes, std::size_t count, std::uint64_t offset) {
  return write_all(bytes, count, [&](const char* p, std::size_t n, std::size_t done) {
    return pwrite(descriptor(f), p, n, static_cast<off_t>(offset + done));
  });
}

bool write_next(file f, const void* bytes, std::size_t count) {
  return write_all(bytes, count, [&](const char* p, std::size_t n, std::size_t) {
    return write(descriptor(f), p, n);
  });
}

// ext4 writes a file out in full when a descriptor it was emptied through
// is closed (its guard for programs that rewrite a file in place), so the
// close of a dump emptied through its own descriptor waits for the disk.
// The file is emptied through a second descriptor instead, closed at once
// while there is nothing to write out. Should the name no longer lead to
// the file held open (or not without waiting), the held one is emptied.
bool empty_file(file f, const char* path) {
  struct stat held {};
  if (fstat(descriptor(f), &held) == 0 && !S_ISREG(held.st_mode)) {
    return true;  // a device or a pipe (say /dev/null) has nothing to empty
  }
  const int other = open(path, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  struct stat other_status {};
  const bool same_file = other >= 0 && fstat(other, &other_status) == 0 &&
                         held.st_dev == other_status.st_dev && held.st_ino == other_status.st_ino;
  const bool emptied = ftruncate(same_file ? other : descriptor(f), 0) == 0;
  const int error_number = errno;
  if (other >= 0) {
    close(other);
  }
  errno = error_number;
  return emptied || failed();
}

bool set_file_size(file f, std::uint64_t size) {
  return ftruncate(descriptor(f), static_cast<off_t>(size)) == 0 || failed();
}

bool replace_file(const char* from, const char* to) {
  return std::rename(from, to) == 0 || failed();
}

bool exchange_names(const char* a, const char* b) {
#if defined(RENAME_EXCHANGE)
  return renameat2(AT_FDCWD, a, AT_FDCWD, b, RENAME_EXCHANGE) == 0 || failed();
#else
  (void)a;
  (void)b;
  errno = ENOTSUP;
  return failed();
#endif
}

bool remove_file(const char* path) { return unlink(path) == 0 || failed(); }

// The rename drops the earlier file, and the kernel frees its blocks (on
// some disks waiting for them to be discarded) when the last reference to
// it goes. Held open across the rename, it goes when the caller closes it,
// at a moment of its choosing.
file hold_replaced(const char* path) { return file{open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC)}; }

lock_result lock_exclusively(file f) {
  if (flock(descriptor(f), LOCK_EX | LOCK_NB) == 0) {
    return lock_result::locked;
  }
  last_error = errno;
  return errno == EWOULDBLOCK ? lock_result::busy : lock_result::unsupported;
}

unsigned long process_id() { return static_cast<unsigned long>(getpid()); }

bool process_may_be_running(unsigned long id) {
  const auto pid = static_cast<pid_t>(id);
  if (pid <= 0 || static_cast<unsigned long>(pid) != id) {
    return false;  // no process has such a number
  }
  return kill(pid, 0) == 0 || errno != ESRCH;
}

void remove_now(const char* path) { unlink(path); }

void prepare_process() {
  for (int stream = 0; stream <= 2; ++stream) {
    if (fcntl(stream, F_GETFD) == -1 && errno == EBADF) {
      // The lowest free number: this one, since the lower ones are open.
      const int null_device = open("/dev/null", stream == 0 ? O_RDONLY : O_WRONLY);
      if (null_device >= 0 && null_device != stream) {
        dup2(null_device, stream);
        close(null_device);
      }
    }
  }
  std::signal(SIGXFSZ, SIG_IGN);
}

void prepare_memory(void* memory, std::size_t bytes) {
#if defined(__linux__)
  const long page_size = sysconf(_SC_PAGESIZE);
  if (bytes == 0 || page_size <= 0) {
    return;
  }
  const auto page = static_cast<std::uintptr_t>(page_size);
  const auto address = reinterpret_cast<std::uintptr_t>(memory);
  const std::uintptr_t start = address / page * page;
  const std::uintptr_t end = (address + bytes + page - 1) / page * page;
#if defined(MADV_HUGEPAGE)
  // Only the whole large pages inside the range: around them may lie
  // other blocks of the allocator's.
  const std::uintptr_t large_start =
      (start + large_page_bytes - 1) / large_page_bytes * large_page_bytes;
  const std::uintptr_t large_end = end / large_page_bytes * large_page_bytes;
  if (large_start < large_end) {
    madvise(reinterpret_cast<void*>(large_start), large_end - large_start, MADV_HUGEPAGE);
  }
#endif
#if defined(MADV_POPULATE_WRITE)
  // Pages partly outside the range are mapped too, which changes nothing of
  // what they hold.
  madvise(reinterpret_cast<void*>(start), end - start, MADV_POPULATE_WRITE);
#endif
#else
  static_cast<void>(memory);
  static_cast<void>(bytes);
#endif
}

int usable_processors() {
#if defined(__linux__)
  cpu_set_t allowed;
  CPU_ZERO(&allowed);
  if (sched_getaffinity(0, sizeof allowed, &allowed) == 0) {
    return CPU_COUNT(&allowed) > 0 ? CPU_COUNT(&allowed) : 1;
  }
#endif
  const long online = sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<int>(online) : 1;
}

namespace {

bool same_file(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace

bool names_file(const char* path, file f) {
  struct stat named {};
  struct stat held {};
  return stat(path, &named) == 0 && fstat(descriptor(f), &held) == 0 && same_file(named, held);
}

bool may_take_place_of(file f, const char* path) {
  struct stat named {};
  struct stat held {};
  return lstat(path, &named) == 0 && fstat(descriptor(f), &held) == 0 && same_file(named, held) &&
         S_ISREG(named.st_mode) && named.st_nlink == 1 && named.st_uid == geteuid();
}

bool copy_permissions(file from, file to) {
  struct stat status {};
  if (fstat(descriptor(from), &status) != 0 ||
      fchmod(descriptor(to), status.st_mode & 07777) != 0) {
    return failed();
  }
  return true;
}

file duplicate(file f) { return opened(fcntl(descriptor(f), F_DUPFD_CLOEXEC, 0)); }

}  // namespace platform
