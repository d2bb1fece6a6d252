// The operating system's file, directory and console services, as the two
// programs need them and nothing more. Paths and names are narrow byte
// strings; files are binary. One implementation per platform is chosen by the
// build; tests put a fake in its place.
#pragma once

#include <cstddef>
#include <cstdint>

namespace dat {

// One entry of a directory listing. `name` stays valid until the next call
// on the same listing.
struct ListEntry {
  const char* name;
  bool is_directory;
  // A regular file when listed (what a link names counts); false where the
  // platform can't tell cheaply.
  bool is_regular = false;
};

struct Platform {
  virtual ~Platform() = default;

  // A handle, or -1. Opening does not wait on a FIFO without a writer.
  virtual int open_read(const char* path) = 0;
  // Creates or truncates for writing; a new file gets owner read and write
  // only. Never writes through a symbolic link. A handle, or -1.
  virtual int create_write(const char* path) = 0;
  // Up to `n` bytes, fewer only at the end of the file; -1 on failure.
  virtual int64_t read(int file, uint8_t* buffer, uint32_t n) = 0;
  // The count of bytes taken, smaller than `n` when the file has failed: a
  // write of earlier bytes that failed makes every later one fall short.
  virtual uint32_t write(int file, const uint8_t* buffer, uint32_t n) = 0;
  // Positions at an absolute offset; false when the file can't be positioned.
  virtual bool seek(int file, uint64_t offset) = 0;
  virtual uint64_t tell(int file) = 0;
  // False when bytes still held for the file could not be written.
  virtual bool close(int file) = 0;
  // True when the reads so far reach the place where a read from the system
  // came back short: the end of a regular file, unless it has grown since.
  // Saves the read that would give 0 bytes. Means nothing for other files.
  virtual bool read_came_short(int file) = 0;

  virtual bool make_dir(const char* path) = 0;  // one level, default permissions
  virtual bool change_dir(const char* path) = 0;
  // Remembers the current directory, wherever later changes lead, even one
  // that may be entered but not read: a mark, or -1. return_to_dir makes the
  // marked directory current again and forgets the mark; false when it can't.
  virtual int mark_dir() = 0;
  virtual bool return_to_dir(int mark) = 0;
  // Clears a read-only attribute of the regular file at `path` (owner read
  // and write). False, changing nothing, for a symbolic link (never followed),
  // a directory or any other kind of file.
  virtual bool set_owner_rw(const char* path) = 0;
  // The same for a file this run holds open for writing, through its handle.
  virtual bool set_file_owner_rw(int file) = 0;

  // A listing handle, or -1. The end and a failure both give false; a rewind
  // reads the directory afresh.
  virtual int open_list(const char* path) = 0;
  virtual bool next_entry(int list, ListEntry& entry) = 0;
  virtual void rewind_list(int list) = 0;
  virtual void close_list(int list) = 0;

  // The bytes that may not stand in a plain file name here.
  virtual const char* name_separators() = 0;
  // True for a name that can't stand for a plain file of its own in the
  // current directory, whatever that directory holds: one that opens a
  // device, or one the system refuses to create.
  virtual bool is_reserved_name(const char* name) = 0;
  // Standard output.
  virtual void out(const char* text, size_t n) = 0;
};

// The platform this program was built for, alive for the whole run.
Platform& native_platform();

// printf-style output to `os.out` for the forms the programs print: %s, %i,
// %u, %lX, %02X, %llu and %%. Any length of text; nothing is cut. A %s text is a
// name from an archive or a listing: its control bytes are shown escaped
// (\n, \033, \177), every other byte as it is.
#if defined(__MINGW32__)
__attribute__((format(gnu_printf, 2, 3)))
#elif defined(__GNUC__)
__attribute__((format(printf, 2, 3)))
#endif
void print(Platform& os, const char* format, ...);

}  // namespace dat
