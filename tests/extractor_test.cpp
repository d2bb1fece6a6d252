// unbale as a user meets it: the built program run in a scratch directory,
// its whole output, its exit status and the tree it leaves; and, where a real
// file system can't fail on demand, the run driven through a faulty platform.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "extractor/extractor.h"
#include "tests/faulty_platform.h"
#include "tests/test_support.h"

namespace dat {
namespace {

using namespace test;  // the tests' own helpers
namespace fs = std::filesystem;

const char* const kTitle = "TORVEL DAT extractor v0.1";
const char* const kUsage = "UNBALE infile\nDirectories will be created which contain the extracted files.\n";

struct Unbale {
  TempDir dir;
  test::RunResult result;
  std::string rest;  // output after the banner

  void run(const std::vector<std::string>& args) {
    result = test::run_program(UNBALE_EXE, args, dir.path());
    ASSERT_TRUE(test::starts_with_banner(result.out, kTitle, &rest)) << result.out;
    EXPECT_EQ(result.err, "");
  }
  void run_on(const Bytes& archive) {
    write_file(dir / "GAME.DAT", archive);
    run({"GAME.DAT"});
  }
};

TEST(Unbale, ExtractsTheExampleQuietlyAndAgainOnASecondRun) {
  Unbale u;
  for (int pass = 0; pass < 2; ++pass) {
    SCOPED_TRACE(pass);
    u.run_on(kExample);
    EXPECT_EQ(u.result.status, 0);
    EXPECT_EQ(u.rest, "");
    EXPECT_EQ(tree(u.dir.path()), (std::vector<std::string>{"GAME.DAT", "GAME/", "GAME/AA,BBB/", "GAME/AA,BBB/A.TXT",
                                                            "GAME/AA,BBB/EMPTY.DA"}));
    EXPECT_EQ(read_text(u.dir / "GAME/AA,BBB/A.TXT"), "abc");
    EXPECT_EQ(fs::file_size(u.dir / "GAME/AA,BBB/EMPTY.DA"), 0u);
  }
}

TEST(Unbale, WrongArgumentCountPrintsUsageAndExitsTwo) {
  for (const auto& args : {std::vector<std::string>{}, std::vector<std::string>{"A.DAT", "B.DAT"}}) {
    Unbale u;
    write_file(u.dir / "A.DAT", kExample);
    u.run(args);
    EXPECT_EQ(u.result.status, 2);
    EXPECT_EQ(u.rest, kUsage);
    EXPECT_EQ(tree(u.dir.path()), std::vector<std::string>{"A.DAT"});
  }
}

// Runs where the walk or the run stops, or goes on past a reported member.
TEST(Unbale, ReportsEachFailureAndLeavesWhatWasMade) {
  const Bytes abc = text("abc");
  const Bytes xyz = text("xyz");
  struct Case {
    const char* label;
    Bytes archive;
    const char* out;
    std::vector<std::string> tree;  // below GAME/AB,CD/, or the whole scratch tree when `whole`
    bool whole = false;
  };
  const std::vector<Case> cases = {
      {"empty file", {}, "The file is empty.\n", {"GAME.DAT"}, true},
      {"eleven bytes", hex("41 42 00 00 00 43 44 00 00 00 00"), "The file is way too small.\n", {"GAME.DAT"}, true},
      {"bad format mark",
       hex("41 42 00 00 00 43 44 00 00 00 00 02"),
       "Header malformed.\n",
       {"GAME.DAT", "GAME/"},
       true},
      {"part one too long",
       hex("41 42 43 44 45 43 44 00 00 00 00 01"),
       "Header malformed.\n",
       {"GAME.DAT", "GAME/"},
       true},
      {"header alone", kHeaderAB, "Failed to read an entry.\n", {}},
      {"entry cut short", concat({kHeaderAB, hex("00 26 45 00")}), "Failed to read an entry.\n", {}},
      {"end marker first", concat({kHeaderAB, kEnd}), "", {}},
      {"no end marker, data right after the table",
       concat({kHeaderAB, rec(0, sum_of(abc), 50, 3, "A"), rec(0, sum_of(xyz), 53, 3, "B"), abc, xyz}),
       "",
       {"A", "B"}},
      {"first offset 31 reads one member",
       concat({kHeaderAB, rec(0, 0, 31, 0, "A"), rec(0, 0, 31, 0, "B"), kEnd}),
       "",
       {"A"}},
      {"missing terminator in the first entry",
       concat({kHeaderAB, rec(0, 0, 69, 0, "ABCDEFGHI")}),
       "Missing null terminator in entry name ABCDEFGHI at 0xC.\n",
       {}},
      {"end marker stored plain under a key",
       concat({kHeaderAB, rec(0, sum_of(abc), 50, 3, "A"), Bytes{7}, Bytes(kEnd.begin() + 1, kEnd.end()), abc}),
       "Missing null terminator in entry name BICANKB\\a\\a at 0x1F.\n",
       {"A"}},
      {"data past the end",
       concat({kHeaderAB, rec(0, 0, 69, 4, "A"), rec(0, 0, 69, 0, "B"), kEnd, text("ab")}),
       "Something messed up the data reader at file A\n",
       {"A"}},
      {"bad checksum goes on",
       concat({kHeaderAB, rec(0, 0x27, 69, 3, "A"), rec(0, sum_of(xyz), 72, 3, "B"), kEnd, abc, xyz}),
       "Bad Checksum in file A\n",
       {"A", "B"}},
      {"empty member with a checksum",
       concat({kHeaderAB, rec(0, 1, 31, 0, "E"), kEnd}),
       "Bad Checksum in file E\n",
       {"E"}},
      {"unsafe names are skipped",
       concat({kHeaderAB, rec(0, 0, 145, 0, "../X"), rec(0, 0, 145, 0, ".."), rec(0, 0, 145, 0, "."),
               rec(0, 0, 145, 0, "/etc"), rec(0, 0, 145, 0, ""), rec(0, sum_of(abc), 145, 3, "OK"), kEnd, abc}),
       "Skipping unsafe file name ../X\nSkipping unsafe file name ..\nSkipping unsafe file name .\n"
       "Skipping unsafe file name /etc\nSkipping unsafe file name \n",
       {"OK"}},
      {"unsafe part directory",
       hex("2E 2E 2F 00 00 41 00 00 00 00 00 01"),
       "Unsafe directory name ../,A\n",
       {"GAME.DAT", "GAME/"},
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    Unbale u;
    u.run_on(c.archive);
    EXPECT_EQ(u.result.status, 0);
    EXPECT_EQ(u.rest, c.out);
    if (c.whole) {
      EXPECT_EQ(tree(u.dir.path()), c.tree);
    } else {
      EXPECT_EQ(tree(u.dir / "GAME/AB,CD"), c.tree);
      EXPECT_EQ(tree(u.dir.path()).size(), 3 + c.tree.size());  // nothing outside the part directory
    }
  }
}

TEST(Unbale, MemberBytesAreDecodedAndWrittenInFull) {
  // Keyed member: the sum is over the stored bytes; data lie out of table order;
  // a later entry of the same name replaces the earlier file; 1300 bytes span blocks.
  Bytes big(1300);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i * 7);
  Bytes keyed = text("Secret");
  for (uint8_t& b : keyed) b ^= 0x5C;
  const uint32_t data = 12 + 19 * 4;
  Unbale u;
  u.run_on(concat({kHeaderAB, rec(0x5C, sum_of(keyed), data + 1300, 6, "KEYED"), rec(0, sum_of(big), data, 1300, "BIG"),
                   rec(0, 0, data, 0, "KEYED"), kEnd, big, keyed}));
  EXPECT_EQ(u.rest, "");
  EXPECT_EQ(read_file(u.dir / "GAME/AB,CD/BIG"), big);
  EXPECT_EQ(fs::file_size(u.dir / "GAME/AB,CD/KEYED"), 0u);

  Unbale once;
  once.run_on(concat({kHeaderAB, rec(0x5C, sum_of(keyed), 50, 6, "KEYED"), kEnd, keyed}));
  EXPECT_EQ(once.rest, "");
  EXPECT_EQ(read_text(once.dir / "GAME/AB,CD/KEYED"), "Secret");
}

TEST(Unbale, StemAndPartDirectoryFailures) {
  {  // an argument without '.' is its own stem: the archive itself, a file
    Unbale u;
    write_file(u.dir / "ARCHIVE", kExample);
    u.run({"ARCHIVE"});
    EXPECT_EQ(u.rest, "Failed to create directory ARCHIVE\n");
    EXPECT_EQ(tree(u.dir.path()), std::vector<std::string>{"ARCHIVE"});
  }
  {  // the last '.' in a directory component cuts the stem there
    Unbale u;
    fs::create_directory(u.dir / "backup.old");
    write_file(u.dir / "backup.old/ARCHIVE", kExample);
    u.run({"backup.old/ARCHIVE"});
    EXPECT_EQ(u.rest, "");
    EXPECT_EQ(read_text(u.dir / "backup/AA,BBB/A.TXT"), "abc");
  }
  {  // a file where the part directory should be
    Unbale u;
    fs::create_directory(u.dir / "GAME");
    write_file(u.dir / "GAME/AA,BBB", "x");
    u.run_on(kExample);
    EXPECT_EQ(u.rest, "Failed to create subdirectory AA,BBB\n");
  }
  {
    Unbale u;
    u.run({"MISSING.DAT"});
    EXPECT_EQ(u.rest, "Can't open the input file.\n");
    EXPECT_TRUE(tree(u.dir.path()).empty());
  }
}

TEST(Unbale, NeverWritesThroughWhatStandsAtAMemberName) {
  Unbale u;
  fs::create_directories(u.dir / "GAME/AA,BBB/A.TXT");  // a directory
  u.run_on(kExample);
  EXPECT_EQ(u.rest, "Can't create file A.TXT\n");

#if !defined(_WIN32)
  Unbale link;
  write_file(link.dir / "outside", "keep");
  fs::create_directories(link.dir / "GAME/AA,BBB");
  fs::create_symlink("../../outside", link.dir / "GAME/AA,BBB/A.TXT");
  link.run_on(kExample);
  EXPECT_EQ(link.rest, "Can't create file A.TXT\n");
  EXPECT_EQ(read_text(link.dir / "outside"), "keep");
#endif
}

TEST(Unbale, HonoursOffsetsUpToFourGibibytes) {
  // A sparse archive whose only member ends at byte 0xFFFFFFFF + 1.
  Unbale u;
  const Bytes tail = text("end of the line!");
  {
    write_file(u.dir / "GAME.DAT", concat({kHeaderAB, rec(0, sum_of(tail), 0xFFFFFFF0u, 16, "FAR"), kEnd}));
    std::fstream f(u.dir / "GAME.DAT", std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(std::streamoff{0xFFFFFFF0});
    f.write(reinterpret_cast<const char*>(tail.data()), 16);
  }
  u.run({"GAME.DAT"});
  EXPECT_EQ(u.rest, "");
  EXPECT_EQ(read_file(u.dir / "GAME/AB,CD/FAR"), tail);
}

// In-process runs over the real file system with one call made to fail.
struct FaultRun {
  TempDir dir;
  FaultyPlatform os;
  std::string rest;

  explicit FaultRun(const Bytes& archive) { write_file(dir / "GAME.DAT", archive); }
  int run() {
    dir.enter();
    Args args{"unbale", "GAME.DAT"};
    const int status = run_extractor(os, args.argc(), args.argv());
    EXPECT_TRUE(test::starts_with_banner(os.output, kTitle, &rest));
    return status;
  }
};

TEST(UnbaleFaults, ReadAndWriteFailuresHaveTheirMessages) {
  Bytes big(1300, 'x');
  const Bytes archive = concat({kHeaderAB, rec(0, sum_of(big), 50, 1300, "BIG"), kEnd, big});
  struct Case {
    Call kind;
    int nth;
    const char* out;
  };
  const Case cases[] = {
      {Call::read, 1, "The file is way too small.\n"},
      {Call::read, 2, "Failed to read an entry.\n"},
      {Call::read, 3, "Something messed up the data reader at file BIG\n"},  // first block of data
      {Call::read, 5, "Something messed up the data reader at file BIG\n"},  // last block of data
      {Call::write, 1, "Error writing file BIG\n"},                          // goes on: the next blocks are written
      {Call::write, 3, "Error writing file BIG\n"},
      {Call::close, 1, "Error writing file BIG\n"},  // held bytes that never reached the file
      {Call::create_write, 1, "Can't create file BIG\n"},
      {Call::change_dir, 1, "Failed to create directory GAME\n"},
      {Call::change_dir, 2, "Failed to create subdirectory AB,CD\n"},
      {Call::open_read, 1, "Can't open the input file.\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << static_cast<int>(c.kind) << " #" << c.nth);
    FaultRun r(archive);
    r.os.fail(c.kind, c.nth);
    EXPECT_EQ(r.run(), 0);
    EXPECT_EQ(r.rest, c.out);
  }
}

TEST(UnbaleFaults, AShortWriteIsReportedOncePerBlockAndTheRestArrives) {
  Bytes big(1300);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i);
  const Bytes archive = concat({kHeaderAB, rec(0, sum_of(big), 50, 1300, "BIG"), kEnd, big});
  for (int nth = 1;; ++nth) {
    SCOPED_TRACE(nth);
    FaultRun r(archive);
    r.os.fail(Call::write, nth);
    EXPECT_EQ(r.run(), 0);
    if (r.os.calls(Call::write) < nth) {  // no write left to fail: the run is clean
      EXPECT_EQ(r.rest, "");
      EXPECT_EQ(read_file(r.dir / "GAME/AB,CD/BIG"), big);
      break;
    }
    EXPECT_EQ(r.rest, "Error writing file BIG\n");
    const Bytes got = read_file(r.dir / "GAME/AB,CD/BIG");
    EXPECT_EQ(got.size(), big.size() - 1);  // the block fell one byte short; the others arrived
  }
}

TEST(UnbaleFaults, WindowsNamesKeepMembersInsideThePartDirectory) {
  FaultRun r(concat({kHeaderAB, rec(0, 0, 69, 0, "..\\X"), rec(0, 0, 69, 0, "C:X"), rec(0, 0, 69, 0, "A"), kEnd}));
  r.os.separators = "/\\:";
  r.run();
  EXPECT_EQ(r.rest, "Skipping unsafe file name ..\\X\nSkipping unsafe file name C:X\n");
  EXPECT_EQ(tree(r.dir / "GAME/AB,CD"), std::vector<std::string>{"A"});

  FaultRun device(concat({kHeaderAB, rec(0, 0, 50, 0, "NUL"), kEnd}));
  device.os.reserved_name = "NUL";
  device.run();
  EXPECT_EQ(device.rest, "Skipping unsafe file name NUL\n");
  EXPECT_TRUE(tree(device.dir / "GAME/AB,CD").empty());

  FaultRun part(hex("43 3A 00 00 00 41 00 00 00 00 00 01"));
  part.os.separators = "/\\:";
  part.run();
  EXPECT_EQ(part.rest, "Unsafe directory name C:,A\n");
}

}  // namespace
}  // namespace dat
