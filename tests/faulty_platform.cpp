#include "tests/faulty_platform.h"

namespace dat {

bool FaultyPlatform::failing(Call kind) {
  const int n = ++count_[static_cast<int>(kind)];
  if (before_call) before_call(kind, n);
  return fail_at_[static_cast<int>(kind)] == n;
}

int FaultyPlatform::open_read(const char* path) { return failing(Call::open_read) ? -1 : real_.open_read(path); }

int FaultyPlatform::create_write(const char* path) {
  return failing(Call::create_write) ? -1 : real_.create_write(path);
}

int64_t FaultyPlatform::read(int file, uint8_t* buffer, uint32_t n) {
  return failing(Call::read) ? -1 : real_.read(file, buffer, n);
}

uint32_t FaultyPlatform::write(int file, const uint8_t* buffer, uint32_t n) {
  if (failing(Call::write)) return n > 0 ? real_.write(file, buffer, n - 1) : 0;
  return real_.write(file, buffer, n);
}

bool FaultyPlatform::seek(int file, uint64_t offset) { return !failing(Call::seek) && real_.seek(file, offset); }

bool FaultyPlatform::close(int file) {
  const bool refused = failing(Call::close);
  return real_.close(file) && !refused;  // the file is closed either way
}

bool FaultyPlatform::make_dir(const char* path) { return !failing(Call::make_dir) && real_.make_dir(path); }

bool FaultyPlatform::change_dir(const char* path) { return !failing(Call::change_dir) && real_.change_dir(path); }

bool FaultyPlatform::set_owner_rw(const char* path) { return !failing(Call::set_owner_rw) && real_.set_owner_rw(path); }

bool FaultyPlatform::set_file_owner_rw(int file) {
  return !failing(Call::set_owner_rw) && real_.set_file_owner_rw(file);
}

int FaultyPlatform::open_list(const char* path) { return failing(Call::open_list) ? -1 : real_.open_list(path); }

bool FaultyPlatform::next_entry(int list, ListEntry& entry) {
  return !failing(Call::next_entry) && real_.next_entry(list, entry);
}

void FaultyPlatform::rewind_list(int list) {
  (void)failing(Call::rewind_list);
  real_.rewind_list(list);
}

}  // namespace dat
