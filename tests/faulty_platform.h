// A platform for tests: forwards every call to a real one, records standard
// output, and fails the Nth call of a chosen kind.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace dat {

enum class Call {
  open_read,
  create_write,
  read,
  write,
  seek,
  close,
  make_dir,
  change_dir,
  mark_dir,
  set_owner_rw,
  open_list,
  next_entry,
  rewind_list,
  kCount
};

class FaultyPlatform final : public Platform {
 public:
  explicit FaultyPlatform(Platform& real = native_platform()) : real_(real) {}

  // Makes the nth call (counted from 1) of `kind` fail: an open gives -1, a
  // read -1, a write one byte short, a listing no further entry, a close or
  // anything else false. Other calls go through.
  void fail(Call kind, int nth) { fail_at_[static_cast<int>(kind)] = nth; }
  int calls(Call kind) const { return count_[static_cast<int>(kind)]; }

  // Runs before each call is forwarded, with its kind and number: a test can
  // change the file system between two steps of a run.
  std::function<void(Call, int)> before_call;
  // Separators for plain names; the real platform's unless a test sets them.
  const char* separators = nullptr;
  // A name to treat as reserved (a device), as another platform would; none when null.
  const char* reserved_name = nullptr;
  std::string output;

  int open_read(const char* path) override;
  int create_write(const char* path) override;
  int64_t read(int file, uint8_t* buffer, uint32_t n) override;
  uint32_t write(int file, const uint8_t* buffer, uint32_t n) override;
  bool seek(int file, uint64_t offset) override;
  uint64_t tell(int file) override { return real_.tell(file); }
  bool close(int file) override;
  bool read_came_short(int file) override { return real_.read_came_short(file); }
  bool make_dir(const char* path) override;
  bool change_dir(const char* path) override;
  int mark_dir() override { return failing(Call::mark_dir) ? -1 : real_.mark_dir(); }
  bool return_to_dir(int mark) override { return real_.return_to_dir(mark); }
  bool set_owner_rw(const char* path) override;
  bool set_file_owner_rw(int file) override;
  int open_list(const char* path) override;
  bool next_entry(int list, ListEntry& entry) override;
  void rewind_list(int list) override;
  void close_list(int list) override { real_.close_list(list); }
  const char* name_separators() override { return separators != nullptr ? separators : real_.name_separators(); }
  bool is_reserved_name(const char* name) override {
    return reserved_name != nullptr ? std::string_view(name) == reserved_name : real_.is_reserved_name(name);
  }
  void out(const char* text, size_t n) override { output.append(text, n); }

 private:
  // Counts the call and tells whether it is the one to fail.
  bool failing(Call kind);

  Platform& real_;
  int count_[static_cast<int>(Call::kCount)] = {};
  int fail_at_[static_cast<int>(Call::kCount)] = {};
};

}  // namespace dat
