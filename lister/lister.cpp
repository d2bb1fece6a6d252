#include "lister/lister.h"

#include <cstring>

#include "archive/dat_archive.h"
#include "extractor/entry_walk.h"

namespace dat {
namespace {

// Member data pass through here one block at a time.
uint8_t g_block[kBlockSize];

void print_banner(Platform& os) {
  print(os, "TORVEL DAT lister v0.1\n");
  print(os, "Lists a DAT archive and checks its members in place.\n");
  print(os, "Build Date:%s GMT+01:00\n", __DATE__ " " __TIME__);
  print(os, "\n");
}

// What the member lines add up to.
struct Tally {
  uint32_t members;
  uint64_t bytes;
  uint32_t problems;
};

// Prints the line of the member the walk stands at, whose data read as
// `data`, and counts it.
void list_member(Platform& os, const EntryWalk& walk, const MemberData& data, bool unsafe, Tally& tally) {
  const DatEntry& e = walk.entry;
  print(os, "FILE:%u %s OFFSET:%u SIZE:%u KEY:%02X CHECKSUM:%02X ", tally.members, walk.name, e.offset, e.size,
        unsigned{e.key}, unsigned{e.checksum});
  ++tally.members;
  tally.bytes += e.size;
  // The first verdict that applies wins: truncated, unsafe name, bad checksum.
  if (data.count != e.size) {
    print(os, "truncated, the archive holds %u of its bytes\n", data.count);
  } else if (unsafe) {
    print(os, "unsafe name, unbale skips it\n");
  } else if (data.sum != e.checksum) {
    print(os, "bad checksum, stored bytes sum to %02X\n", unsigned{data.sum});
  } else {
    print(os, "ok\n");
    return;
  }
  ++tally.problems;
}

// Walks the entry table as unbale does, reading every member's data (an
// unsafe one's too) to nowhere, one line per member, until the walk ends.
Tally list_entries(Platform& os, int archive) {
  Tally tally = {0, 0, 0};
  EntryWalk walk{};
  for (;;) {
    const WalkStep step = next_entry(os, archive, walk);
    if (step == WalkStep::end) return tally;
    if (step == WalkStep::entry_unread) {
      print(os, "Failed to read an entry.\n");
      ++tally.problems;
      return tally;
    }
    if (step == WalkStep::unterminated) {
      print(os, "Missing null terminator in entry name %s at 0x%lX.\n", walk.name, static_cast<unsigned long>(walk.at));
      ++tally.problems;
      return tally;
    }
    const MemberData data = read_member(os, archive, walk, -1, g_block);
    list_member(os, walk, data, step == WalkStep::unsafe_member, tally);
    // The walk ends where unbale's does: inside the data of a member it
    // copies. One it skips it never reads, so it goes on past it.
    if (step == WalkStep::member && data.count != walk.entry.size) return tally;
  }
}

// The steps between opening and closing the archive. True when the archive
// is intact: usable, and no problem found.
bool list(Platform& os, int archive) {
  uint8_t header[kHeaderSize];
  const int64_t got = os.read(archive, header, kHeaderSize);
  if (got == 0) {
    print(os, "The file is empty.\n");
    return false;
  }
  if (got != kHeaderSize) {
    print(os, "The file is way too small.\n");
    return false;
  }
  if (!header_is_valid(header)) {
    print(os, "Header malformed.\n");
    return false;
  }
  char part[kMaxPartDirectoryName + 1];
  (void)part_directory_name(decode_header(header), part);
  // unbale refuses such an archive whole, before any member.
  if (std::strpbrk(part, os.name_separators()) != nullptr) {
    print(os, "Unsafe directory name %s\n", part);
    return false;
  }
  print(os, "Part directory %s\n", part);

  const Tally tally = list_entries(os, archive);
  print(os, "%u member%s, %llu byte%s, ", tally.members, tally.members == 1 ? "" : "s",
        static_cast<unsigned long long>(tally.bytes), tally.bytes == 1 ? "" : "s");
  if (tally.problems == 0) {
    print(os, "no problems\n");
    return true;
  }
  print(os, "%u problem%s\n", tally.problems, tally.problems == 1 ? "" : "s");
  return false;
}

}  // namespace

int run_lister(Platform& os, int argc, char** argv) {
  print_banner(os);
  if (argc != 2) {
    print(os, "BALELIST infile\nLists the members of a DAT archive and checks them; nothing is written.\n");
    return 2;
  }
  const int archive = os.open_read(argv[1]);
  if (archive < 0) {
    print(os, "Can't open the input file.\n");
    return 1;
  }
  const bool intact = list(os, archive);
  (void)os.close(archive);
  return intact ? 0 : 1;
}

}  // namespace dat
