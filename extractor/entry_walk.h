// The walk through an archive's entry table, shared by unbale and balelist:
// the program's own loop asks for the next entry, decides what the entry
// means to it, and has the member's bytes read with read_member. Nothing here
// prints but a failed write to a member file; each program has its messages.
#pragma once

#include <cstdint>

#include "archive/dat_archive.h"
#include "platform/platform.h"

namespace dat {

// Where a walk stands, kept in the caller's frame for one walk. Starts
// zeroed, with the archive positioned just past its header.
struct EntryWalk {
  bool started;
  uint32_t table_bound;       // the first entry's offset: no entry is read at or past it
  uint64_t at;                // the archive position of the entry last read
  DatEntry entry;             // that entry, its name's key removed
  char name[kNameField + 1];  // its name, terminated even when byte 18 is not NUL
};

// What the next entry turned out to be.
enum class WalkStep {
  member,         // a member whose name stands for one file in the current directory here
  unsafe_member,  // a member whose name does not: unbale skips it
  end,            // the end marker, or the table bound: the table is complete
  entry_unread,   // fewer than 19 bytes where an entry should be
  unterminated,   // the name's ninth byte, with the key removed, is not NUL
};

// Reads the entry after the one last read (the first on a fresh walk),
// seeking back into the table where a member's data moved the archive away.
// After any step but member and unsafe_member, the walk is over.
WalkStep next_entry(Platform& os, int archive, EntryWalk& walk);

// What reading a member's data gave.
struct MemberData {
  uint32_t count;  // bytes read: short of the size when the archive ended, or a read failed, first
  uint8_t sum;     // their sum as stored, before the key came off
};

// Seeks to the data of the member `walk` stands at and reads them through
// `block` (kBlockSize bytes) one block at a time, summing each as stored and
// removing the key. Each block goes to `member` unless it is -1; a write
// that falls short prints "Error writing file <name>", once per block.
MemberData read_member(Platform& os, int archive, const EntryWalk& walk, int member, uint8_t* block);

}  // namespace dat
