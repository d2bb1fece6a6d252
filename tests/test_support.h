// Helpers shared by the tests: scratch directories, file bytes, and running
// a built program or a run function as a user would.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace dat::test {

using Bytes = std::vector<uint8_t>;
namespace fs = std::filesystem;

// Bytes from hex text; blanks between pairs are ignored ("41 42 00").
Bytes hex(const std::string& text);
Bytes concat(std::initializer_list<Bytes> parts);

// Archive fixtures, laid out field by field here rather than by the library
// under test: the header of the part directory AB,CD, the end-marker record,
// and one entry record whose name (up to 9 bytes) is keyed with `key`.
extern const Bytes kHeaderAB;
extern const Bytes kEnd;
// The 72-byte archive of aa,bbb holding a.txt (abc) and Empty.dat.
extern const Bytes kExample;
Bytes rec(uint8_t key, uint8_t sum, uint32_t offset, uint32_t size, const std::string& name);
Bytes text(const std::string& s);
uint8_t sum_of(const Bytes& bytes);  // modulo 256

void write_file(const fs::path& path, const Bytes& bytes);
void write_file(const fs::path& path, const std::string& text);
Bytes read_file(const fs::path& path);
std::string read_text(const fs::path& path);

// A new empty directory, removed with everything in it when the object goes.
// While it lives, the process may enter it with enter(); the directory the
// process was in is restored on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const fs::path& path() const { return path_; }
  fs::path operator/(const fs::path& p) const { return path_ / p; }
  void enter() const;

 private:
  fs::path path_;
  fs::path was_in_;
};

// Every path below `root`, relative and sorted, directories ending in '/'.
std::vector<std::string> tree(const fs::path& root);

// argv for a run function: argv[0] is the program's name.
class Args {
 public:
  Args(std::initializer_list<std::string> words);
  int argc() const { return static_cast<int>(words_.size()); }
  char** argv() { return pointers_.data(); }

 private:
  std::vector<std::string> words_;
  std::vector<char*> pointers_;
};

struct RunResult {
  int status;
  std::string out;  // standard output, with the platform's line endings made '\n'
  std::string err;
};

// Runs `exe` with `args` in directory `cwd`, as from a shell.
RunResult run_program(const fs::path& exe, const std::vector<std::string>& args, const fs::path& cwd);

// The banner's build-date line, as a pattern for the four banner lines.
bool starts_with_banner(const std::string& out, const std::string& title, std::string* rest);

}  // namespace dat::test
