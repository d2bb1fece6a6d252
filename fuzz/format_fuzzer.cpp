// The format library's decoders and name rules on any bytes, each checked
// against what its declaration promises, worked out here byte by byte. Every
// buffer handed over is a heap copy of exactly the size the call may touch,
// so that a byte read or written past it is a finding.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "archive/dat_archive.h"
#include "fuzz/fuzz_support.h"

namespace {

using dat::fuzz::require;

std::unique_ptr<uint8_t[]> exact_copy(std::string_view bytes, size_t n) {
  auto copy = std::make_unique<uint8_t[]>(n);
  for (size_t i = 0; i < n; ++i) copy[i] = i < bytes.size() ? static_cast<uint8_t>(bytes[i]) : 0;
  return copy;
}

uint32_t le32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

void check_entry(std::string_view bytes) {
  const auto record = exact_copy(bytes, dat::kEntrySize);
  const dat::DatEntry e = dat::decode_entry(record.get());
  require(e.key == record[0] && e.checksum == record[1], "key or checksum not the record's", bytes);
  require(e.offset == le32(&record[2]) && e.size == le32(&record[6]), "offset or size not little-endian", bytes);
  for (size_t i = 0; i < 9; ++i) require(e.name[i] == (record[10 + i] ^ record[0]), "name not unkeyed", bytes);

  const bool ends = std::memcmp(e.name, "ENDFILE\0", 8) == 0;
  require(dat::is_end_marker(e) == ends, "end marker misjudged", bytes);

  // A name NUL-padded from its first NUL to the ninth byte encodes back to the same record.
  const size_t length =
      std::strlen(reinterpret_cast<const char*>(e.name)) < 9 ? std::strlen(reinterpret_cast<const char*>(e.name)) : 9;
  bool padded = length <= 8;
  for (size_t i = length; i < 9 && padded; ++i) padded = e.name[i] == 0;
  if (padded) {
    const auto again = std::make_unique<uint8_t[]>(dat::kEntrySize);
    const std::string name(reinterpret_cast<const char*>(e.name), length);
    dat::encode_entry(e.key, e.checksum, e.offset, e.size, name, again.get());
    require(std::memcmp(again.get(), record.get(), dat::kEntrySize) == 0, "encode does not undo decode", bytes);
  }
}

void check_header(std::string_view bytes) {
  const auto raw = exact_copy(bytes, dat::kHeaderSize);
  const bool valid = raw[4] == 0 && raw[9] == 0 && raw[10] == 0 && raw[11] == 1;
  require(dat::header_is_valid(raw.get()) == valid, "header misjudged", bytes);
  const dat::DatHeader h = dat::decode_header(raw.get());
  for (size_t i = 0; i < 5; ++i) {
    require(h.name_part1[i] == raw[i] && h.name_part2[i] == raw[5 + i], "name parts not copied", bytes);
  }
  require(h.format_mark[0] == raw[10] && h.format_mark[1] == raw[11], "format mark not copied", bytes);
  if (!valid) return;

  std::string want;
  for (size_t i = 0; i < 5 && raw[i] != 0; ++i) want += static_cast<char>(raw[i]);
  want += ',';
  for (size_t i = 5; i < 10 && raw[i] != 0; ++i) want += static_cast<char>(raw[i]);
  const auto name = std::make_unique<char[]>(dat::kMaxPartDirectoryName + 1);
  const size_t n = dat::part_directory_name(h, name.get());
  require(
      n == want.size() && n <= dat::kMaxPartDirectoryName && name[n] == '\0' && std::string_view(name.get(), n) == want,
      "part directory name wrong", bytes);
}

void check_names(std::string_view bytes, uint8_t choice) {
  const std::string_view stem = dat::archive_stem(bytes);
  const size_t dot = bytes.rfind('.');
  require(stem.data() == bytes.data() && stem.size() == (dot == std::string_view::npos ? bytes.size() : dot),
          "archive stem wrong", bytes);

  const std::string_view separators = choice & 1 ? "/\\:" : "/";
  const bool plain =
      !bytes.empty() && bytes != "." && bytes != ".." && bytes.find_first_of(separators) == std::string_view::npos;
  require(dat::is_plain_file_name(bytes, separators) == plain, "plain name misjudged", bytes);

  const auto stored = std::make_unique<char[]>(dat::kNameField);
  dat::stored_name(bytes, stored.get());
  for (size_t i = 0; i < dat::kNameField; ++i) {
    char want = i < 8 && i < bytes.size() ? bytes[i] : '\0';
    if (want >= 'a' && want <= 'z') want = static_cast<char>(want - 'a' + 'A');
    require(stored[i] == want, "stored name wrong", bytes);
  }
}

void check_checksum(std::string_view bytes, uint8_t key) {
  const auto block = exact_copy(bytes, dat::kBlockSize);
  uint8_t whole = 0;
  dat::update_checksum(whole, block.get(), static_cast<uint32_t>(bytes.size()));  // above 512 counts as 512
  uint8_t split = 0;
  const uint32_t n = bytes.size() < dat::kBlockSize ? static_cast<uint32_t>(bytes.size()) : dat::kBlockSize;
  const uint32_t cut = n / 3;
  dat::update_checksum(split, block.get(), cut);
  const auto tail =
      exact_copy(std::string_view(reinterpret_cast<const char*>(block.get()) + cut, n - cut), dat::kBlockSize);
  dat::update_checksum(split, tail.get(), n - cut);
  unsigned sum = 0;
  for (uint32_t i = 0; i < n; ++i) sum += block[i];
  require(whole == static_cast<uint8_t>(sum) && split == whole, "checksum wrong or split-dependent", bytes);

  dat::apply_key(block.get(), key);
  for (uint32_t i = 0; i < dat::kBlockSize; ++i) {
    const uint8_t was = i < bytes.size() ? static_cast<uint8_t>(bytes[i]) : 0;
    require(block[i] == (was ^ key), "key not applied to every byte", bytes);
  }
}

}  // namespace

// NOLINTNEXTLINE(readability-identifier-naming): the name libFuzzer calls
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  check_entry(bytes);
  check_header(bytes);
  check_names(bytes, size > 0 ? data[0] : 0);
  check_checksum(bytes, size > 1 ? data[1] : 0);
  return 0;
}
