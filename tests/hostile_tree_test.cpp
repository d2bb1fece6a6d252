// Trees made to break baleup, on the real file system: the built program
// where a tree can be laid out beforehand, and the run in process where the
// tree must change while it goes on. For each: the messages, the archive,
// and that nothing but the archive was touched.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>
#include <vector>

#include "packer/packer.h"
#include "tests/faulty_platform.h"
#include "tests/test_support.h"

namespace dat {
namespace {

using namespace test;  // the tests' own helpers
namespace fs = std::filesystem;

const char* const kTitle = "TORVEL DAT packer v0.1";

std::string baleup(const TempDir& dir) {
  const auto r = test::run_program(BALEUP_EXE, {"GAME.DAT"}, dir.path());
  std::string rest;
  EXPECT_TRUE(test::starts_with_banner(r.out, kTitle, &rest)) << r.out;
  EXPECT_EQ(r.status, 0);
  return rest;
}

TEST(HostileTree, NamesOfOneAndOfTwoHundredFiftyFiveBytesAnyBytesAbove127) {
  std::string longest;
  for (int i = 0; i < 127; ++i) longest += "\xC3\xA9";  // 254 bytes of UTF-8
  longest += "x";
  struct Case {
    std::string name;
    const char* stored;  // the entry's 9 name bytes
  };
  const Case cases[] = {{"\xFF", "FF 00 00 00 00 00 00 00 00"},
                        {"a", "41 00 00 00 00 00 00 00 00"},
                        {longest, "C3 A9 C3 A9 C3 A9 C3 A9 00"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name.size());
    TempDir dir;
    fs::create_directories(dir / "GAME/ab,cd");
    write_file(dir / "GAME/ab,cd" / c.name, "abc");
    EXPECT_EQ(baleup(dir), "FILE:0 " + c.name + " SIZE:3\n");
    EXPECT_EQ(read_file(dir / "GAME.DAT"),
              concat({kHeaderAB, hex("00 26 32 00 00 00 03 00 00 00"), hex(c.stored), kEnd, hex("61 62 63")}));
  }
}

// A file name can hold bytes that would break a progress line or drive the
// terminal: the line shows them escaped, so one member is one line, while the
// archive stores the name's own bytes (the first 8, a-z upper-cased).
TEST(HostileTree, ControlBytesInANameShowEscapedAndAreStoredAsTheyAre) {
  struct Case {
    std::string name;
    const char* shown;
    const char* stored;  // the entry's 9 name bytes
  };
  const Case cases[] = {{"a\nFILE:1 x SIZE:9", "a\\nFILE:1 x SIZE:9", "41 0A 46 49 4C 45 3A 31 00"},
                        {"\x1b[2Jab", "\\033[2Jab", "1B 5B 32 4A 41 42 00 00 00"},
                        {"t\tb\r\x7f", "t\\tb\\r\\177", "54 09 42 0D 7F 00 00 00 00"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.shown);
    TempDir dir;
    fs::create_directories(dir / "GAME/ab,cd");
    write_file(dir / "GAME/ab,cd" / c.name, "abc");
    EXPECT_EQ(baleup(dir), std::string("FILE:0 ") + c.shown + " SIZE:3\n");
    EXPECT_EQ(read_file(dir / "GAME.DAT"),
              concat({kHeaderAB, hex("00 26 32 00 00 00 03 00 00 00"), hex(c.stored), kEnd, hex("61 62 63")}));
  }
}

// Entries that are no plain files: each is the only member, so that the
// listing order can't matter, and none makes the run wait or loop.
TEST(HostileTree, LinksAndDevicesCantHangTheRunOrReachPastTheTree) {
  struct Case {
    const char* label;
    const char* target;  // of the link "m" in the part directory
    std::string out;
    size_t archive;  // its length afterwards
  };
  const Case cases[] = {
      {"a link to itself", "m", "Can't open file m to calculate the checksum\n", 12},
      {"a loop of two links", "n", "Can't open file m to calculate the checksum\n", 12},
      // Endless: measured only until no archive could hold it.
      {"a link to an endless device", "/dev/zero", "FILE:0 m SIZE:4294967296\nFile m makes the archive too large\n",
       12},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    TempDir dir;
    fs::create_directories(dir / "GAME/ab,cd");
    fs::create_symlink(c.target, dir / "GAME/ab,cd/m");
    if (std::string(c.target) == "n") fs::create_symlink("m", dir / "GAME/ab,cd/n");
    const std::string out = baleup(dir);
    if (std::string(c.target) == "n") {
      // Both links are members; whichever is listed first stops the run.
      EXPECT_TRUE(out == c.out || out == "Can't open file n to calculate the checksum\n") << out;
    } else {
      EXPECT_EQ(out, c.out);
    }
    EXPECT_EQ(fs::file_size(dir / "GAME.DAT"), c.archive);
  }
}

TEST(HostileTree, TheArchiveReachedThroughALinkIsNotCopiedIntoItself) {
  // Copying the archive into itself would never reach its end: the copy
  // stops where the entries' data end, and the sizes are reported.
  TempDir dir;
  fs::create_directories(dir / "GAME/ab,cd");
  fs::create_symlink("../../GAME.DAT", dir / "GAME/ab,cd/self");
  write_file(dir / "GAME/ab,cd/big", Bytes(300000, 'b'));
  const std::string out = baleup(dir);
  EXPECT_LT(fs::file_size(dir / "GAME.DAT"), 2u * 300000 + 1024) << out;
  const std::string end = "File size don't match up\n";
  // Listed first, the archive is still empty when it is measured and read.
  const bool self_first = out.rfind("FILE:0 self", 0) == 0;
  if (!self_first) {
    EXPECT_EQ(out.substr(out.size() - end.size()), end);
  }
}

TEST(HostileTree, AnArchivePathThatIsALinkLeavesWhatItNamesAlone) {
  TempDir dir;
  fs::create_directories(dir / "GAME/ab,cd");
  write_file(dir / "GAME/ab,cd/x", "abc");
  write_file(dir / "victim", "keep");
  fs::permissions(dir / "victim", fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  fs::create_symlink("victim", dir / "GAME.DAT");
  EXPECT_EQ(baleup(dir), "Can't create the output file.\n");
  EXPECT_EQ(read_text(dir / "victim"), "keep");
  EXPECT_EQ(fs::status(dir / "victim").permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
}

// The final step changes a regular file only: what else stands at
// <stem>.DAT keeps its mode. "GAME.DAT/x" packs GAME into GAME.DAT/x, in a
// directory that the final step names.
TEST(HostileTree, TheFinalStepLeavesAllButARegularFileAlone) {
  struct Case {
    const char* label;
    const char* arg;
    std::string out;
  };
  const Case cases[] = {{"a directory", "GAME.DAT/x", "FILE:0 x SIZE:3\n"},
                        {"a FIFO without a reader", "GAME.DAT", "Can't create the output file.\n"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    TempDir dir;
    fs::create_directories(dir / "GAME/ab,cd");
    write_file(dir / "GAME/ab,cd/x", "abc");
    const fs::path dat = dir / "GAME.DAT";
    if (std::string(c.arg) == "GAME.DAT") {
      ASSERT_EQ(::mkfifo(dat.c_str(), 0644), 0);
    } else {
      fs::create_directory(dat);
    }
    fs::permissions(dat, fs::perms::owner_all | fs::perms::group_read | fs::perms::others_read);
    const auto r = test::run_program(BALEUP_EXE, {c.arg}, dir.path());
    std::string rest;
    EXPECT_TRUE(test::starts_with_banner(r.out, kTitle, &rest));
    EXPECT_EQ(rest, c.out);
    EXPECT_EQ(fs::symlink_status(dat).permissions() & fs::perms::all,
              fs::perms::owner_all | fs::perms::group_read | fs::perms::others_read);
  }
}

// In process, so that the tree can change between the passes.
TEST(HostileTree, APartDirectoryThatVanishesBetweenPasses) {
  struct Case {
    int rewind;  // removed before this rewind of the listing: 1 after counting, 2 after the table
    std::string out;
    size_t archive;
  };
  const Case cases[] = {{1, "readir() returned NULL in header scan loop.\n", 12},
                        {2, "FILE:0 one SIZE:600\nreadir() returned NULL in file copy loop.\n", 50}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.rewind);
    TempDir dir;
    fs::create_directories(dir / "GAME/ab,cd");
    write_file(dir / "GAME/ab,cd/one", Bytes(600, 'x'));
    write_file(dir / "GAME/other", "keep");
    FaultyPlatform os;
    os.before_call = [&](Call kind, int nth) {
      if (kind == Call::rewind_list && nth == c.rewind) fs::remove_all(dir / "GAME/ab,cd");
    };
    dir.enter();
    Args args{"baleup", "GAME.DAT"};
    EXPECT_EQ(run_packer(os, args.argc(), args.argv()), 0);
    std::string rest;
    EXPECT_TRUE(test::starts_with_banner(os.output, kTitle, &rest));
    EXPECT_EQ(rest, c.out);
    EXPECT_EQ(fs::file_size(dir / "GAME.DAT"), c.archive);
    EXPECT_EQ(test::tree(dir.path()), (std::vector<std::string>{"GAME.DAT", "GAME/", "GAME/other"}));
  }
}

}  // namespace
}  // namespace dat
