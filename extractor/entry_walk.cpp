#include "extractor/entry_walk.h"

#include <cstring>

namespace dat {

WalkStep next_entry(Platform& os, int archive, EntryWalk& walk) {
  if (walk.started) {
    const uint64_t resume = walk.at + kEntrySize;
    if (resume >= walk.table_bound) return WalkStep::end;
    (void)os.seek(archive, resume);
  }
  walk.started = true;

  uint8_t record[kEntrySize];
  walk.at = os.tell(archive);
  if (os.read(archive, record, kEntrySize) != kEntrySize) return WalkStep::entry_unread;
  walk.entry = decode_entry(record);
  // The first entry's data mark where the table must end.
  if (walk.at == kHeaderSize) walk.table_bound = walk.entry.offset;
  if (is_end_marker(walk.entry)) return WalkStep::end;

  std::memcpy(walk.name, walk.entry.name, kNameField);
  walk.name[kNameField] = '\0';
  if (walk.entry.name[kMaxNameLength] != 0) return WalkStep::unterminated;
  if (!is_plain_file_name(walk.name, os.name_separators()) || os.is_reserved_name(walk.name)) {
    return WalkStep::unsafe_member;
  }
  return WalkStep::member;
}

MemberData read_member(Platform& os, int archive, const EntryWalk& walk, int member, uint8_t* block) {
  const DatEntry& entry = walk.entry;
  MemberData data = {0, 0};
  (void)os.seek(archive, entry.offset);  // a bad offset shows as a read that yields nothing
  while (data.count < entry.size) {
    const uint32_t want = entry.size - data.count < kBlockSize ? entry.size - data.count : kBlockSize;
    const int64_t got = os.read(archive, block, want);
    if (got <= 0) return data;  // a read error ends the data like the end of the archive
    const auto n = static_cast<uint32_t>(got);
    data.count += n;
    update_checksum(data.sum, block, n);  // summed before the key comes off: the sum covers stored bytes
    apply_key(block, entry.key);
    if (member >= 0 && os.write(member, block, n) != n) print(os, "Error writing file %s\n", walk.name);
  }
  return data;
}

}  // namespace dat
