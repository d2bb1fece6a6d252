#include "archive/dat_archive.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace dat {
namespace {

TEST(ArchiveStem, CutsAtLastDotAnywhereInThePath) {
  struct Case {
    const char* path;
    const char* stem;
  };
  const Case cases[] = {
      {"GAME.DAT", "GAME"},
      {"data\\GAME.DAT", "data\\GAME"},
      {"GAME", "GAME"},
      {"back.up\\GAME", "back"},
      {"..\\GAME", "."},
      {"a.b.c", "a.b"},
      {"/abs/x.dat", "/abs/x"},
      {".", ""},
      {"", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(archive_stem(c.path), c.stem);
  }
}

TEST(HeaderIsValid, TestsOnlyBytesFourNineTenAndEleven) {
  struct Case {
    uint8_t bytes[kHeaderSize];
    bool valid;
  };
  const Case cases[] = {
      {{'A', 'A', 0, 0, 0, 'B', 'B', 'B', 0, 0, 0x00, 0x01}, true},
      {{'W', 'X', 'Y', 'Z', 0, 'W', 'X', 'Y', 'Z', 0, 0x00, 0x01}, true},  // four characters each
      {{0, 7, 7, 7, 0, 0, 7, 7, 7, 0, 0x00, 0x01}, true},                  // bytes after a NUL ignored
      {{'A', 0, 0, 0, 1, 'B', 0, 0, 0, 0, 0x00, 0x01}, false},
      {{'A', 0, 0, 0, 0, 'B', 0, 0, 0, 1, 0x00, 0x01}, false},
      {{'A', 0, 0, 0, 0, 'B', 0, 0, 0, 0, 0x01, 0x00}, false},
      {{'A', 0, 0, 0, 0, 'B', 0, 0, 0, 0, 0x00, 0x02}, false},
      {{'A', 0, 0, 0, 0, 'B', 0, 0, 0, 0, 0x00, 0x00}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(std::string(reinterpret_cast<const char*>(c.bytes), kHeaderSize)));
    EXPECT_EQ(header_is_valid(c.bytes), c.valid);
  }
}

TEST(PartDirectoryName, JoinsBothPartsUpToTheirFirstNul) {
  struct Case {
    uint8_t bytes[kHeaderSize];
    const char* name;
  };
  const Case cases[] = {
      {{'A', 'A', 0, 0, 0, 'B', 'B', 'B', 0, 0, 0, 1}, "AA,BBB"},
      {{'A', 'B', 0, 0, 0, 'X', 'Y', 'Z', 0, 0, 0, 1}, "AB,XYZ"},
      {{0, 0, 0, 0, 0, 'A', 'B', 0, 0, 0, 0, 1}, ",AB"},
      {{'A', 'B', 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, "AB,"},
      {{'X', 0, 0, 0, 0, 'Y', ',', 'Z', 0, 0, 0, 1}, "X,Y,Z"},
      {{'W', 'X', 'Y', 'Z', 0, 'w', 'x', 'y', 'z', 0, 0, 1}, "WXYZ,wxyz"},  // case is kept
      {{'A', 0, 'J', 'K', 0, 'B', 0, 'L', 0, 0, 0, 1}, "A,B"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    char out[kMaxPartDirectoryName + 1];
    EXPECT_EQ(part_directory_name(decode_header(c.bytes), out), std::strlen(c.name));
    EXPECT_STREQ(out, c.name);
  }
}

TEST(EncodeEntry, PinsTheBytesOfTheExampleEntries) {
  uint8_t out[kEntrySize];
  encode_entry(0, 0x26, 69, 3, "A.TXT", out);
  const uint8_t a[kEntrySize] = {0, 0x26, 0x45, 0, 0, 0, 3, 0, 0, 0, 'A', '.', 'T', 'X', 'T', 0, 0, 0, 0};
  EXPECT_EQ(0, std::memcmp(out, a, kEntrySize));

  encode_entry(0x5A, 0xFF, 0x12345678, 0xFFFFFFFF, "LONGNAME1", out);  // cut to 8, keyed
  const uint8_t b[kEntrySize] = {0x5A,       0xFF,       0x78,       0x56,       0x34,       0x12,       0xFF,
                                 0xFF,       0xFF,       0xFF,       'L' ^ 0x5A, 'O' ^ 0x5A, 'N' ^ 0x5A, 'G' ^ 0x5A,
                                 'N' ^ 0x5A, 'A' ^ 0x5A, 'M' ^ 0x5A, 'E' ^ 0x5A, 0x5A};
  EXPECT_EQ(0, std::memcmp(out, b, kEntrySize));
}

TEST(DecodeEntry, RemovesKeyFromAllNameBytes) {
  const uint8_t record[kEntrySize] = {0x20, 0x26, 0x45, 0x00, 0x00, 0x80, 0x03, 0x00, 0x00, 0xF0,
                                      'a',  '.',  't',  'x',  't',  0x20, 0x20, 0x20, 0x20};
  const DatEntry e = decode_entry(record);
  EXPECT_EQ(e.key, 0x20);
  EXPECT_EQ(e.checksum, 0x26);
  EXPECT_EQ(e.offset, 0x80000045u);
  EXPECT_EQ(e.size, 0xF0000003u);
  EXPECT_EQ(0, std::memcmp(e.name, "A\x0ETXT\0\0\0\0", kNameField));
}

TEST(IsEndMarker, ReadsTheNameAfterTheKeyIsRemoved) {
  struct Case {
    const char* label;
    uint8_t record[kEntrySize];
    bool end;
  };
  const uint8_t k = 0x41;
  const Case cases[] = {
      {"plain", {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 'E', 'N', 'D', 'F', 'I', 'L', 'E', 0, 0}, true},
      {"other fields ignored", {0, 9, 1, 2, 3, 4, 5, 6, 7, 8, 'E', 'N', 'D', 'F', 'I', 'L', 'E', 0, 0x33}, true},
      {"keyed",
       {k, 0, 0, 0, 0, 0, 0, 0, 0, 0, 'E' ^ k, 'N' ^ k, 'D' ^ k, 'F' ^ k, 'I' ^ k, 'L' ^ k, 'E' ^ k, k, k},
       true},
      {"plain letters under a key", {k, 0, 0, 0, 0, 0, 0, 0, 0, 0, 'E', 'N', 'D', 'F', 'I', 'L', 'E', 0, 0}, false},
      {"lower case", {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 'E', 'N', 'D', 'F', 'I', 'L', 'e', 0, 0}, false},
      {"longer name", {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 'E', 'N', 'D', 'F', 'I', 'L', 'E', 'S', 0}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(is_end_marker(decode_entry(c.record)), c.end);
  }
  EXPECT_TRUE(is_end_marker(decode_entry(kEndMarkerEntry)));
}

TEST(StoredName, CutsToEightAndUppercasesOnlyAsciiLetters) {
  struct Case {
    const char* listed;
    const char* stored;
  };
  const Case cases[] = {
      {"a.txt", "A.TXT"},         {"Empty.dat", "EMPTY.DA"}, {"longname1.txt", "LONGNAME"}, {"x", "X"},
      {"\xE9t\xE9", "\xE9T\xE9"}, {"endfile", "ENDFILE"},    {"az[]{}@`", "AZ[]{}@`"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.listed);
    char out[kNameField];
    stored_name(c.listed, out);
    EXPECT_EQ(std::string(out, kNameField),
              std::string(c.stored) + std::string(kNameField - std::strlen(c.stored), '\0'));
  }
}

TEST(IsPlainFileName, RefusesEverythingThatIsNotOneName) {
  struct Case {
    const char* name;
    const char* separators;
    bool plain;
  };
  const Case cases[] = {
      {"A.TXT", "/", true}, {"..A", "/", true},      {"A\\B", "/", true},    {"C:X", "/", true},
      {"A/B", "/", false},  {"/", "/", false},       {".", "/", false},      {"..", "/", false},
      {"", "/", false},     {"A\\B", "/\\:", false}, {"C:X", "/\\:", false}, {"...", "/\\:", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(is_plain_file_name(c.name, c.separators), c.plain);
  }
}

TEST(UpdateChecksum, SumsStoredBytesModulo256) {
  uint8_t block[kBlockSize] = {'a', 'b', 'c'};
  uint8_t sum = 0;
  update_checksum(sum, block, 3);
  EXPECT_EQ(sum, 0x26);
  update_checksum(sum, block, 0);
  EXPECT_EQ(sum, 0x26);

  std::memset(block, 1, kBlockSize);
  sum = 0;
  update_checksum(sum, block, 256);
  EXPECT_EQ(sum, 0x00);

  // Any count above the block, the all-ones of a failed read included, sums 512 bytes.
  for (const uint32_t count : {513u, 1000u, 0xFFFFFFFFu}) {
    sum = 7;
    update_checksum(sum, block, count);
    EXPECT_EQ(sum, 7);  // 512 ones wrap to zero
  }
}

TEST(UpdateChecksum, DependsOnlyOnTheBytesNotTheirSplit) {
  uint8_t member[600];
  for (int i = 0; i < 600; ++i) member[i] = static_cast<uint8_t>(i * 37 + 11);
  unsigned whole = 0;
  for (const uint8_t b : member) whole += b;

  uint8_t block[kBlockSize];
  uint8_t sum = 0;
  std::memcpy(block, member, 512);
  update_checksum(sum, block, 512);
  std::memcpy(block, member + 512, 88);
  update_checksum(sum, block, 88);
  EXPECT_EQ(sum, static_cast<uint8_t>(whole));
}

TEST(ApplyKey, XorsTheWholeBlock) {
  uint8_t block[kBlockSize];
  for (uint32_t i = 0; i < kBlockSize; ++i) block[i] = static_cast<uint8_t>(i);
  apply_key(block, 0);
  for (uint32_t i = 0; i < kBlockSize; ++i) ASSERT_EQ(block[i], static_cast<uint8_t>(i));
  apply_key(block, 0xA5);
  for (uint32_t i = 0; i < kBlockSize; ++i) ASSERT_EQ(block[i], static_cast<uint8_t>(i ^ 0xA5)) << i;
}

}  // namespace
}  // namespace dat
