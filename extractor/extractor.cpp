#include "extractor/extractor.h"

#include <cstring>
#include <string>

#include "archive/dat_archive.h"

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

// Copies one member's bytes from `offset` into `member`, summing them as
// stored and removing the key. False when the archive ran dry first.
bool copy_member(Platform& os, int archive, int member, const DatEntry& entry, const char* name, uint8_t& sum) {
  (void)os.seek(archive, entry.offset);  // a bad offset shows as a read that yields nothing
  uint32_t copied = 0;
  while (copied < entry.size) {
    const uint32_t want = entry.size - copied < kBlockSize ? entry.size - copied : kBlockSize;
    const int64_t got = os.read(archive, g_block, want);
    if (got <= 0) {  // a read error ends the copy like the end of the archive
      print(os, "Something messed up the data reader at file %s\n", name);
      return false;
    }
    const auto n = static_cast<uint32_t>(got);
    copied += n;
    update_checksum(sum, g_block, n);  // summed before the key comes off: the sum covers stored bytes
    apply_key(g_block, entry.key);
    if (os.write(member, g_block, n) != n) print(os, "Error writing file %s\n", name);
  }
  return true;
}

// Reads the entry table from the archive's current position and writes each
// member into the current directory, until the end marker, the table bound
// or the first failure that ends the walk.
void walk_entries(Platform& os, int archive) {
  uint32_t table_bound = 0;
  for (;;) {
    uint8_t record[kEntrySize];
    const uint64_t entry_at = os.tell(archive);
    if (os.read(archive, record, kEntrySize) != kEntrySize) {
      print(os, "Failed to read an entry.\n");
      return;
    }
    const DatEntry entry = decode_entry(record);
    // The first entry's data mark where the table must end.
    if (entry_at == kHeaderSize) table_bound = entry.offset;
    if (is_end_marker(entry)) return;

    char name[kNameField + 1] = {};  // room for a name whose ninth byte is not NUL
    std::memcpy(name, entry.name, kNameField);
    if (entry.name[kMaxNameLength] != 0) {
      print(os, "Missing null terminator in entry name %s at 0x%lX.\n", name, static_cast<unsigned long>(entry_at));
      return;
    }

    const uint64_t resume = entry_at + kEntrySize;
    if (!is_plain_file_name(name, os.name_separators()) || os.is_reserved_name(name)) {
      print(os, "Skipping unsafe file name %s\n", name);
    } else {
      const int member = os.create_write(name);
      if (member < 0) {
        print(os, "Can't create file %s\n", name);
        return;
      }
      uint8_t sum = 0;
      const bool complete = copy_member(os, archive, member, entry, name, sum);
      if (complete && sum != entry.checksum) print(os, "Bad Checksum in file %s\n", name);
      // Through the open file: no path is looked up again, so nothing can
      // redirect the change to another file.
      if (complete) (void)os.set_file_owner_rw(member);
      if (!os.close(member)) print(os, "Error writing file %s\n", name);
      if (!complete) return;
    }
    if (resume >= table_bound) return;
    (void)os.seek(archive, resume);
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
