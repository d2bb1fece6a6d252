// baleup's whole run over a tree the fuzzer describes, held in memory: the
// stem directory's entries, the part directory's members (names, sizes,
// kinds, listing order), changes made while the run goes on, a failing call
// and a limit on the bytes writes may add. After each run: the output is the
// banner and the program's own messages; nothing but the archive was
// written; at most one member was open at a time and everything was closed;
// every failure that took place was reported; and an archive the run
// reported nothing about unpacks, through unbale's own run, to the members
// the run read.
#include <algorithm>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "extractor/extractor.h"
#include "fuzz/fuzz_support.h"
#include "packer/packer.h"
#include "tests/memory_platform.h"

namespace {

using dat::MemoryPlatform;
using Op = MemoryPlatform::Op;
using dat::fuzz::require;

constexpr Op kFailing[] = {Op::create_write, Op::change_dir,    Op::open_list,   Op::next_entry,
                           Op::open_read,    Op::read,          Op::write,       Op::close,
                           Op::mark_dir,     Op::return_to_dir, Op::set_owner_rw};

const dat::fuzz::Forms kMessages = {
    {"FILE:%u %s SIZE:%llu\n", "File %s is empty!?\n", "Error writing header in DAT file.\n",
     "Error writing file entry in DAT file.\n", "Error writing ENDFILE entry in DAT file.\n",
     "Error writing data from %u\n"},
    {"Can't create the output file.\n", "Can't open directory %s\n", "Can't scan directory %s\n",
     "No comma found in directory name %s\n", "First part of directory name %s is too long\n",
     "Second part of directory name %s is too long\n", "No files found.\n",
     "readir() returned NULL in header scan loop.\n", "Can't open file %s to calculate the checksum\n",
     "FILE:%u %s \nCan't read file %s\n", "Can't read file %s\n", "File %s makes the archive too large\n",
     "readir() returned NULL in file copy loop.\n", "Can't open file %s to copy contents\n",
     "File size don't match up\n"},
    {"Error writing DAT file.\n"},
    size_t{4} * 255,  // a name of 255 bytes, each of which may print as an escape of 4
};

// A file name from the fuzzer: 1 to 12 bytes mostly, now and then 200 to 255.
std::string name_from(dat::fuzz::Input& in) {
  const uint8_t length = in.byte();
  std::string name(in.bytes(length < 200 ? length % 12 + 1 : length));
  for (char& c : name) {
    if (c == '/' || c == '\0') c = '_';
  }
  if (name.empty() || name == "." || name == "..") name += 'x';
  return name;
}

std::string contents(size_t size, uint8_t seed) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(seed + i * (seed | 1));
  return bytes;
}

std::string upper(std::string s) {
  for (char& c : s) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return s;
}

// Something that happens to the tree at the nth call of a kind.
struct Change {
  Op op;
  int nth;
  uint8_t action;
  uint8_t which;
  uint8_t amount;
};

}  // namespace

// NOLINTNEXTLINE(readability-identifier-naming): the name libFuzzer calls
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  dat::fuzz::Input in(data, size);
  const uint8_t failing = in.byte();
  const uint8_t nth = in.byte();
  const uint8_t limit = in.byte();
  const uint8_t layout = in.byte();

  MemoryPlatform os;
  os.dots = static_cast<MemoryPlatform::Dots>(layout % 3);
  (void)os.add_dir("/w");
  (void)os.add_dir("/w/GAME");
  (void)os.add_file("/w/KEEP", "keep");
  (void)os.add_file("/outside", "out");
  switch (layout >> 2 & 3) {  // what stands at the archive's path
    case 1:
      (void)os.add_file("/w/GAME.DAT", "old archive", (layout & 16) != 0);
      break;
    case 2:
      (void)os.add_dir("/w/GAME.DAT");
      break;
    case 3:
      (void)os.add_link("/w/GAME.DAT", "/w/KEEP");
      break;
    default:
      break;
  }

  // The stem directory: other entries before and after the part directory.
  const int others = in.byte() % 4;
  const int part_at = in.byte() % (others + 1);
  std::string part_dir;
  for (int i = 0; i <= others; ++i) {
    if (i == part_at) {
      part_dir = "/w/GAME/" + name_from(in);
      (void)os.add_dir(part_dir);
      continue;
    }
    const uint8_t kind = in.byte() % 3;
    const std::string path = "/w/GAME/" + name_from(in);
    if (kind == 0) (void)os.add_file(path, "stem file");
    if (kind == 1) (void)os.add_dir(path);
    if (kind == 2) (void)os.add_link(path, part_dir.empty() ? "/w" : part_dir);
  }

  // The part directory's entries, in listing order.
  std::vector<std::string> members;
  const int count = in.byte() % 9;
  for (int i = 0; i < count; ++i) {
    const uint8_t kind = in.byte();
    const std::string path = part_dir + "/" + name_from(in);
    bool added = false;
    switch (kind % 12) {
      case 8:
        added = os.add_dir(path);
        break;
      case 9:
        added = os.add_fifo(path);
        break;
      case 10:
        added = os.add_link(path, kind & 0x80 ? "/outside" : "/nowhere");
        break;
      case 11:
        added = os.add_link(path, kind & 0x80 ? path : std::string("/w"));
        break;  // a loop, or a directory
      default: {
        const size_t bytes = (in.byte() | size_t{in.byte()} << 8) % 1400;
        added = os.add_file(path, contents(bytes, in.byte()));
        if (kind & 0x80 && !members.empty()) {  // and a link to an earlier member
          (void)os.add_link(path + "~", members.front());
        }
      }
    }
    if (added) members.push_back(path);
  }

  std::vector<Change> changes;
  for (int i = in.byte() % 3; i > 0; --i) {
    const uint8_t when = in.byte();
    changes.push_back({when % 3 == 0   ? Op::rewind_list
                       : when % 3 == 1 ? Op::open_read
                                       : Op::read,
                       when / 3 % 8 + 1, in.byte(), in.byte(), in.byte()});
  }
  bool changed = false;
  os.before_call = [&](Op op, int n) {
    for (const Change& c : changes) {
      if (c.op != op || c.nth != n || members.empty()) continue;
      changed = true;
      const std::string& target = members[c.which % members.size()];
      MemoryPlatform::Kind kind{};
      const bool file = os.kind_of(target, kind) && kind == MemoryPlatform::Kind::file;
      const std::string* now = file ? os.bytes_of(target) : nullptr;  // never through a link
      switch (c.action % 6) {
        case 0:
          if (now) (void)os.set_bytes(target, *now + contents(c.amount % 600 + 1, c.amount));
          break;
        case 1:
          if (now) (void)os.set_bytes(target, now->substr(0, now->size() / 2));
          break;
        case 2:
          (void)os.remove(target);
          break;
        case 3:
          (void)os.remove(target);
          (void)os.add_dir(target);
          break;
        case 4:
          (void)os.add_file(part_dir + "/new" + std::to_string(c.amount), contents(c.amount, c.which));
          break;
        default:
          (void)os.remove(part_dir);
          break;
      }
    }
  };
  if (failing % 12 != 0) os.fail(kFailing[failing % 12 - 1], nth % 40 + 1);
  if (limit != 0) os.space = uint64_t{limit} * 32;

  // The part directory the run will pack, worked out from the tree before it starts.
  std::string kept = "..";
  size_t listed_members = 0;
  {
    MemoryPlatform look = os;  // listed without counting the run's calls
    look.before_call = nullptr;
    int list = look.open_list("/w/GAME");
    for (dat::ListEntry e{}; look.next_entry(list, e);) {
      const std::string name = e.name;
      if (e.is_directory && name != "." && name != "..") kept = name.substr(0, 10);
    }
    look.close_list(list);
    list = look.open_list(("/w/GAME/" + kept).c_str());
    for (dat::ListEntry e{}; look.next_entry(list, e);) listed_members += e.is_directory ? 0 : 1;
  }
  (void)os.set_current("/w");

  char program[] = "baleup";
  char path[] = "GAME.DAT";
  char* argv[] = {program, path, nullptr};
  const int status = dat::run_packer(os, 2, argv);
  os.before_call = nullptr;

  const std::string& out = os.output;
  std::string_view rest;
  require(status == 0, "exit status not 0", out);
  require(dat::fuzz::after_banner(out, "TORVEL DAT packer v0.1", rest), "no banner", out);
  require(dat::fuzz::only_messages(rest, kMessages), "a line that is none of the program's messages", out);

  for (const MemoryPlatform::Change& c : os.changes) {
    require(c.op != Op::make_dir && c.path == "/w/GAME.DAT", "something other than the archive changed", out);
  }
  require(*os.bytes_of("/w/KEEP") == "keep", "a file beside the archive changed", out);
  require(*os.bytes_of("/outside") == "out", "a file outside the tree changed", out);
  require(os.peak_reading <= 1 && os.peak_writing <= 1, "more than the archive and one member open", out);
  require(os.open_files() == 0 && os.open_listings() == 0, "a file or listing left open", out);
  require(os.open_marks() == 0, "the starting directory never returned to", out);

  const auto has = [&](std::string_view text) { return rest.find(text) != std::string_view::npos; };
  if (os.failed(Op::create_write) > 0) require(has("Can't create the output file.\n"), "create unreported", out);
  if (os.failed(Op::change_dir) > 0) require(has("Can't open directory "), "change_dir unreported", out);
  if (os.failed(Op::open_list) > 0) require(has("Can't scan directory "), "open_list unreported", out);
  if (os.failed(Op::open_read) > 0) require(has("Can't open file "), "member open unreported", out);
  if (os.failed(Op::read) > 0) require(has("Can't read file "), "read failure unreported", out);
  if (os.lost_writes > 0) {
    require(has("Error writing header") || has("Error writing file entry") || has("Error writing ENDFILE") ||
                has("Error writing data from ") || has("Error writing DAT file."),
            "lost write unreported", out);
  }

  // Whether the run reported anything: names are printed escaped, so every
  // line is one progress line, one empty-member notice or one message.
  size_t progress_lines = 0;
  for (std::string_view lines = rest; !lines.empty();) {
    const size_t end = lines.find('\n');
    const std::string_view text = lines.substr(0, end);
    const bool progress = text.substr(0, 5) == "FILE:";
    const bool notice =
        text.substr(0, 5) == "File " && text.size() > 16 && text.substr(text.size() - 11) == " is empty!?";
    if (!progress && !notice) return 0;  // a message: the run has said what went wrong
    progress_lines += progress ? 1 : 0;
    lines.remove_prefix(end == std::string_view::npos ? lines.size() : end + 1);
  }

  // A run that reported nothing read each member twice, once a pass, the same
  // bytes both times unless the tree changed under it; what it read, not what
  // it printed, says how many members it packed.
  require(os.reads.size() % 2 == 0, "a member read other than twice", out);
  const size_t packed = os.reads.size() / 2;
  if (!changed) require(packed == listed_members, "a listed member not read twice, or another read", out);
  require(progress_lines == packed, "progress lines other than one a member", out);
  bool same = true;
  size_t first_total = 0;
  size_t second_total = 0;
  for (size_t i = 0; i < packed; ++i) {
    const auto& a = os.reads[i];
    const auto& b = os.reads[packed + i];
    same = same && a.asked == b.asked && a.data == b.data;
    first_total += a.data.size();
    second_total += b.data.size();
  }
  require(first_total == second_total, "members changed size and nothing was said", out);
  require(same || changed, "the two passes read different bytes of an unchanged tree", out);
  if (!same) return 0;  // sizes that changed and cancelled out: the one change a total can't see

  const std::string* archive = os.bytes_of("/w/GAME.DAT");
  require(archive != nullptr, "no archive after a clean run", out);
  MemoryPlatform back;
  (void)back.add_dir("/x");
  (void)back.add_file("/x/GAME.DAT", *archive);
  (void)back.set_current("/x");
  char unbale[] = "unbale";
  char* back_argv[] = {unbale, path, nullptr};
  (void)dat::run_extractor(back, 2, back_argv);
  std::string_view back_rest;
  require(dat::fuzz::after_banner(back.output, "TORVEL DAT extractor v0.1", back_rest) && back_rest.empty(),
          "unbale reports on a clean archive", back.output);

  std::map<std::string, std::string> expected;  // stored name -> bytes; a later member replaces
  for (size_t i = packed; i < 2 * packed; ++i) {
    const std::string& listed = os.reads[i].asked;
    const std::string stored = upper(listed.substr(0, 8));
    if (stored == "ENDFILE") break;  // read back as the end of the table
    expected[stored] = os.reads[i].data;
  }
  const std::string inside = "GAME/" + upper(kept) + "/";
  std::vector<std::string> want = {"GAME.DAT", "GAME/", inside};
  for (const auto& [name, bytes] : expected) {
    want.push_back(inside + name);
    const std::string* got = back.bytes_of("/x/" + want.back());
    require(got != nullptr && *got == bytes, "a member unpacked to other bytes", out);
  }
  std::sort(want.begin(), want.end());
  require(back.tree("/x") == want, "the unpacked tree holds other names", out);
  return 0;
}
