// balelist as a user meets it: the built program run in a scratch directory,
// its whole output and exit status, and the scratch tree, which must be the
// same after every run as before; and, where a real file system can't fail
// on demand, the run driven through a faulty platform.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "lister/lister.h"
#include "tests/faulty_platform.h"
#include "tests/test_support.h"

namespace dat {
namespace {

using namespace test;  // the tests' own helpers
namespace fs = std::filesystem;

const char* const kTitle = "TORVEL DAT lister v0.1";
const char* const kUsage = "BALELIST infile\nLists the members of a DAT archive and checks them; nothing is written.\n";

// Everything a run could change below `root`: each path with its kind,
// permissions and modification time, and a file's size and bytes (those of
// a file up to 1 MiB).
std::vector<std::string> snapshot(const fs::path& root) {
  std::vector<std::string> all;
  for (const std::string& p : tree(root)) all.push_back(p);
  all.emplace_back(".");
  for (std::string& p : all) {
    const fs::path full = root / (p.back() == '/' ? p.substr(0, p.size() - 1) : p);  // a directory ends in '/'
    const fs::file_status status = fs::symlink_status(full);
    p += " kind " + std::to_string(static_cast<int>(status.type()));
    p += " perms " + std::to_string(static_cast<int>(status.permissions()));
    p += " time " + std::to_string(fs::last_write_time(full).time_since_epoch().count());
    if (fs::is_regular_file(status)) {
      p += " size " + std::to_string(fs::file_size(full));
      if (fs::file_size(full) <= 1 << 20) {  // not the sparse 4 GiB archive
        const Bytes bytes = read_file(full);
        p += " bytes " + std::string(bytes.begin(), bytes.end());
      }
    }
  }
  return all;
}

struct Balelist {
  TempDir dir;
  test::RunResult result;
  std::string rest;  // output after the banner

  void run(const std::vector<std::string>& args) {
    const std::vector<std::string> before = snapshot(dir.path());
    result = test::run_program(BALELIST_EXE, args, dir.path());
    ASSERT_TRUE(test::starts_with_banner(result.out, kTitle, &rest)) << result.out;
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(snapshot(dir.path()), before);  // nothing made, changed or removed
  }
  void run_on(const Bytes& archive) {
    write_file(dir / "GAME.DAT", archive);
    run({"GAME.DAT"});
  }
};

TEST(Balelist, ListsTheExampleUnderAnyName) {
  const char* const listing =
      "Part directory AA,BBB\n"
      "FILE:0 A.TXT OFFSET:69 SIZE:3 KEY:00 CHECKSUM:26 ok\n"
      "FILE:1 EMPTY.DA OFFSET:72 SIZE:0 KEY:00 CHECKSUM:00 ok\n"
      "2 members, 3 bytes, no problems\n";
  Balelist b;
  b.run_on(kExample);
  EXPECT_EQ(b.result.status, 0);
  EXPECT_EQ(b.rest, listing);

  // No stem is looked for: a name without '.', in another directory, lists the same.
  Balelist elsewhere;
  fs::create_directory(elsewhere.dir / "sub");
  write_file(elsewhere.dir / "sub/ARCHIVE", kExample);
  elsewhere.run({"sub/ARCHIVE"});
  EXPECT_EQ(elsewhere.result.status, 0);
  EXPECT_EQ(elsewhere.rest, listing);
}

TEST(Balelist, WrongArgumentCountPrintsUsageAndExitsTwo) {
  for (const auto& args : {std::vector<std::string>{}, std::vector<std::string>{"A.DAT", "B.DAT"}}) {
    Balelist b;
    write_file(b.dir / "A.DAT", kExample);
    b.run(args);
    EXPECT_EQ(b.result.status, 2);
    EXPECT_EQ(b.rest, kUsage);
  }
}

TEST(Balelist, AnArchiveUnbaleCanNotUseGetsItsMessageAlone) {
  struct Case {
    const char* label;
    Bytes archive;  // none written when empty and `missing`
    bool missing;
    const char* out;
  };
  const Case cases[] = {
      {"no such file", {}, true, "Can't open the input file.\n"},
      {"empty file", {}, false, "The file is empty.\n"},
      {"eleven bytes", hex("41 42 00 00 00 43 44 00 00 00 00"), false, "The file is way too small.\n"},
      {"bad format mark", concat({hex("41 42 00 00 00 43 44 00 00 00 00 02"), kEnd}), false, "Header malformed.\n"},
      {"part one too long", hex("41 42 43 44 45 43 44 00 00 00 00 01"), false, "Header malformed.\n"},
      {"part directory with a separator", concat({hex("2E 2E 2F 00 00 41 00 00 00 00 00 01"), kEnd}), false,
       "Unsafe directory name ../,A\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    Balelist b;
    if (c.missing) {
      b.run({"GAME.DAT"});
    } else {
      b.run_on(c.archive);
    }
    EXPECT_EQ(b.result.status, 1);
    EXPECT_EQ(b.rest, c.out);
  }
}

TEST(Balelist, GivesEachMemberItsVerdictAndCountsTheProblems) {
  const Bytes abc = text("abc");
  const Bytes xyz = text("xyz");
  Bytes keyed = text("Secret");
  for (uint8_t& b : keyed) b ^= 0x5C;
#if defined(_WIN32)
  const bool windows = true;  // '\\' and ':' separate, and NUL names a device in every directory
#else
  const bool windows = false;
#endif
  const std::string windows_verdict = windows ? "unsafe name, unbale skips it\n" : "ok\n";
  struct Case {
    const char* label;
    Bytes archive;    // below the header of AB,CD
    std::string out;  // after the part-directory line
    int status;
  };
  const std::vector<Case> cases = {
      {"end marker first", kEnd, "0 members, 0 bytes, no problems\n", 0},
      {"one member of one byte", concat({rec(0, 'x', 50, 1, "X"), kEnd, text("x")}),
       "FILE:0 X OFFSET:50 SIZE:1 KEY:00 CHECKSUM:78 ok\n1 member, 1 byte, no problems\n", 0},
      {"bad checksum, and the walk goes on",
       concat({rec(0, 0x27, 69, 3, "A"), rec(0, sum_of(xyz), 72, 3, "B"), kEnd, abc, xyz}),
       "FILE:0 A OFFSET:69 SIZE:3 KEY:00 CHECKSUM:27 bad checksum, stored bytes sum to 26\n"
       "FILE:1 B OFFSET:72 SIZE:3 KEY:00 CHECKSUM:6B ok\n"
       "2 members, 6 bytes, 1 problem\n",
       1},
      {"empty member with a checksum", concat({rec(0, 0x0A, 31, 0, "E"), kEnd}),
       "FILE:0 E OFFSET:31 SIZE:0 KEY:00 CHECKSUM:0A bad checksum, stored bytes sum to 00\n"
       "1 member, 0 bytes, 1 problem\n",
       1},
      {"the sum of a keyed member is over its stored bytes",
       concat({rec(0x5C, sum_of(keyed), 50, 6, "KEYED"), kEnd, keyed}),
       "FILE:0 KEYED OFFSET:50 SIZE:6 KEY:5C CHECKSUM:16 ok\n1 member, 6 bytes, no problems\n", 0},
      {"data past the end: truncated, and the walk ends",
       concat({rec(0, 0, 69, 4, "A"), rec(0, 0, 69, 0, "B"), kEnd, text("ab")}),
       "FILE:0 A OFFSET:69 SIZE:4 KEY:00 CHECKSUM:00 truncated, the archive holds 2 of its bytes\n"
       "1 member, 4 bytes, 1 problem\n",
       1},
      {"unsafe names are read and summed, and counted",
       concat({rec(0, 0, 126, 0, "../X"), rec(0, 0x26, 126, 3, ".."), rec(0, 0, 126, 0, "/etc"), rec(0, 0, 126, 0, ""),
               rec(0, sum_of(abc), 126, 3, "OK"), kEnd, abc}),
       "FILE:0 ../X OFFSET:126 SIZE:0 KEY:00 CHECKSUM:00 unsafe name, unbale skips it\n"
       "FILE:1 .. OFFSET:126 SIZE:3 KEY:00 CHECKSUM:26 unsafe name, unbale skips it\n"
       "FILE:2 /etc OFFSET:126 SIZE:0 KEY:00 CHECKSUM:00 unsafe name, unbale skips it\n"
       "FILE:3  OFFSET:126 SIZE:0 KEY:00 CHECKSUM:00 unsafe name, unbale skips it\n"
       "FILE:4 OK OFFSET:126 SIZE:3 KEY:00 CHECKSUM:26 ok\n"
       "5 members, 6 bytes, 4 problems\n",
       1},
      {"names unsafe on Windows only",
       concat({rec(0, 0, 88, 0, "..\\X"), rec(0, 0, 88, 0, "C:X"), rec(0, 0, 88, 0, "nul.txt"), kEnd}),
       "FILE:0 ..\\X OFFSET:88 SIZE:0 KEY:00 CHECKSUM:00 " + windows_verdict +
           "FILE:1 C:X OFFSET:88 SIZE:0 KEY:00 CHECKSUM:00 " + windows_verdict +
           "FILE:2 nul.txt OFFSET:88 SIZE:0 KEY:00 CHECKSUM:00 " + windows_verdict + "3 members, 0 bytes, " +
           (windows ? "3 problems\n" : "no problems\n"),
       windows ? 1 : 0},
      {"truncated wins over unsafe, unsafe over bad checksum; the walk ends inside a member unbale copies",
       concat({rec(0, 1, 107, 0, "."), rec(0, 1, 107, 5, ".."), rec(0, 1, 107, 5, "X"), rec(0, 1, 107, 0, "NEVER"),
               kEnd, abc}),
       "FILE:0 . OFFSET:107 SIZE:0 KEY:00 CHECKSUM:01 unsafe name, unbale skips it\n"
       "FILE:1 .. OFFSET:107 SIZE:5 KEY:00 CHECKSUM:01 truncated, the archive holds 3 of its bytes\n"
       "FILE:2 X OFFSET:107 SIZE:5 KEY:00 CHECKSUM:01 truncated, the archive holds 3 of its bytes\n"
       "3 members, 10 bytes, 3 problems\n",
       1},
      {"control bytes in a name are shown escaped (and refused by Windows)",
       concat({rec(0, 0, 50, 0, "\x01\n\x1b[2J"), kEnd}),
       "FILE:0 \\001\\n\\033[2J OFFSET:50 SIZE:0 KEY:00 CHECKSUM:00 " + windows_verdict + "1 member, 0 bytes, " +
           (windows ? "1 problem\n" : "no problems\n"),
       windows ? 1 : 0},
      {"no end marker, data right after the table",
       concat({rec(0, sum_of(abc), 50, 3, "A"), rec(0, sum_of(xyz), 53, 3, "B"), abc, xyz}),
       "FILE:0 A OFFSET:50 SIZE:3 KEY:00 CHECKSUM:26 ok\nFILE:1 B OFFSET:53 SIZE:3 KEY:00 CHECKSUM:6B ok\n"
       "2 members, 6 bytes, no problems\n",
       0},
      {"first offset 31 reads one entry", concat({rec(0, 0, 31, 0, "A"), rec(0, 0, 31, 0, "B"), kEnd}),
       "FILE:0 A OFFSET:31 SIZE:0 KEY:00 CHECKSUM:00 ok\n1 member, 0 bytes, no problems\n", 0},
      {"header alone", {}, "Failed to read an entry.\n0 members, 0 bytes, 1 problem\n", 1},
      {"the table cut short after a member", concat({rec(0, 0, 200, 0, "A"), hex("00 00")}),
       "FILE:0 A OFFSET:200 SIZE:0 KEY:00 CHECKSUM:00 ok\nFailed to read an entry.\n1 member, 0 bytes, 1 problem\n", 1},
      {"missing terminator", concat({rec(0, sum_of(abc), 50, 3, "A"), rec(0, 0, 50, 0, "ABCDEFGHI"), abc}),
       "FILE:0 A OFFSET:50 SIZE:3 KEY:00 CHECKSUM:26 ok\n"
       "Missing null terminator in entry name ABCDEFGHI at 0x1F.\n1 member, 3 bytes, 1 problem\n",
       1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    Balelist b;
    b.run_on(concat({kHeaderAB, c.archive}));
    EXPECT_EQ(b.result.status, c.status);
    EXPECT_EQ(b.rest, "Part directory AB,CD\n" + c.out);
  }
}

TEST(Balelist, ShowsOffsetsAndSizesUpToFourGibibytes) {
  // A sparse archive whose only member ends at byte 0xFFFFFFFF + 1.
  Balelist b;
  const Bytes tail = text("end of the line!");
  {
    write_file(b.dir / "GAME.DAT", concat({kHeaderAB, rec(0, sum_of(tail), 0xFFFFFFF0u, 16, "FAR"), kEnd}));
    std::fstream f(b.dir / "GAME.DAT", std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(std::streamoff{0xFFFFFFF0});
    f.write(reinterpret_cast<const char*>(tail.data()), 16);
  }
  b.run({"GAME.DAT"});
  EXPECT_EQ(b.result.status, 0);
  EXPECT_EQ(b.rest,
            "Part directory AB,CD\nFILE:0 FAR OFFSET:4294967280 SIZE:16 KEY:00 CHECKSUM:76 ok\n"
            "1 member, 16 bytes, no problems\n");
}

// A read that fails, as the real file system won't on demand: each is
// reported as the walk reports the end of the archive there, and nothing
// but the archive is opened, made or changed.
TEST(BalelistFaults, AFailedReadIsAProblemWhereItFalls) {
  Bytes big(1300, 'x');
  const Bytes archive = concat({kHeaderAB, rec(0, sum_of(big), 50, 1300, "BIG"), kEnd, big});
  struct Case {
    int nth;
    const char* out;
  };
  const Case cases[] = {
      {1, "The file is way too small.\n"},
      {2, "Part directory AB,CD\nFailed to read an entry.\n0 members, 0 bytes, 1 problem\n"},
      {3,
       "Part directory AB,CD\nFILE:0 BIG OFFSET:50 SIZE:1300 KEY:00 CHECKSUM:60 "
       "truncated, the archive holds 0 of its bytes\n1 member, 1300 bytes, 1 problem\n"},
      {5,
       "Part directory AB,CD\nFILE:0 BIG OFFSET:50 SIZE:1300 KEY:00 CHECKSUM:60 "
       "truncated, the archive holds 1024 of its bytes\n1 member, 1300 bytes, 1 problem\n"},
      {6,  // the end marker's
       "Part directory AB,CD\nFILE:0 BIG OFFSET:50 SIZE:1300 KEY:00 CHECKSUM:60 ok\n"
       "Failed to read an entry.\n1 member, 1300 bytes, 1 problem\n"},
      {7,
       "Part directory AB,CD\nFILE:0 BIG OFFSET:50 SIZE:1300 KEY:00 CHECKSUM:60 ok\n"
       "1 member, 1300 bytes, no problems\n"},  // no seventh read: the run is clean
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.nth);
    TempDir dir;
    write_file(dir / "GAME.DAT", archive);
    dir.enter();
    FaultyPlatform os;
    os.fail(Call::read, c.nth);
    Args args{"balelist", "GAME.DAT"};
    const int status = run_lister(os, args.argc(), args.argv());
    std::string rest;
    EXPECT_TRUE(test::starts_with_banner(os.output, kTitle, &rest));
    EXPECT_EQ(rest, c.out);
    EXPECT_EQ(status, c.nth == 7 ? 0 : 1);
    EXPECT_EQ(os.calls(Call::open_read), 1);
    for (const Call made : {Call::create_write, Call::write, Call::make_dir, Call::change_dir, Call::set_owner_rw}) {
      EXPECT_EQ(os.calls(made), 0);
    }
  }
}

}  // namespace
}  // namespace dat
