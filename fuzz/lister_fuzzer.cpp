// balelist's whole run over an archive held in memory. The first three bytes
// choose a failing call (a read or a seek), its number, and the platform's
// rules for names; the rest is the archive. After each run: balelist made and
// changed nothing, opened only the archive and closed it, and printed a
// listing of its own form whose summary adds up and whose exit status
// follows it. Where no call failed, unbale runs on the same archive too, and
// the two must agree: the same members in the same order, a bad checksum
// exactly where unbale printed "Bad Checksum", truncated where unbale's copy
// ended (or where it skipped an unsafe member whose data run past the end),
// unsafe where it skipped, the same message where the walk ended; and each
// line's fields and verdict are the ones the archive's bytes call for.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "extractor/extractor.h"
#include "fuzz/fuzz_support.h"
#include "lister/lister.h"
#include "tests/memory_platform.h"

namespace {

using dat::MemoryPlatform;
using Op = MemoryPlatform::Op;
using dat::fuzz::require;

// The archive as GAME.DAT in /w, the current directory, beside another file.
void set_up(MemoryPlatform& os, const std::string& archive, uint8_t failing, uint8_t nth, uint8_t rules) {
  (void)os.add_dir("/w");
  (void)os.add_file("/w/GAME.DAT", archive);
  (void)os.add_file("/w/KEEP", "keep");
  (void)os.set_current("/w");
  if (failing % 3 == 1) os.fail(Op::read, nth % 40 + 1);
  if (failing % 3 == 2) os.fail(Op::seek, nth % 40 + 1);
  if ((rules & 1) != 0) os.separators = "/\\:";
  if ((rules & 2) != 0) os.reserved_name = "NUL";
}

// A name as print() shows it.
std::string shown(const std::string& name) {
  MemoryPlatform scratch;
  dat::print(scratch, "%s", name.c_str());
  return scratch.output;
}

bool take(std::string_view& text, std::string_view prefix) {
  if (text.substr(0, prefix.size()) != prefix) return false;
  text.remove_prefix(prefix.size());
  return true;
}

// Digits in `base` up to the first other byte; false when there are none.
bool number(std::string_view& text, unsigned base, uint64_t& value) {
  size_t n = 0;
  value = 0;
  for (; n < text.size() && n < 20; ++n) {
    const char c = text[n];
    const bool digit = c >= '0' && c <= '9';
    const bool hex = base == 16 && c >= 'A' && c <= 'F';
    if (!digit && !hex) break;
    value = value * base + static_cast<unsigned>(digit ? c - '0' : c - 'A' + 10);
  }
  text.remove_prefix(n);
  return n > 0;
}

std::string line_of(std::string_view& text) {
  const size_t end = text.find('\n');
  std::string line(text.substr(0, end));
  text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
  return line;
}

uint32_t u32_at(const std::string& archive, size_t at) {
  uint32_t v = 0;
  for (size_t i = 0; i < 4; ++i) v |= uint32_t{static_cast<uint8_t>(archive[at + i])} << (8 * i);
  return v;
}

std::string plural(uint64_t n, const char* word) { return std::to_string(n) + " " + word + (n == 1 ? "" : "s"); }

}  // namespace

// NOLINTNEXTLINE(readability-identifier-naming): the name libFuzzer calls
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  dat::fuzz::Input in(data, size);
  const uint8_t failing = in.byte();
  const uint8_t nth = in.byte();
  const uint8_t rules = in.byte();
  const std::string archive(in.rest());

  MemoryPlatform os;
  set_up(os, archive, failing, nth, rules);
  const std::vector<std::string> before = os.tree("/");
  char program[] = "balelist";
  char path[] = "GAME.DAT";
  char* argv[] = {program, path, nullptr};
  const int status = dat::run_lister(os, 2, argv);
  const std::string& out = os.output;

  // It reads the archive and nothing else, and leaves everything as it was.
  for (const Op op : {Op::create_write, Op::write, Op::make_dir, Op::change_dir, Op::set_owner_rw, Op::open_list}) {
    require(os.calls(op) == 0, "a call that makes or changes something", out);
  }
  require(os.changes.empty() && os.tree("/") == before, "the tree changed", out);
  require(*os.bytes_of("/w/GAME.DAT") == archive && *os.bytes_of("/w/KEEP") == "keep", "a file changed", out);
  require(os.reads.size() == 1 && os.reads[0].path == "/w/GAME.DAT", "another file opened", out);
  require(os.peak_reading == 1 && os.peak_writing == 0 && os.open_files() == 0, "open files", out);

  std::string_view rest;
  require(dat::fuzz::after_banner(out, "TORVEL DAT lister v0.1", rest), "no banner", out);

  // Where no call failed, unbale runs on the same archive, and the archive's
  // bytes tell what each line must say.
  const bool faultless = failing % 3 == 0;
  MemoryPlatform u;
  std::string_view unbale_rest;
  if (faultless) {
    set_up(u, archive, failing, nth, rules);
    char unbale[] = "unbale";
    char* uargv[] = {unbale, path, nullptr};
    (void)dat::run_extractor(u, 2, uargv);
    require(dat::fuzz::after_banner(u.output, "TORVEL DAT extractor v0.1", unbale_rest), "no unbale banner", u.output);
  }
  const std::string both = out + "\n--- unbale ---\n" + u.output;

  // An archive unbale can't use: its message alone, from both.
  if (!take(rest, "Part directory ")) {
    const std::string message = line_of(rest);
    bool known = message.rfind("Unsafe directory name ", 0) == 0;
    for (const char* m : {"The file is empty.", "The file is way too small.", "Header malformed."}) {
      known = known || message == m;
    }
    require(known && rest.empty() && status == 1, "not one message for an unusable archive", out);
    if (faultless) require(unbale_rest == message + "\n", "unbale found the archive usable, or said otherwise", both);
    return 0;
  }
  (void)line_of(rest);  // the part directory's name

  std::string expected;              // what unbale must have printed
  std::vector<std::string> created;  // the members unbale must have created, in order
  uint64_t members = 0;
  uint64_t bytes = 0;
  uint64_t problems = 0;
  bool ended = false;  // a line after which the walk must have ended
  for (;;) {
    std::string line = line_of(rest);
    std::string_view l = line;
    if (!take(l, "FILE:")) {
      if (line == "Failed to read an entry." || line.rfind("Missing null terminator in entry name ", 0) == 0) {
        require(!ended, "the walk went on past a truncated member unbale copies", out);
        expected += line + "\n";
        ++problems;
        line = line_of(rest);
      }
      const std::string summary = plural(members, "member") + ", " + plural(bytes, "byte") + ", " +
                                  (problems == 0 ? std::string("no problems") : plural(problems, "problem"));
      require(line == summary && rest.empty(), "the summary does not add up or is not last", out);
      break;
    }
    require(!ended, "the walk went on past a truncated member unbale copies", out);
    uint64_t index = 0;
    uint64_t offset = 0;
    uint64_t length = 0;
    uint64_t key = 0;
    uint64_t checksum = 0;
    require(number(l, 10, index) && index == members && take(l, " "), "bad index", out);
    // A name may hold anything but cannot hold the rest of the line.
    const size_t fields = l.rfind(" OFFSET:");
    require(fields != std::string_view::npos, "no fields", out);
    const std::string name(l.substr(0, fields));
    l.remove_prefix(fields);
    require(take(l, " OFFSET:") && number(l, 10, offset) && take(l, " SIZE:") && number(l, 10, length) &&
                take(l, " KEY:") && l.size() >= 2 && number(l, 16, key) && take(l, " CHECKSUM:") && l.size() >= 2 &&
                number(l, 16, checksum) && take(l, " "),
            "malformed member line", out);
    const std::string verdict(l);
    ++members;
    bytes += length;
    if (verdict != "ok") ++problems;
    if (!faultless) {
      const bool known = verdict == "ok" || verdict == "unsafe name, unbale skips it" ||
                         verdict.rfind("bad checksum, stored bytes sum to ", 0) == 0 ||
                         verdict.rfind("truncated, the archive holds ", 0) == 0;
      require(known, "an unknown verdict", out);
      continue;
    }

    // The entry's own bytes: the walk reads the table in order from byte 12.
    const size_t at = 12 + 19 * (members - 1);
    require(archive.size() >= at + 19, "a line for an entry the archive does not hold", out);
    const char entry_key = archive[at];
    std::string stored;
    for (size_t i = 0; i < 9 && (archive[at + 10 + i] ^ entry_key) != 0; ++i) {
      stored += static_cast<char>(archive[at + 10 + i] ^ entry_key);
    }
    require(shown(stored) == name && key == static_cast<uint8_t>(entry_key) &&
                checksum == static_cast<uint8_t>(archive[at + 1]) && offset == u32_at(archive, at + 2) &&
                length == u32_at(archive, at + 6),
            "fields that are not the entry's", out);

    // The verdict from the data and the name, in its order of precedence.
    const uint64_t held = offset >= archive.size() ? 0 : std::min<uint64_t>(length, archive.size() - offset);
    unsigned sum = 0;
    for (uint64_t i = 0; i < held; ++i) sum += static_cast<uint8_t>(archive[offset + i]);
    const bool unsafe = stored.empty() || stored == "." || stored == ".." ||
                        stored.find_first_of(u.separators) != std::string::npos ||
                        (u.reserved_name != nullptr && stored == u.reserved_name);
    char hex[3];
    (void)std::snprintf(hex, sizeof hex, "%02X", sum & 0xFF);
    const std::string due = held < length ? "truncated, the archive holds " + std::to_string(held) + " of its bytes"
                            : unsafe      ? std::string("unsafe name, unbale skips it")
                            : static_cast<uint8_t>(sum) != checksum
                                ? "bad checksum, stored bytes sum to " + std::string(hex)
                                : std::string("ok");
    require(verdict == due, "a verdict the archive does not call for", out);

    // What unbale does with the same member.
    if (unsafe) {
      expected += "Skipping unsafe file name " + name + "\n";
      continue;
    }
    created.push_back(name);
    if (held < length) {
      expected += "Something messed up the data reader at file " + name + "\n";
      ended = true;
    } else if (static_cast<uint8_t>(sum) != checksum) {
      expected += "Bad Checksum in file " + name + "\n";
    }
  }
  require(status == (problems == 0 ? 0 : 1), "exit status", out);
  if (!faultless) return 0;

  require(unbale_rest == expected, "unbale said otherwise", both);
  std::vector<std::string> made;
  for (const MemoryPlatform::Change& c : u.changes) {
    if (c.op == Op::create_write) made.push_back(shown(c.path.substr(c.path.rfind('/') + 1)));
  }
  require(made == created, "unbale created other members", both);
  return 0;
}
