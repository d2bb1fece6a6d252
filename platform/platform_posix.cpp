// POSIX services. Files are buffered beneath the programs' 512-byte blocks so
// that a block is not a system call; reads use positioned reads, so moving
// about in the archive costs nothing until bytes are wanted.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"

namespace dat {
namespace {

constexpr int kMaxFiles = 4;  // the archive and one member, with room to spare
constexpr int kMaxLists = 2;
constexpr size_t kBufferSize = size_t{128} * 1024;
// After a jump the first fill is small: the extractor hops from the entry
// table to each member's data, and a hop to a small member should not cost a
// whole buffer. Fills double while reading goes on where the last one ended.
constexpr size_t kFirstFill = size_t{4} * 1024;

// Bytes read ahead from one stretch of a file.
struct Window {
  uint64_t start = 0;  // file offset of buf[0]
  size_t length = 0;   // bytes valid
  size_t fill = kBufferSize;
  uint8_t buf[kBufferSize];

  bool holds(uint64_t pos) const { return pos >= start && pos - start < length; }
};

// A file being read keeps two windows, so that the extractor's jump back from
// a member's data into the entry table finds the table still buffered, and
// the data of the next member, which usually follows on, too. A file being
// written uses the first window's buffer for the bytes it holds.
struct File {
  int fd = -1;
  bool writing = false;
  bool failed = false;
  uint64_t pos = 0;  // where the next byte comes from or goes to
  size_t held = 0;   // bytes waiting to be written
  int recent = 0;    // the window read from last
  Window windows[2];
};

File g_files[kMaxFiles];
DIR* g_lists[kMaxLists];

File* file_at(int handle) {
  if (handle < 0 || handle >= kMaxFiles || g_files[handle].fd < 0) return nullptr;
  return &g_files[handle];
}

int take_slot(int fd, bool writing) {
  if (fd < 0) return -1;
  for (int i = 0; i < kMaxFiles; ++i) {
    File& f = g_files[i];
    if (f.fd >= 0) continue;
    f.fd = fd;
    f.writing = writing;
    f.failed = false;
    f.pos = 0;
    f.held = 0;
    f.recent = 0;
    for (Window& w : f.windows) {
      w.start = 0;
      w.length = 0;
      w.fill = kBufferSize;  // a file read from its start is usually read through
    }
    return i;
  }
  (void)::close(fd);
  return -1;
}

// Reads at `pos`; a FIFO or other unseekable file is read where it stands.
ssize_t read_at(File& f, uint8_t* into, size_t n, uint64_t pos) {
  for (;;) {
    ssize_t got = ::pread(f.fd, into, n, static_cast<off_t>(pos));
    if (got < 0 && errno == ESPIPE) got = ::read(f.fd, into, n);
    if (got >= 0 || errno != EINTR) return got;
  }
}

bool write_all(int fd, const uint8_t* from, size_t n) {
  while (n > 0) {
    const ssize_t put = ::write(fd, from, n);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    from += put;
    n -= static_cast<size_t>(put);
  }
  return true;
}

bool flush(File& f) {
  if (f.held > 0 && !f.failed && !write_all(f.fd, f.windows[0].buf, f.held)) f.failed = true;
  f.held = 0;
  return !f.failed;
}

// The window to fill for a read at `pos` that neither window holds: the one
// whose bytes end at `pos`, reading on with a doubled fill, or else the one
// not read from last, starting again with a small fill.
Window& window_for(File& f, uint64_t pos) {
  for (int i = 0; i < 2; ++i) {
    Window& w = f.windows[i];
    if (w.length > 0 && w.start + w.length == pos) {
      if (w.fill < kBufferSize) w.fill *= 2;
      f.recent = i;
      return w;
    }
  }
  const int other = f.windows[f.recent].length == 0 ? f.recent : 1 - f.recent;
  Window& w = f.windows[other];
  if (f.windows[0].length > 0 || f.windows[1].length > 0) w.fill = kFirstFill;
  f.recent = other;
  return w;
}

class PosixPlatform final : public Platform {
 public:
  int open_read(const char* path) override { return take_slot(::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC), false); }

  int create_write(const char* path) override {
    // O_NONBLOCK: a FIFO without a reader fails at once instead of waiting.
    return take_slot(::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600), true);
  }

  int64_t read(int handle, uint8_t* buffer, uint32_t n) override {
    File* f = file_at(handle);
    if (f == nullptr || f->writing) return -1;
    uint32_t done = 0;
    while (done < n) {
      Window* w = &f->windows[f->recent];
      if (!w->holds(f->pos)) w = &f->windows[1 - f->recent];
      if (w->holds(f->pos)) {
        f->recent = static_cast<int>(w - f->windows);
        const size_t at = static_cast<size_t>(f->pos - w->start);
        const size_t take = w->length - at < n - done ? w->length - at : n - done;
        std::memcpy(buffer + done, w->buf + at, take);
        done += static_cast<uint32_t>(take);
        f->pos += take;
        continue;
      }
      w = &window_for(*f, f->pos);
      if (n - done >= w->fill) {  // a large request skips the buffer
        const ssize_t got = read_at(*f, buffer + done, n - done, f->pos);
        if (got < 0) return -1;
        if (got == 0) break;
        done += static_cast<uint32_t>(got);
        f->pos += static_cast<uint64_t>(got);
        continue;
      }
      const ssize_t got = read_at(*f, w->buf, w->fill, f->pos);
      if (got < 0) return -1;
      w->start = f->pos;
      w->length = static_cast<size_t>(got);
      if (got == 0) break;
    }
    return done;
  }

  uint32_t write(int handle, const uint8_t* buffer, uint32_t n) override {
    File* f = file_at(handle);
    if (f == nullptr || !f->writing || f->failed) return 0;
    if (f->held + n > kBufferSize && !flush(*f)) return 0;
    if (n >= kBufferSize) {
      if (!write_all(f->fd, buffer, n)) {
        f->failed = true;
        return 0;
      }
    } else {
      std::memcpy(f->windows[0].buf + f->held, buffer, n);
      f->held += n;
    }
    f->pos += n;
    return n;
  }

  // Reading files only move: the windows decide at the next read whether a
  // fill is needed.
  bool seek(int handle, uint64_t offset) override {
    File* f = file_at(handle);
    if (f == nullptr || offset > static_cast<uint64_t>(INT64_MAX)) return false;
    if (f->writing && (!flush(*f) || ::lseek(f->fd, static_cast<off_t>(offset), SEEK_SET) < 0)) return false;
    f->pos = offset;
    return true;
  }

  uint64_t tell(int handle) override {
    const File* f = file_at(handle);
    return f == nullptr ? 0 : f->pos;
  }

  bool close(int handle) override {
    File* f = file_at(handle);
    if (f == nullptr) return false;
    const bool flushed = !f->writing || flush(*f);
    const bool closed = ::close(f->fd) == 0 || !f->writing;
    f->fd = -1;
    return flushed && closed;
  }

  bool make_dir(const char* path) override { return ::mkdir(path, 0777) == 0; }
  bool change_dir(const char* path) override { return ::chdir(path) == 0; }

  int mark_dir() override { return ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC); }

  bool return_to_dir(int mark) override {
    if (mark < 0) return false;
    const bool back = ::fchdir(mark) == 0;
    (void)::close(mark);
    return back;
  }
  bool set_owner_rw(const char* path) override { return ::chmod(path, 0600) == 0; }

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
    if (d->d_type == DT_LNK || d->d_type == DT_UNKNOWN) {
      // Links are followed to decide; a dangling one counts as a file.
      struct stat st;
      entry.is_directory = ::fstatat(::dirfd(g_lists[list]), d->d_name, &st, 0) == 0 && S_ISDIR(st.st_mode);
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
  bool is_device_name(const char*) override { return false; }  // devices live under /dev only

  void out(const char* text, size_t n) override { (void)std::fwrite(text, 1, n, stdout); }
};

}  // namespace

Platform& native_platform() {
  static PosixPlatform platform;
  return platform;
}

}  // namespace dat
