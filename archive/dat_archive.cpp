#include "archive/dat_archive.h"

#include <cstring>

namespace dat {

std::string_view archive_stem(std::string_view path) {
  const size_t dot = path.rfind('.');
  return dot == std::string_view::npos ? path : path.substr(0, dot);
}

bool header_is_valid(const uint8_t* bytes) {
  return bytes[kNamePart1At + kNamePartField - 1] == 0 && bytes[kNamePart2At + kNamePartField - 1] == 0 &&
         bytes[kFormatMarkAt] == 0x00 && bytes[kFormatMarkAt + 1] == 0x01;
}

DatHeader decode_header(const uint8_t* bytes) {
  DatHeader header{};
  for (uint32_t i = 0; i < kNamePartField; ++i) {
    header.name_part1[i] = bytes[kNamePart1At + i];
    header.name_part2[i] = bytes[kNamePart2At + i];
  }
  header.format_mark[0] = bytes[kFormatMarkAt];
  header.format_mark[1] = bytes[kFormatMarkAt + 1];
  return header;
}

// Copies a NUL-padded field up to its first NUL; returns the bytes copied.
static size_t copy_name_part(const uint8_t* field, char* out) {
  size_t n = 0;
  while (n < kNamePartField && field[n] != 0) {
    out[n] = static_cast<char>(field[n]);
    ++n;
  }
  return n;
}

size_t part_directory_name(const DatHeader& header, char* out) {
  size_t n = copy_name_part(header.name_part1, out);
  out[n++] = ',';
  n += copy_name_part(header.name_part2, out + n);
  out[n] = '\0';
  return n;
}

void encode_entry(uint8_t key, uint8_t checksum, uint32_t offset, uint32_t size, std::string_view name, uint8_t* out) {
  out[kKeyAt] = key;
  out[kChecksumAt] = checksum;
  put_u32le(out + kOffsetAt, offset);
  put_u32le(out + kSizeAt, size);
  for (uint32_t i = 0; i < kNameField; ++i) {
    const uint8_t plain = i < kMaxNameLength && i < name.size() ? static_cast<uint8_t>(name[i]) : 0;
    out[kNameAt + i] = static_cast<uint8_t>(plain ^ key);
  }
}

DatEntry decode_entry(const uint8_t* record) {
  DatEntry entry{};
  entry.key = record[kKeyAt];
  entry.checksum = record[kChecksumAt];
  entry.offset = get_u32le(record + kOffsetAt);
  entry.size = get_u32le(record + kSizeAt);
  for (uint32_t i = 0; i < kNameField; ++i) {
    entry.name[i] = static_cast<uint8_t>(record[kNameAt + i] ^ entry.key);
  }
  return entry;
}

bool is_end_marker(const DatEntry& entry) {
  return std::memcmp(entry.name, "ENDFILE", 8) == 0;  // the 8th byte compared is the NUL
}

void upper_ascii(char* text, size_t length) {
  for (size_t i = 0; i < length; ++i) {
    if (text[i] >= 'a' && text[i] <= 'z') text[i] = static_cast<char>(text[i] - 'a' + 'A');
  }
}

void stored_name(std::string_view file_name, char* out) {
  const size_t n = file_name.size() < kMaxNameLength ? file_name.size() : kMaxNameLength;
  std::memcpy(out, file_name.data(), n);
  std::memset(out + n, 0, kNameField - n);
  upper_ascii(out, n);
}

bool is_plain_file_name(std::string_view name, std::string_view separators) {
  if (name.empty() || name == "." || name == "..") return false;
  return name.find_first_of(separators) == std::string_view::npos;
}

void update_checksum(uint8_t& sum, const uint8_t* block, uint32_t count) {
  // The sum is kept in 8 bits all along, so the compiler can add 16 or 32
  // bytes at a time without widening them. A whole block, the usual case, has
  // a fixed count that lets even -O2 do so; only a member's last block may be
  // shorter.
  uint8_t s = sum;
  if (count >= kBlockSize) {
    for (uint32_t i = 0; i < kBlockSize; ++i) s = static_cast<uint8_t>(s + block[i]);
  } else {
    for (uint32_t i = 0; i < count; ++i) s = static_cast<uint8_t>(s + block[i]);
  }
  sum = s;
}

void apply_key(uint8_t* block, uint8_t key) {
  if (key == 0) return;  // changes nothing, and every archive the packer writes has key 0
  for (uint32_t i = 0; i < kBlockSize; ++i) block[i] = static_cast<uint8_t>(block[i] ^ key);
}

}  // namespace dat
