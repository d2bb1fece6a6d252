// POSIX services. Files are buffered beneath the programs' 512-byte blocks
// (file_table.h); reads are positioned reads, so moving about in the archive
// costs nothing until bytes are wanted.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/syscall.h>
#endif

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/file_table.h"
#include "platform/platform.h"

namespace dat {
namespace {

constexpr int kMaxLists = 2;

DIR* g_lists[kMaxLists];

// Reads at `pos`; a FIFO or other unseekable file is read where it stands.
int64_t read_at(RawHandle fd, uint8_t* into, size_t n, uint64_t pos) {
  for (;;) {
    ssize_t got = ::pread(static_cast<int>(fd), into, n, static_cast<off_t>(pos));
    if (got < 0 && errno == ESPIPE) got = ::read(static_cast<int>(fd), into, n);
    if (got >= 0 || errno != EINTR) return got;
  }
}

bool write_all(RawHandle fd, const uint8_t* from, size_t n) {
  while (n > 0) {
    const ssize_t put = ::write(static_cast<int>(fd), from, n);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    from += put;
    n -= static_cast<size_t>(put);
  }
  return true;
}

bool seek_to(RawHandle fd, uint64_t offset) {
  return ::lseek(static_cast<int>(fd), static_cast<off_t>(offset), SEEK_SET) >= 0;
}

bool close_fd(RawHandle fd) { return ::close(static_cast<int>(fd)) == 0; }

constexpr RawCalls kRawCalls = {read_at, write_all, seek_to, close_fd};

// A mark needs only the right to enter the directory, not to read it, where
// the system can open a directory for that alone.
#if defined(O_PATH)
constexpr int kMarkMode = O_PATH;
#elif defined(O_SEARCH)
constexpr int kMarkMode = O_SEARCH;
#else
constexpr int kMarkMode = O_RDONLY;
#endif

// For a file whose mode lets its owner neither read nor write it (0000), so
// that it can't be opened to change it.
#if defined(__linux__)
// The descriptor only names the file (O_PATH needs no right to it);
// fchmodat2 (Linux 6.6) changes the file it names. Older kernels refuse,
// and the file stays as it is: the C library's own fallback would go
// through /proc.
#if defined(SYS_fchmodat2)
constexpr long kFchmodat2 = SYS_fchmodat2;
#elif defined(__x86_64__) || defined(__aarch64__) || defined(__riscv)
constexpr long kFchmodat2 = 452;  // the number of the common table; older headers lack its name
#else
constexpr long kFchmodat2 = -1;  // unknown here: refused like an older kernel
#endif

bool set_unopenable_owner_rw(const char* path) {
  const int fd = ::open(path, O_PATH | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  const bool done =
      ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ::syscall(kFchmodat2, fd, "", 0600, AT_EMPTY_PATH) == 0;
  (void)::close(fd);
  return done;
}
#else
// Elsewhere the system itself refuses a link here, without /proc.
bool set_unopenable_owner_rw(const char* path) { return ::fchmodat(AT_FDCWD, path, 0600, AT_SYMLINK_NOFOLLOW) == 0; }
#endif

class PosixPlatform final : public Platform {
 public:
  int open_read(const char* path) override {
    return files_.adopt(::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC), false);
  }

  int create_write(const char* path) override {
    // O_NONBLOCK: a FIFO without a reader fails at once instead of waiting.
    return files_.adopt(::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600), true);
  }

  int64_t read(int file, uint8_t* buffer, uint32_t n) override { return files_.read(file, buffer, n); }
  uint32_t write(int file, const uint8_t* buffer, uint32_t n) override { return files_.write(file, buffer, n); }
  bool seek(int file, uint64_t offset) override { return files_.seek(file, offset); }
  uint64_t tell(int file) override { return files_.tell(file); }
  bool close(int file) override { return files_.close(file); }
  bool read_came_short(int file) override { return files_.read_came_short(file); }

  bool make_dir(const char* path) override { return ::mkdir(path, 0777) == 0; }
  bool change_dir(const char* path) override { return ::chdir(path) == 0; }

  int mark_dir() override { return ::open(".", kMarkMode | O_DIRECTORY | O_CLOEXEC); }

  bool return_to_dir(int mark) override {
    if (mark < 0) return false;
    const bool back = ::fchdir(mark) == 0;
    (void)::close(mark);
    return back;
  }

  // Only a regular file standing at the path itself, never what a link
  // there names, nor a directory, device or FIFO. The mode is changed
  // through a descriptor of the file examined, so that nothing swapped in at
  // the path meanwhile can receive it; and nothing here goes through /proc.
  bool set_owner_rw(const char* path) override {
    struct stat seen;
    if (::lstat(path, &seen) != 0 || !S_ISREG(seen.st_mode)) return false;  // opens no device
    constexpr int kHow = O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    int fd = ::open(path, O_RDONLY | kHow);
    if (fd < 0 && errno == EACCES) fd = ::open(path, O_WRONLY | kHow);  // mode 0200; nothing is truncated
    if (fd >= 0) {
      struct stat st;
      const bool done = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ::fchmod(fd, 0600) == 0;
      (void)::close(fd);
      return done;
    }
    return errno == EACCES && set_unopenable_owner_rw(path);
  }

  bool set_file_owner_rw(int file) override {
    const RawHandle fd = files_.raw(file);
    return fd != -1 && ::fchmod(static_cast<int>(fd), 0600) == 0;
  }

  int open_list(const char* path) override {
    for (int i = 0; i < kMaxLists; ++i) {
      if (g_lists[i] != nullptr) continue;
      g_lists[i] = ::opendir(path);
      return g_lists[i] == nullptr ? -1 : i;
    }
    return -1;
  }

  bool next_entry(int list, ListEntry& entry) override {
    if (list < 0 || list >= kMaxLists || g_lists[list] == nullptr) return false;
    const dirent* d = ::readdir(g_lists[list]);
    if (d == nullptr) return false;
    entry.name = d->d_name;
    entry.is_directory = d->d_type == DT_DIR;
    entry.is_regular = d->d_type == DT_REG;
    if (d->d_type == DT_LNK || d->d_type == DT_UNKNOWN) {
      // Links are followed to decide; a dangling one counts as a file.
      struct stat st;
      const bool seen = ::fstatat(::dirfd(g_lists[list]), d->d_name, &st, 0) == 0;
      entry.is_directory = seen && S_ISDIR(st.st_mode);
      entry.is_regular = seen && S_ISREG(st.st_mode);
    }
    return true;
  }

  void rewind_list(int list) override {
    if (list >= 0 && list < kMaxLists && g_lists[list] != nullptr) ::rewinddir(g_lists[list]);
  }

  void close_list(int list) override {
    if (list < 0 || list >= kMaxLists || g_lists[list] == nullptr) return;
    (void)::closedir(g_lists[list]);
    g_lists[list] = nullptr;
  }

  const char* name_separators() override { return "/"; }
  bool is_reserved_name(const char*) override { return false; }  // devices live under /dev only

  void out(const char* text, size_t n) override { (void)std::fwrite(text, 1, n, stdout); }

 private:
  FileTable files_{kRawCalls};
};

}  // namespace

Platform& native_platform() {
  static PosixPlatform platform;
  return platform;
}

}  // namespace dat
