// Archives made to break unbale, run end to end with the built program in a
// scratch directory: for each, the whole output, and the whole scratch tree
// afterwards, so that anything made or changed outside the part directory
// shows.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "tests/test_support.h"

namespace dat {
namespace {

using namespace test;  // the tests' own helpers
namespace fs = std::filesystem;

Bytes end_marker(uint8_t key) { return rec(key, 0, 0, 0, "ENDFILE"); }

// Runs unbale on `archive` as GAME.DAT in `dir`; returns the output after the banner.
std::string unbale(const TempDir& dir, const Bytes& archive) {
  write_file(dir / "GAME.DAT", archive);
  const auto r = test::run_program(UNBALE_EXE, {"GAME.DAT"}, dir.path());
  std::string rest;
  EXPECT_TRUE(test::starts_with_banner(r.out, "TORVEL DAT extractor v0.1", &rest)) << r.out;
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  return rest;
}

TEST(HostileArchive, EveryMemberLandsInThePartDirectoryOrNowhere) {
  const Bytes abc = text("abc");
  const uint32_t past_two = 12 + 19 * 3;  // data behind two entries and the end marker
  struct Case {
    const char* label;
    Bytes archive;
    std::string out;
    std::vector<std::string> tree;  // the whole scratch tree afterwards
  };
  const std::vector<Case> cases = {
      {"control bytes and bytes above 127 are name bytes like any other",
       concat({kHeaderAB, rec(0, 0, 88, 0, "\x01\n\x7f"), rec(0, 0, 88, 0, "\xff\xe9"), end_marker(0)}),
       "",
       {"GAME.DAT", "GAME/", "GAME/AB,CD/", "GAME/AB,CD/\x01\n\x7f", "GAME/AB,CD/\xff\xe9"}},
      {"dots that name nothing above",
       concat({kHeaderAB, rec(0, 0, 88, 0, "..."), rec(0, 0, 88, 0, ".A"), end_marker(0)}),
       "",
       {"GAME.DAT", "GAME/", "GAME/AB,CD/", "GAME/AB,CD/...", "GAME/AB,CD/.A"}},
      {"names that climb or start at the root, under a key",
       concat({kHeaderAB, rec(0x2F, 0, 88, 0, "../../X"), rec(0x80, 0, 88, 0, "/tmp/X"), end_marker(0)}),
       "Skipping unsafe file name ../../X\nSkipping unsafe file name /tmp/X\n",
       {"GAME.DAT", "GAME/", "GAME/AB,CD/"}},
      {"a part directory of dots stays inside the stem",
       concat({hex("2E 2E 00 00 00 2E 2E 00 00 00 00 01"), rec(0, 0, 50, 0, "A"), end_marker(0)}),
       "",
       {"GAME.DAT", "GAME/", "GAME/..,../", "GAME/..,../A"}},
      {"a part directory from the root",
       hex("2F 00 00 00 00 00 00 00 00 00 00 01"),
       "Unsafe directory name /,\n",
       {"GAME.DAT", "GAME/"}},
      {"offset and size at 0xFFFFFFFF",
       concat({kHeaderAB, rec(0, 0, 0xFFFFFFFF, 0xFFFFFFFF, "FAR"), rec(0, 0, 88, 0, "NEXT"), end_marker(0)}),
       "Something messed up the data reader at file FAR\n",
       {"GAME.DAT", "GAME/", "GAME/AB,CD/", "GAME/AB,CD/FAR"}},
      {"a size of 0xFFFFFFFF reads to the end of the archive and stops",
       concat({kHeaderAB, rec(0, 0, past_two, 0xFFFFFFFF, "ALL"), rec(0, 0, 88, 0, "NEXT"), end_marker(0), abc}),
       "Something messed up the data reader at file ALL\n",
       {"GAME.DAT", "GAME/", "GAME/AB,CD/", "GAME/AB,CD/ALL"}},
      {"overlapping members share their bytes",
       concat({kHeaderAB, rec(0, sum_of(abc), past_two, 3, "ONE"), rec(0, sum_of(text("bc")), past_two + 1, 2, "TWO"),
               end_marker(0), abc}),
       "",
       {"GAME.DAT", "GAME/", "GAME/AB,CD/", "GAME/AB,CD/ONE", "GAME/AB,CD/TWO"}},
      {"a first offset into the table reads the table as data, and one member",
       concat({kHeaderAB, rec(0, 0, 12, 19, "SELF"), rec(0, 0, 88, 0, "NEXT"), end_marker(0)}),
       "Bad Checksum in file SELF\n",
       {"GAME.DAT", "GAME/", "GAME/AB,CD/", "GAME/AB,CD/SELF"}},
      {"a first offset of 0 reads the header, and one member",
       concat({kHeaderAB, rec(0, sum_of(kHeaderAB), 0, 12, "HEAD"), rec(0, 0, 88, 0, "NEXT")}),
       "",
       {"GAME.DAT", "GAME/", "GAME/AB,CD/", "GAME/AB,CD/HEAD"}},
      {"a table cut inside its second entry",
       concat({kHeaderAB, rec(0, 0, 200, 0, "A"), Bytes(7, 0)}),
       "Failed to read an entry.\n",
       {"GAME.DAT", "GAME/", "GAME/AB,CD/", "GAME/AB,CD/A"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    TempDir dir;
    EXPECT_EQ(unbale(dir, c.archive), c.out);
    EXPECT_EQ(tree(dir.path()), c.tree);
  }

  // The bytes themselves where the tree alone can't tell.
  TempDir dir;
  unbale(dir, concat({kHeaderAB, rec(0, 0, 12, 19, "SELF"), rec(0, 0, 88, 0, "NEXT"), end_marker(0)}));
  EXPECT_EQ(read_file(dir / "GAME/AB,CD/SELF"), rec(0, 0, 12, 19, "SELF"));
  TempDir all;
  unbale(all,
         concat({kHeaderAB, rec(0, 0, past_two, 0xFFFFFFFF, "ALL"), rec(0, 0, 88, 0, "NEXT"), end_marker(0), abc}));
  EXPECT_EQ(read_text(all / "GAME/AB,CD/ALL"), "abc");
}

// A name can hold bytes that would break a line or drive the terminal; each
// message shows them escaped, on one line, while the file made on disk keeps
// the name's exact bytes.
TEST(HostileArchive, NamesPrintWithTheirControlBytesEscaped) {
  struct Case {
    std::string name;  // at most 7 bytes, so that one more makes a name of 8
    std::string shown;
  };
  const Case cases[] = {{"\x1b[2J", "\\033[2J"}, {"\x1b]0;X\a", "\\033]0;X\\a"},
                        {"A\rB", "A\\rB"},       {"A\nFILE:", "A\\nFILE:"},
                        {"T\tA", "T\\tA"},       {"D\x7f\x01", "D\\177\\001"}};
  const Bytes abc = text("abc");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.shown);
    const uint32_t data = 12 + 19 * 3;
    const std::string unsafe = c.name + "/";
    const std::string unterminated = c.name + std::string(9 - c.name.size(), 'Z');
    TempDir dir;
    EXPECT_EQ(unbale(dir, concat({kHeaderAB, rec(0, 0, data, 3, c.name), rec(0, 0, data, 0, unsafe),
                                  rec(0, 0, data, 0, unterminated), abc})),
              "Bad Checksum in file " + c.shown + "\nSkipping unsafe file name " + c.shown +
                  "/\nMissing null terminator in entry name " + c.shown + std::string(9 - c.name.size(), 'Z') +
                  " at 0x32.\n");
    EXPECT_EQ(tree(dir.path()), (std::vector<std::string>{"GAME.DAT", "GAME/", "GAME/AB,CD/", "GAME/AB,CD/" + c.name}));
    EXPECT_EQ(read_text(dir / "GAME/AB,CD" / c.name), "abc");
  }

  // The part directory's name too, where it is refused.
  TempDir dir;
  EXPECT_EQ(unbale(dir, hex("1B 2F 00 00 00 0A 00 00 00 00 00 01")), "Unsafe directory name \\033/,\\n\n");
}

TEST(HostileArchive, AnEndMarkerUnderAnyKeyEndsTheTable) {
  const Bytes x = text("x");
  for (int key = 0; key <= 0xFF; ++key) {
    SCOPED_TRACE(key);
    TempDir dir;
    const auto k = static_cast<uint8_t>(key);
    // One member, the end marker keyed with `key`, then an entry that must not be read.
    EXPECT_EQ(
        unbale(dir, concat({kHeaderAB, rec(0, sum_of(x), 69, 1, "A"), end_marker(k), rec(0, 0, 69, 0, "AFTER"), x})),
        "");
    EXPECT_EQ(tree(dir.path()), (std::vector<std::string>{"GAME.DAT", "GAME/", "GAME/AB,CD/", "GAME/AB,CD/A"}));
  }
}

// What stands at a member's name before the run is never written through,
// and the run can't be made to wait on it.
TEST(HostileArchive, WhatStandsAtAMemberNameIsLeftAsItWas) {
  const Bytes abc = text("abc");
  const Bytes archive = concat({kHeaderAB, rec(0, sum_of(abc), 50, 3, "A"), end_marker(0), abc});
  struct Case {
    const char* label;
    std::function<void(const fs::path& part)> place;
    fs::file_type kind;             // of what stands at A, afterwards as before
    std::vector<std::string> more;  // in the scratch tree besides the archive and the two directories
  };
  const std::vector<Case> cases = {
      {"a link to a missing file outside",
       [](const fs::path& part) { fs::create_symlink("../../made-outside", part / "A"); },
       fs::file_type::symlink,
       {}},
      {"a link to a directory outside",
       [](const fs::path& part) {
         fs::create_directory(part / "../../elsewhere");
         fs::create_directory_symlink("../../elsewhere", part / "A");
       },
       fs::file_type::symlink,
       {"elsewhere/"}},
      {"a FIFO with no reader",
       [](const fs::path& part) { ASSERT_EQ(::mkfifo((part / "A").c_str(), 0600), 0); },
       fs::file_type::fifo,
       {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    TempDir dir;
    const fs::path part = dir / "GAME/AB,CD";
    fs::create_directories(part);
    c.place(part);
    EXPECT_EQ(unbale(dir, archive), "Can't create file A\n");
    EXPECT_EQ(fs::symlink_status(part / "A").type(), c.kind);
    fs::remove(part / "A");  // the tree helper would follow a link
    std::vector<std::string> want = {"GAME.DAT", "GAME/", "GAME/AB,CD/"};
    want.insert(want.end(), c.more.begin(), c.more.end());
    std::sort(want.begin(), want.end());
    EXPECT_EQ(tree(dir.path()), want);
  }
}

}  // namespace
}  // namespace dat
