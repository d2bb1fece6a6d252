#include "packer/packer.h"

#include <cstring>
#include <string>
#include <string_view>

#include "archive/dat_archive.h"

namespace dat {
namespace {

// The part directory's name is kept to this many characters.
constexpr size_t kKeptName = 10;
// An archive addresses its bytes with 32-bit offsets.
constexpr uint64_t kMaxArchiveEnd = 0xFFFFFFFFu;

// Member data pass through here one block at a time.
uint8_t g_block[kBlockSize];

void print_banner(Platform& os) {
  print(os, "TORVEL DAT packer v0.1\n");
  print(os, "Packs a directory tree into a DAT archive.\n");
  print(os, "Build Date:%s GMT+01:00\n", __DATE__ " " __TIME__);
  print(os, "\n");
}

bool is_dot_or_dot_dot(const char* name) { return std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0; }

// The next listed entry that is a member file; false when the listing ends.
bool next_member(Platform& os, int list, ListEntry& entry) {
  while (os.next_entry(list, entry)) {
    if (!entry.is_directory) return true;
  }
  return false;
}

// Picks the last subdirectory of the current directory, "." and ".." being
// the first two entries of any listing, and keeps its first 10 characters.
// False, with the message printed, when the directory can't be listed.
bool choose_part_directory(Platform& os, const char* stem, char* kept) {
  const int list = os.open_list(".");
  if (list < 0) {
    print(os, "Can't scan directory %s\n", stem);
    return false;
  }
  std::memcpy(kept, "..", 3);  // with its NUL
  ListEntry entry{};
  while (os.next_entry(list, entry)) {
    if (!entry.is_directory || is_dot_or_dot_dot(entry.name)) continue;  // already counted first
    std::strncpy(kept, entry.name, kKeptName);
    kept[kKeptName] = '\0';
  }
  os.close_list(list);
  return true;
}

// Writes `part` (at most 3 characters) as one NUL-padded name field;
// returns the bytes the write took.
uint32_t write_name_part(Platform& os, int archive, std::string_view part, bool with_format_mark) {
  uint8_t field[kNamePartField + 2] = {};
  std::memcpy(field, part.data(), part.size());
  field[kNamePartField + 1] = 0x01;  // the format mark 0x00 0x01
  return os.write(archive, field, with_format_mark ? kNamePartField + 2 : kNamePartField);
}

// Writes the header from the uppercased part-directory name, in two pieces:
// name_part1, then name_part2 with the format mark. False where a refused
// name ends the run.
bool write_header(Platform& os, int archive, const char* name) {
  const std::string_view whole(name);
  const size_t comma = whole.find(',');
  if (comma == std::string_view::npos) {
    print(os, "No comma found in directory name %s\n", name);
    return false;
  }
  const std::string_view first = whole.substr(0, comma);
  const std::string_view second = whole.substr(comma + 1);
  if (first.size() >= 4) {
    print(os, "First part of directory name %s is too long\n", name);
    return false;
  }
  uint32_t written = write_name_part(os, archive, first, false);
  if (second.size() >= 4) {
    print(os, "Second part of directory name %s is too long\n", name);
    return false;
  }
  written += write_name_part(os, archive, second, true);
  if (written != kHeaderSize) print(os, "Error writing header in DAT file.\n");
  return true;
}

// Reads one member file through, summing its bytes. False, with the message
// printed, when a read fails.
bool measure_member(Platform& os, int file, const char* name, uint64_t& size, uint8_t& sum) {
  size = 0;
  sum = 0;
  for (;;) {
    const int64_t got = os.read(file, g_block, kBlockSize);
    if (got < 0) {
      print(os, "\nCan't read file %s\n", name);  // ends the open progress line first
      return false;
    }
    if (got == 0) return true;
    size += static_cast<uint64_t>(got);
    update_checksum(sum, g_block, static_cast<uint32_t>(got));
    if (size > kMaxArchiveEnd) return true;  // no archive holds it, and a device may never end
  }
}

// Table pass: one entry per member file, each file read once for its size
// and checksum. Leaves `offset` at the end of the data the entries describe.
// False where the run stops.
bool write_table(Platform& os, int archive, int list, uint32_t count, uint64_t& offset) {
  for (uint32_t j = 0; j < count; ++j) {
    ListEntry entry{};
    if (!next_member(os, list, entry)) {
      print(os, "readir() returned NULL in header scan loop.\n");
      return false;
    }
    const int file = os.open_read(entry.name);
    if (file < 0) {
      print(os, "Can't open file %s to calculate the checksum\n", entry.name);
      return false;
    }
    print(os, "FILE:%u ", j);
    print(os, "%s ", entry.name);
    uint64_t size = 0;
    uint8_t sum = 0;
    const bool measured = measure_member(os, file, entry.name, size, sum);
    (void)os.close(file);  // read only: nothing held
    if (!measured) return false;
    print(os, "SIZE:%llu\n", static_cast<unsigned long long>(size));
    if (size == 0) print(os, "File %s is empty!?\n", entry.name);
    if (offset + size > kMaxArchiveEnd) {
      print(os, "File %s makes the archive too large\n", entry.name);
      return false;
    }

    char stored[kNameField];
    stored_name(entry.name, stored);
    uint8_t record[kEntrySize];
    encode_entry(0, sum, static_cast<uint32_t>(offset), static_cast<uint32_t>(size), stored, record);
    if (os.write(archive, record, kEntrySize) != kEntrySize) print(os, "Error writing file entry in DAT file.\n");
    offset += size;
  }
  return true;
}

// Copy pass: every member's bytes behind the table, in the same order.
// Advances `position` by the bytes read, and reads no further once it passes
// `end`, where the entries' data end: a member that grows as it is read,
// such as the archive itself reached through a link, can't fill the disk.
// False where the run stops.
bool copy_members(Platform& os, int archive, int list, uint32_t count, uint64_t end, uint64_t& position) {
  for (uint32_t j = 0; j < count; ++j) {
    ListEntry entry{};
    if (!next_member(os, list, entry)) {
      print(os, "readir() returned NULL in file copy loop.\n");
      return false;
    }
    const int file = os.open_read(entry.name);
    if (file < 0) {
      print(os, "Can't open file %s to copy contents\n", entry.name);
      return false;
    }
    int64_t got = 0;
    while (position <= end && (got = os.read(file, g_block, kBlockSize)) > 0) {
      const auto n = static_cast<uint32_t>(got);
      if (os.write(archive, g_block, n) != n) print(os, "Error writing data from %u\n", j);
      position += n;  // the bytes read, so that a member that changed size shows below
      // A regular file ends where a read of it came back short: this saves
      // the read that would give nothing. A member that is no longer the
      // size the table pass measured still shows in the copy position.
      if (entry.is_regular && os.read_came_short(file)) break;
    }
    (void)os.close(file);
    if (got < 0) {
      print(os, "Can't read file %s\n", entry.name);
      return false;
    }
  }
  return true;
}

// The count, table and copy passes over one listing of the part directory,
// then the size cross-check.
void pack_members(Platform& os, int archive, int list) {
  uint32_t count = 0;
  ListEntry entry{};
  while (next_member(os, list, entry)) ++count;
  os.rewind_list(list);
  if (count == 0) {
    print(os, "No files found.\n");
    return;
  }

  const uint64_t first_data = kHeaderSize + (uint64_t{count} + 1) * kEntrySize;
  uint64_t offset = first_data;
  if (!write_table(os, archive, list, count, offset)) return;

  os.rewind_list(list);
  if (os.write(archive, kEndMarkerEntry, kEntrySize) != kEntrySize) {
    print(os, "Error writing ENDFILE entry in DAT file.\n");
  }

  uint64_t position = first_data;
  if (!copy_members(os, archive, list, count, offset, position)) return;
  if (position != offset) print(os, "File size don't match up\n");
}

// Steps from finding the tree to the size cross-check; returns where a step
// ends the run, wherever the current directory then is.
void pack(Platform& os, int archive, const char* path) {
  const std::string stem(archive_stem(path));
  if (!os.change_dir(stem.c_str())) {
    print(os, "Can't open directory %s\n", stem.c_str());
    return;
  }

  char kept[kKeptName + 1] = {};
  if (!choose_part_directory(os, stem.c_str(), kept)) return;
  if (!os.change_dir(kept)) {
    print(os, "Can't open directory %s\n", kept);
    return;
  }
  upper_ascii(kept, std::strlen(kept));  // messages from here on show the stored form

  if (!write_header(os, archive, kept)) return;

  const int list = os.open_list(".");
  if (list < 0) {
    print(os, "Can't scan directory %s\n", kept);
    return;
  }
  pack_members(os, archive, list);
  os.close_list(list);
}

}  // namespace

int run_packer(Platform& os, int argc, char** argv) {
  print_banner(os);
  if (argc != 2) {
    print(os,
          "BALEUP outfile \nA directory with the same name will be read.Containing the same structure as produced "
          "by UNBALE\n");
    return 2;
  }
  const int start = os.mark_dir();
  const int archive = os.create_write(argv[1]);
  if (archive < 0) {
    print(os, "Can't create the output file.\n");
  } else {
    pack(os, archive, argv[1]);
  }

  // The exit sequence, however the run ended. A start that could not be
  // marked is still current when the run stopped before pack() could leave it.
  const bool back = start < 0 ? archive < 0 : os.return_to_dir(start);
  if (archive >= 0 && !os.close(archive)) print(os, "Error writing DAT file.\n");
  if (back) {
    const std::string dat = std::string(archive_stem(argv[1])) + ".DAT";
    (void)os.set_owner_rw(dat.c_str());  // may name no file, a directory, or another file than the archive
  }
  return 0;
}

}  // namespace dat
