// A whole file system held in memory, for runs that must cost microseconds
// and touch no disk: files, directories, symbolic links and FIFOs under one
// root, a current directory, listings that read afresh on rewind, chosen
// calls made to fail, a limit on the bytes writes may add, and a record of
// what the program printed, changed and read. Paths are '/'-separated and
// resolved as a POSIX system resolves them: ".." of the root is the root,
// ".." is taken physically, links are followed up to a fixed depth.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace dat {

class MemoryPlatform final : public Platform {
 public:
  enum class Op {
    open_read,
    create_write,
    read,
    write,
    seek,
    tell,
    close,
    make_dir,
    change_dir,
    mark_dir,
    return_to_dir,
    set_owner_rw,
    open_list,
    next_entry,
    rewind_list,
    close_list,
    kCount
  };
  enum class Kind { file, directory, link, fifo };
  // Where "." and ".." appear in a listing.
  enum class Dots { first, last, none };

  // What the program did to the file system, by canonical path.
  struct Change {
    Op op;  // make_dir, create_write or set_owner_rw
    std::string path;
  };
  // One file opened for reading, recorded when it is closed.
  struct ReadRecord {
    std::string asked;  // the path as the program gave it
    std::string path;   // canonical, links followed
    std::string data;   // every byte the reads gave, in order
  };

  MemoryPlatform();  // an empty root directory, which is current

  // Building and looking at the tree, outside the program's calls: nothing
  // here is counted, failed or recorded. Paths resolve from the current
  // directory; a parent must exist; false when the name is taken or bad.
  bool add_file(std::string_view path, std::string_view bytes, bool read_only = false);
  bool add_dir(std::string_view path);
  bool add_link(std::string_view path, std::string_view target);
  bool add_fifo(std::string_view path);
  bool set_bytes(std::string_view path, std::string_view bytes);  // an existing file, links followed
  // The name, not what a link names; a directory goes with everything in it.
  bool remove(std::string_view path);
  bool set_current(std::string_view path);
  // The bytes of the file `path` names (links followed), or null.
  const std::string* bytes_of(std::string_view path) const;
  // The kind at `path`, the last link not followed; false when nothing is there.
  bool kind_of(std::string_view path, Kind& kind) const;
  bool read_only(std::string_view path) const;
  // Every name below the directory `path`, relative and sorted: directories
  // end in '/', links read "name -> target", FIFOs end in '|'.
  std::vector<std::string> tree(std::string_view path) const;

  // The nth call (from 1) of `op` fails; several may be set. An open gives
  // -1, a read -1, a write one byte short, a listing no further entry, a
  // mark -1, anything else false; a failed close of a file being written
  // loses the bytes written since its last 4096-byte boundary.
  void fail(Op op, int nth) { failures_.push_back({op, nth}); }
  int calls(Op op) const { return count_[static_cast<int>(op)]; }
  int failed(Op op) const { return fired_[static_cast<int>(op)]; }
  // Runs before each call, with its kind and number: a test changes the tree here.
  std::function<void(Op, int)> before_call;

  uint64_t space = uint64_t{1} << 30;  // bytes that writes may still add, gaps included
  Dots dots = Dots::first;
  const char* separators = "/";
  const char* reserved_name = nullptr;

  std::string output;
  std::vector<Change> changes;
  std::vector<ReadRecord> reads;
  int lost_writes = 0;  // writes that fell short, and closes that lost bytes
  int peak_reading = 0;
  int peak_writing = 0;
  int open_files() const;
  int open_listings() const;
  int open_marks() const;

  int open_read(const char* path) override;
  int create_write(const char* path) override;
  int64_t read(int file, uint8_t* buffer, uint32_t n) override;
  uint32_t write(int file, const uint8_t* buffer, uint32_t n) override;
  bool seek(int file, uint64_t offset) override;
  uint64_t tell(int file) override;
  bool close(int file) override;
  bool read_came_short(int file) override;
  bool make_dir(const char* path) override;
  bool change_dir(const char* path) override;
  int mark_dir() override;
  bool return_to_dir(int mark) override;
  bool set_owner_rw(const char* path) override;
  bool set_file_owner_rw(int file) override;
  int open_list(const char* path) override;
  bool next_entry(int list, ListEntry& entry) override;
  void rewind_list(int list) override;
  void close_list(int list) override;
  const char* name_separators() override { return separators; }
  bool is_reserved_name(const char* name) override {
    return reserved_name != nullptr && std::string_view(name) == reserved_name;
  }
  void out(const char* text, size_t n) override { output.append(text, n); }

 private:
  struct Node {
    Kind kind;
    std::string name;
    int parent;
    std::vector<int> children;  // in listing order
    std::string bytes;          // a file's contents, a link's target
    bool read_only = false;
  };
  struct Handle {
    int node = -1;
    bool writing = false;
    bool failed = false;
    uint64_t pos = 0;
    std::string asked;
    std::string path;
    std::string data;                // what the reads gave, for a file being read
    uint64_t short_at = UINT64_MAX;  // where a read last reached the end of the file
  };
  struct Listing {
    int node = -1;
    std::vector<std::pair<std::string, bool>> names;  // name, is a directory when read
    size_t next = 0;
  };
  struct Failure {
    Op op;
    int nth;
  };

  bool failing(Op op);
  int lookup(int dir, std::string_view name) const;
  int walk(int from, std::string_view path, bool follow_last, int depth) const;
  int resolve(std::string_view path, bool follow_last) const;
  // The directory that holds the last component of `path`, and that name.
  int parent_of(std::string_view path, std::string& name) const;
  int add(std::string_view path, Kind kind, std::string_view bytes);
  std::string canonical(int node) const;
  void snapshot(Listing& listing);
  void tree_below(int dir, const std::string& prefix, std::vector<std::string>& into) const;
  Handle* handle(int file);

  std::vector<Node> nodes_;
  int cwd_ = 0;
  std::vector<Handle> handles_;
  std::vector<Listing> listings_;
  std::vector<int> marks_;  // -1 when free
  std::vector<Failure> failures_;
  int count_[static_cast<int>(Op::kCount)] = {};
  int fired_[static_cast<int>(Op::kCount)] = {};
};

}  // namespace dat
