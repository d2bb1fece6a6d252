#include "extractor/extractor.h"

#include <cstring>
#include <string>

#include "archive/dat_archive.h"
#include "extractor/entry_walk.h"

namespace dat {
namespace {

// Member data pass through here one block at a time.
uint8_t g_block[kBlockSize];

void print_banner(Platform& os) {
  print(os, "TORVEL DAT extractor v0.1\n");
  print(os, "Unpacks a DAT archive into a directory tree.\n");
  print(os, "Build Date:%s GMT+01:00\n", __DATE__ " " __TIME__);
  print(os, "\n");
}

// Writes the member the walk stands at into its file in the current
// directory. False when the walk must end there.
bool extract_member(Platform& os, int archive, const EntryWalk& walk) {
  const int member = os.create_write(walk.name);
  if (member < 0) {
    print(os, "Can't create file %s\n", walk.name);
    return false;
  }
  const MemberData data = read_member(os, archive, walk, member, g_block);
  const bool complete = data.count == walk.entry.size;
  if (!complete) print(os, "Something messed up the data reader at file %s\n", walk.name);
  if (complete && data.sum != walk.entry.checksum) print(os, "Bad Checksum in file %s\n", walk.name);
  // Through the open file: no path is looked up again, so nothing can
  // redirect the change to another file.
  if (complete) (void)os.set_file_owner_rw(member);
  if (!os.close(member)) print(os, "Error writing file %s\n", walk.name);
  return complete;
}

// Reads the entry table from the archive's current position and writes each
// member into the current directory, until the end marker, the table bound
// or the first failure that ends the walk.
void walk_entries(Platform& os, int archive) {
  EntryWalk walk{};
  for (;;) {
    switch (next_entry(os, archive, walk)) {
      case WalkStep::member:
        if (!extract_member(os, archive, walk)) return;
        break;
      case WalkStep::unsafe_member:
        print(os, "Skipping unsafe file name %s\n", walk.name);
        break;
      case WalkStep::end:
        return;
      case WalkStep::entry_unread:
        print(os, "Failed to read an entry.\n");
        return;
      case WalkStep::unterminated:
        print(os, "Missing null terminator in entry name %s at 0x%lX.\n", walk.name,
              static_cast<unsigned long>(walk.at));
        return;
    }
  }
}

// The steps between opening and closing the archive; returns where a step
// ends the run, so that the archive is closed in one place.
void extract(Platform& os, int archive, const char* path) {
  uint8_t header[kHeaderSize];
  const int64_t got = os.read(archive, header, kHeaderSize);
  if (got == 0) {
    print(os, "The file is empty.\n");
    return;
  }
  if (got != kHeaderSize) {
    print(os, "The file is way too small.\n");
    return;
  }

  const std::string stem(archive_stem(path));
  (void)os.make_dir(stem.c_str());  // may exist already
  if (!os.change_dir(stem.c_str())) {
    print(os, "Failed to create directory %s\n", stem.c_str());
    return;
  }

  if (!header_is_valid(header)) {
    print(os, "Header malformed.\n");
    return;
  }

  char part[kMaxPartDirectoryName + 1];
  (void)part_directory_name(decode_header(header), part);
  if (std::strpbrk(part, os.name_separators()) != nullptr) {
    print(os, "Unsafe directory name %s\n", part);
    return;
  }
  (void)os.make_dir(part);  // may exist already
  if (!os.change_dir(part)) {
    print(os, "Failed to create subdirectory %s\n", part);
    return;
  }

  walk_entries(os, archive);
}

}  // namespace

int run_extractor(Platform& os, int argc, char** argv) {
  print_banner(os);
  if (argc != 2) {
    print(os, "UNBALE infile\nDirectories will be created which contain the extracted files.\n");
    return 2;
  }
  const int archive = os.open_read(argv[1]);
  if (archive < 0) {
    print(os, "Can't open the input file.\n");
    return 0;
  }
  extract(os, archive, argv[1]);
  (void)os.close(archive);
  return 0;
}

}  // namespace dat
