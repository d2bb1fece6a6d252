// unbale's whole run over an archive held in memory. The first four bytes
// choose a failing call, its number, something standing where the tree is to
// go, and a limit on the bytes writes may add; the rest is the archive.
// After each run: the output is the banner and the program's own messages,
// nothing was made or changed outside the part directory, nothing that was
// there before is lost, at most one member file was open at a time, every
// file was closed, and every failure that took place was reported.
#include <cstdint>
#include <string>
#include <string_view>

#include "extractor/extractor.h"
#include "fuzz/fuzz_support.h"
#include "tests/memory_platform.h"

namespace {

using dat::MemoryPlatform;
using Op = MemoryPlatform::Op;
using dat::fuzz::require;

constexpr Op kFailing[] = {Op::open_read,  Op::read,     Op::create_write, Op::write,       Op::close,
                           Op::change_dir, Op::make_dir, Op::seek,         Op::set_owner_rw};

const dat::fuzz::Forms kMessages = {
    {"Skipping unsafe file name %s\n", "Error writing file %s\n", "Bad Checksum in file %s\n"},
    {"Can't open the input file.\n", "The file is empty.\n", "The file is way too small.\n",
     "Failed to create directory %s\n", "Header malformed.\n", "Unsafe directory name %s\n",
     "Failed to create subdirectory %s\n", "Failed to read an entry.\n",
     "Missing null terminator in entry name %s at 0x%lX.\n", "Can't create file %s\n",
     "Something messed up the data reader at file %s\n"},
    {"Error writing file %s\n"},  // the member file's close, after its copy ended the walk
    size_t{4} * 9,                // a name of 9 bytes, each of which may print as an escape of 4
};

// The part directory's name as the header spells it, worked out here apart
// from the format library: each name part up to its first NUL, joined by ','.
std::string part_name(std::string_view archive) {
  std::string name;
  for (size_t i = 0; i < 5 && i < archive.size() && archive[i] != '\0'; ++i) name += archive[i];
  name += ',';
  for (size_t i = 5; i < 10 && i < archive.size() && archive[i] != '\0'; ++i) name += archive[i];
  return name;
}

// The name of the entry at `index`, the key removed, up to its first NUL.
std::string entry_name(std::string_view archive, size_t index) {
  const size_t at = 12 + 19 * index;
  std::string name;
  if (archive.size() < at + 19) return name;
  const char key = archive[at];
  for (size_t i = 0; i < 9; ++i) {
    const char c = static_cast<char>(archive[at + 10 + i] ^ key);
    if (c == '\0') break;
    name += c;
  }
  return name;
}

bool contains(std::string_view out, std::string_view text) { return out.find(text) != std::string_view::npos; }

}  // namespace

// NOLINTNEXTLINE(readability-identifier-naming): the name libFuzzer calls
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  dat::fuzz::Input in(data, size);
  const uint8_t failing = in.byte();
  const uint8_t nth = in.byte();
  const uint8_t obstacle = in.byte();
  const uint8_t limit = in.byte();
  const std::string archive(in.rest());

  MemoryPlatform os;
  (void)os.add_dir("/w");
  (void)os.add_file("/w/GAME.DAT", archive);
  (void)os.add_file("/w/KEEP", "keep");
  (void)os.add_file("/outside", "out");
  (void)os.set_current("/w");
  const std::string part = "/w/GAME/" + part_name(archive);

  // What may stand where the tree goes: at a member's name, or at the stem or
  // part directory itself.
  const std::string member = entry_name(archive, obstacle >> 4 & 3);
  const bool plain = !member.empty() && member != "." && member != ".." && member.find('/') == std::string::npos;
  const std::string at = part + "/" + member;
  switch (obstacle & 15) {
    case 0:
      break;
    case 1:
      (void)os.add_file("/w/GAME", "a file");
      break;
    case 2:
      (void)os.add_dir("/w/GAME");
      (void)os.add_file(part, "a file");
      break;
    default:
      (void)os.add_dir("/w/GAME");
      (void)os.add_dir(part);
      if (!plain) break;
      switch (obstacle & 15) {
        case 3:
          (void)os.add_link(at, "/w/KEEP");
          break;
        case 4:
          (void)os.add_dir(at);
          break;
        case 5:
          (void)os.add_fifo(at);
          break;
        case 6:
          (void)os.add_link(at, "/nowhere/x");
          break;
        case 7:
          (void)os.add_link(at, "/w");
          break;
        case 8:
          (void)os.add_file(at, "read-only", true);
          break;
        case 9:
          (void)os.add_link(at, at);
          break;  // a loop
        default:
          (void)os.add_file(at, "old");
          break;
      }
  }
  if (failing % 10 != 0) os.fail(kFailing[failing % 10 - 1], nth % 40 + 1);
  if (limit != 0) os.space = uint64_t{limit} * 16;

  char program[] = "unbale";
  char path[] = "GAME.DAT";
  char* argv[] = {program, path, nullptr};
  const int status = dat::run_extractor(os, 2, argv);

  const std::string& out = os.output;
  std::string_view rest;
  require(status == 0, "exit status not 0", out);
  require(dat::fuzz::after_banner(out, "TORVEL DAT extractor v0.1", rest), "no banner", out);
  require(dat::fuzz::only_messages(rest, kMessages), "a line that is none of the program's messages", out);

  // Made or changed: the stem, the part directory, and files directly inside it.
  for (const MemoryPlatform::Change& c : os.changes) {
    if (c.op == Op::make_dir) {
      require(c.path == "/w/GAME" || c.path == part, "a directory made outside the tree", out);
    } else {
      const bool inside = c.path.size() > part.size() + 1 && c.path.compare(0, part.size() + 1, part + "/") == 0 &&
                          c.path.find('/', part.size() + 1) == std::string::npos;
      require(inside, "a file created or changed outside the part directory", out);
    }
  }
  require(*os.bytes_of("/w/GAME.DAT") == archive, "the archive changed", out);
  require(*os.bytes_of("/w/KEEP") == "keep" && !os.read_only("/w/KEEP"), "a file beside the archive changed", out);
  require(*os.bytes_of("/outside") == "out", "a file outside the tree changed", out);

  require(os.peak_reading <= 1 && os.peak_writing <= 1, "more than the archive and one member open", out);
  require(os.open_files() == 0, "a file left open", out);

  // Every failure that took place has its message.
  if (os.failed(Op::open_read) > 0) require(contains(rest, "Can't open the input file.\n"), "open unreported", out);
  if (os.failed(Op::read) > 0) {
    require(contains(rest, "The file is way too small.\n") || contains(rest, "Failed to read an entry.\n") ||
                contains(rest, "Something messed up the data reader at file "),
            "read failure unreported", out);
  }
  if (os.failed(Op::create_write) > 0) require(contains(rest, "Can't create file "), "create unreported", out);
  if (os.lost_writes > 0) require(contains(rest, "Error writing file "), "lost write unreported", out);
  if (os.failed(Op::change_dir) > 0) require(contains(rest, "Failed to create "), "change_dir unreported", out);
  return 0;
}
