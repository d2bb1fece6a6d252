// The buffering beneath the programs' 512-byte blocks, the same on every
// platform: a fixed table of open files, each read through two windows or
// written through one buffer, so that a block is not a system call. The
// platform supplies the raw calls on its own handles.
#pragma once

#include <cstddef>
#include <cstdint>

namespace dat {

// An open handle of the operating system, as an integer; -1 is none.
using RawHandle = intptr_t;

struct RawCalls {
  // Up to `n` bytes at `pos`: the count, 0 at or past the end, -1 on failure.
  int64_t (*read_at)(RawHandle handle, uint8_t* into, size_t n, uint64_t pos);
  // All `n` bytes at the handle's position; false on failure.
  bool (*write_all)(RawHandle handle, const uint8_t* from, size_t n);
  // Positions a handle that is written; false on failure.
  bool (*seek)(RawHandle handle, uint64_t offset);
  bool (*close)(RawHandle handle);
};

constexpr int kMaxFiles = 4;  // the archive and one member, with room to spare
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
struct BufferedFile {
  RawHandle handle = -1;
  bool writing = false;
  bool failed = false;
  uint64_t pos = 0;                // where the next byte comes from or goes to
  uint64_t short_at = UINT64_MAX;  // where the last raw read ended, if it came back short
  size_t held = 0;                 // bytes waiting to be written
  int recent = 0;                  // the window read from last
  Window windows[2];
};

// The calls of platform.h on files, over a platform's raw calls.
class FileTable {
 public:
  // The buffers are left as they are: each is filled before it is read.
  // cppcheck-suppress uninitMemberVar
  explicit FileTable(const RawCalls& raw) : raw_(raw) {}

  // Takes an open handle into the table: its number, or -1 (the handle is
  // closed) when `handle` is -1 or the table is full.
  int adopt(RawHandle handle, bool writing);
  int64_t read(int file, uint8_t* buffer, uint32_t n);
  uint32_t write(int file, const uint8_t* buffer, uint32_t n);
  bool seek(int file, uint64_t offset);
  uint64_t tell(int file) const;
  bool read_came_short(int file) const;
  bool close(int file);
  // The platform's own handle of an open file, or -1.
  RawHandle raw(int file) const;

 private:
  BufferedFile* at(int file);
  bool flush(BufferedFile& f) const;
  Window& window_for(BufferedFile& f, uint64_t pos);

  const RawCalls& raw_;
  BufferedFile files_[kMaxFiles];
};

}  // namespace dat
