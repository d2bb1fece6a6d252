// The DAT archive format: its records, constants and the operations both
// programs share. Nothing here opens a file or keeps state; the block buffer
// and the running checksum belong to the calling program.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace dat {

inline constexpr uint32_t kHeaderSize = 12;
inline constexpr uint32_t kEntrySize = 19;
inline constexpr uint32_t kBlockSize = 512;

// Header layout: two NUL-padded name parts, then the two-byte format mark.
inline constexpr uint32_t kNamePartField = 5;
inline constexpr uint32_t kNamePart1At = 0;
inline constexpr uint32_t kNamePart2At = 5;
inline constexpr uint32_t kFormatMarkAt = 10;
static_assert(kFormatMarkAt + 2 == kHeaderSize);

// Entry layout: key, checksum, offset, size, then the keyed 9-byte name.
inline constexpr uint32_t kKeyAt = 0;
inline constexpr uint32_t kChecksumAt = 1;
inline constexpr uint32_t kOffsetAt = 2;
inline constexpr uint32_t kSizeAt = 6;
inline constexpr uint32_t kNameAt = 10;
inline constexpr uint32_t kNameField = 9;
inline constexpr uint32_t kMaxNameLength = kNameField - 1;
static_assert(kNameAt + kNameField == kEntrySize);

// The longest part-directory name a header can give: 4 + ',' + 4.
inline constexpr uint32_t kMaxPartDirectoryName = 2 * (kNamePartField - 1) + 1;

// The record that closes every entry table the packer writes.
inline constexpr uint8_t kEndMarkerEntry[kEntrySize] = {0,   0,   0,   0,   0,   0,   0,   0, 0, 0,
                                                        'E', 'N', 'D', 'F', 'I', 'L', 'E', 0, 0};

struct DatHeader {
  uint8_t name_part1[kNamePartField];
  uint8_t name_part2[kNamePartField];
  uint8_t format_mark[2];
};

// An entry as the programs use it: the name with the key already removed.
struct DatEntry {
  uint8_t key;
  uint8_t checksum;
  uint32_t offset;
  uint32_t size;
  uint8_t name[kNameField];
};

inline uint32_t get_u32le(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

inline void put_u32le(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

// The path with everything from its last '.' removed; the whole path when it
// holds no '.'. The '.' may stand in a directory component.
std::string_view archive_stem(std::string_view path);

// True when the 12 header bytes carry NULs at bytes 4 and 9 and the format
// mark 0x00 0x01; no other byte is looked at.
bool header_is_valid(const uint8_t* bytes);

// The header's fields, copied byte by byte from 12 header bytes.
DatHeader decode_header(const uint8_t* bytes);

// Writes name_part1 and name_part2, each up to its first NUL, joined by ','
// and NUL-terminated, into `out` (room for kMaxPartDirectoryName + 1 bytes).
// The header must have passed header_is_valid. Returns the name's length.
size_t part_directory_name(const DatHeader& header, char* out);

// The 19 bytes of an entry; `name` is cut to 8 bytes and NUL-padded, and
// every name byte is XORed with `key`.
void encode_entry(uint8_t key, uint8_t checksum, uint32_t offset, uint32_t size, std::string_view name, uint8_t* out);

// The entry in 19 record bytes, with the key removed from all 9 name bytes.
DatEntry decode_entry(const uint8_t* record);

// True when the decoded name reads "ENDFILE" up to its first NUL.
bool is_end_marker(const DatEntry& entry);

// The name a member is stored under: the first 8 bytes of its file name with
// ASCII a-z made upper case, NUL-terminated in `out` (kNameField bytes).
void stored_name(std::string_view file_name, char* out);

// ASCII a-z made upper case in place; every other byte stays.
void upper_ascii(char* text, size_t length);

// True when `name` names one file in the current directory and nothing else:
// not empty, not "." or "..", and free of every byte in `separators`.
bool is_plain_file_name(std::string_view name, std::string_view separators);

// Adds the first min(count, kBlockSize) bytes of `block` to `sum`, modulo 256.
// The result depends only on the bytes summed, not on how they were split.
void update_checksum(uint8_t& sum, const uint8_t* block, uint32_t count);

// XORs all kBlockSize bytes of `block` with `key`, valid or not.
void apply_key(uint8_t* block, uint8_t key);

}  // namespace dat
