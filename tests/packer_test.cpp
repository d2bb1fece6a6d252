// baleup as a user meets it: the built program run beside a tree, its whole
// output, its exit status and the archive it leaves; a faulty platform for
// the failures a real file system can't produce on demand; and the round
// trip through unbale.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <tuple>
#include <vector>

#include "packer/packer.h"
#include "tests/faulty_platform.h"
#include "tests/test_support.h"

namespace dat {
namespace {

using namespace test;  // the tests' own helpers
namespace fs = std::filesystem;

const char* const kTitle = "TORVEL DAT packer v0.1";
const char* const kUsage =
    "BALEUP outfile \nA directory with the same name will be read.Containing the same structure as produced by "
    "UNBALE\n";

// The names in `dir` that are not directories, in the order the platform lists them.
std::vector<std::string> listed_files(const fs::path& dir) {
  Platform& os = native_platform();
  std::vector<std::string> names;
  const int list = os.open_list(dir.string().c_str());
  ListEntry e{};
  while (os.next_entry(list, e)) {
    if (!e.is_directory) names.emplace_back(e.name);
  }
  os.close_list(list);
  return names;
}

// The example tree: GAME/aa,bbb holding a.txt (abc) and an empty Empty.dat.
void make_example(const TempDir& dir) {
  fs::create_directories(dir / "GAME/aa,bbb");
  write_file(dir / "GAME/aa,bbb/a.txt", "abc");
  write_file(dir / "GAME/aa,bbb/Empty.dat", "");
}

struct Baleup {
  TempDir dir;
  test::RunResult result;
  std::string rest;  // output after the banner

  void run(const std::vector<std::string>& args) {
    result = test::run_program(BALEUP_EXE, args, dir.path());
    ASSERT_TRUE(test::starts_with_banner(result.out, kTitle, &rest)) << result.out;
    EXPECT_EQ(result.err, "");
  }
  Bytes archive() const { return read_file(dir / "GAME.DAT"); }
};

TEST(Baleup, PacksTheExampleTreeToItsBytesInListingOrder) {
  Baleup b;
  make_example(b.dir);
  b.run({"GAME.DAT"});
  EXPECT_EQ(b.result.status, 0);

  const Bytes header = hex("41 41 00 00 00 42 42 42 00 00 00 01");
  const Bytes end = hex("00 00 00 00 00 00 00 00 00 00 45 4E 44 46 49 4C 45 00 00");
  const Bytes abc = hex("61 62 63");
  if (listed_files(b.dir / "GAME/aa,bbb") == std::vector<std::string>{"a.txt", "Empty.dat"}) {
    EXPECT_EQ(b.rest, "FILE:0 a.txt SIZE:3\nFILE:1 Empty.dat SIZE:0\nFile Empty.dat is empty!?\n");
    EXPECT_EQ(b.archive(), concat({header, hex("00 26 45 00 00 00 03 00 00 00 41 2E 54 58 54 00 00 00 00"),
                                   hex("00 00 48 00 00 00 00 00 00 00 45 4D 50 54 59 2E 44 41 00"), end, abc}));
  } else {
    EXPECT_EQ(b.rest, "FILE:0 Empty.dat SIZE:0\nFile Empty.dat is empty!?\nFILE:1 a.txt SIZE:3\n");
    EXPECT_EQ(b.archive(), concat({header, hex("00 00 45 00 00 00 00 00 00 00 45 4D 50 54 59 2E 44 41 00"),
                                   hex("00 26 45 00 00 00 03 00 00 00 41 2E 54 58 54 00 00 00 00"), end, abc}));
  }
#if !defined(_WIN32)
  EXPECT_EQ(fs::status(b.dir / "GAME.DAT").permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
#endif
}

TEST(Baleup, WrongArgumentCountPrintsUsageAndTouchesNothing) {
  for (const auto& args : {std::vector<std::string>{}, std::vector<std::string>{"A.DAT", "B.DAT"}}) {
    Baleup b;
    make_example(b.dir);
    b.run(args);
    EXPECT_EQ(b.result.status, 2);
    EXPECT_EQ(b.rest, kUsage);
    EXPECT_FALSE(fs::exists(b.dir / "A.DAT"));
  }
}

// One-member trees, so that the listing order does not matter.
TEST(Baleup, NamesAndHeadersComeFromThePartDirectory) {
  struct Case {
    const char* part;
    const char* member;
    const char* header;
    const char* stored;  // the entry's 9 name bytes
  };
  const Case cases[] = {
      {"abc,de", "x", "41 42 43 00 00 44 45 00 00 00 00 01", "58 00 00 00 00 00 00 00 00"},
      {",ab", "longname1.txt", "00 00 00 00 00 41 42 00 00 00 00 01", "4C 4F 4E 47 4E 41 4D 45 00"},
      {"ab,", "endfile", "41 42 00 00 00 00 00 00 00 00 00 01", "45 4E 44 46 49 4C 45 00 00"},
      {"x,y,z", "\xC3\xA9t\xC3\xA9", "58 00 00 00 00 59 2C 5A 00 00 00 01", "C3 A9 54 C3 A9 00 00 00 00"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.part);
    Baleup b;
    fs::create_directories(b.dir / "GAME" / c.part);
    // The name's bytes as UTF-8 everywhere: to the C++ library on Windows a narrow path is not.
    const std::string member(c.member);
    write_file(b.dir / "GAME" / c.part / std::u8string(member.begin(), member.end()), "abc");
    b.run({"GAME.DAT"});
    EXPECT_EQ(b.rest, std::string("FILE:0 ") + c.member + " SIZE:3\n");
    EXPECT_EQ(b.archive(), concat({hex(c.header), hex("00 26 32 00 00 00 03 00 00 00"), hex(c.stored),
                                   hex("00 00 00 00 00 00 00 00 00 00 45 4E 44 46 49 4C 45 00 00 61 62 63")}));
  }
}

// Runs that stop: the message, and the archive left behind.
TEST(Baleup, ReportsEachFailureAndLeavesTheArchiveAsWritten) {
  struct Case {
    const char* label;
    std::vector<std::string> dirs;   // below the scratch directory
    std::vector<std::string> files;  // each holding "abc"
    const char* arg;
    const char* out;
    const char* archive;  // hex of GAME.DAT afterwards; null when it must not exist
  };
  const std::vector<Case> cases = {
      {"no stem directory", {}, {}, "GAME.DAT", "Can't open directory GAME\n", ""},
      {"no part directory", {"GAME"}, {"GAME/x"}, "GAME.DAT", "No comma found in directory name ..\n", ""},
      {"no comma", {"GAME/abc"}, {"GAME/abc/x"}, "GAME.DAT", "No comma found in directory name ABC\n", ""},
      {"first part too long", {"GAME/abcd,x"}, {}, "GAME.DAT", "First part of directory name ABCD,X is too long\n", ""},
      {"second part too long",
       {"GAME/ab,wxyz"},
       {},
       "GAME.DAT",
       "Second part of directory name AB,WXYZ is too long\n",
       "41 42 00 00 00"},
      {"name cut to ten", {"GAME/abc,defghijk"}, {}, "GAME.DAT", "Can't open directory abc,defghi\n", ""},
      {"only a subdirectory",
       {"GAME/ab,cd/sub"},
       {"GAME/ab,cd/sub/x"},
       "GAME.DAT",
       "No files found.\n",
       "41 42 00 00 00 43 44 00 00 00 00 01"},
      {"archive path is a directory",
       {"GAME/ab,cd"},
       {"GAME/ab,cd/x"},
       "GAME",
       "Can't create the output file.\n",
       nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    Baleup b;
    for (const auto& d : c.dirs) fs::create_directories(b.dir / d);
    for (const auto& f : c.files) write_file(b.dir / f, "abc");
    b.run({c.arg});
    EXPECT_EQ(b.result.status, 0);
    EXPECT_EQ(b.rest, c.out);
    if (c.archive == nullptr) {
      EXPECT_FALSE(fs::exists(b.dir / "GAME.DAT"));
    } else {
      EXPECT_EQ(b.archive(), hex(c.archive));
    }
  }
}

TEST(Baleup, TheLastSubdirectoryInListingOrderIsPacked) {
  Baleup b;
  fs::create_directories(b.dir / "GAME/ab,cd");
  fs::create_directories(b.dir / "GAME/ef,gh");
  write_file(b.dir / "GAME/ab,cd/x", "abc");
  write_file(b.dir / "GAME/ef,gh/x", "abc");
  write_file(b.dir / "GAME/file", "ignored");
  std::string last;
  Platform& os = native_platform();
  const int list = os.open_list((b.dir / "GAME").string().c_str());
  for (ListEntry e{}; os.next_entry(list, e);) {
    if (e.is_directory && std::string(e.name) != "." && std::string(e.name) != "..") last = e.name;
  }
  os.close_list(list);
  b.run({"GAME.DAT"});
  const Bytes archive = b.archive();
  ASSERT_TRUE(last == "ab,cd" || last == "ef,gh") << last;
  EXPECT_EQ(Bytes(archive.begin(), archive.begin() + 12),
            hex(last == "ab,cd" ? "41 42 00 00 00 43 44 00 00 00 00 01" : "45 46 00 00 00 47 48 00 00 00 00 01"));
}

#if !defined(_WIN32)
TEST(Baleup, LinksAreFollowedAndNothingHangs) {
  Baleup b;
  fs::create_directories(b.dir / "GAME/ab,cd/real");
  fs::create_directory_symlink("real", b.dir / "GAME/ab,cd/dirlink");  // a directory: not packed
  ASSERT_EQ(::mkfifo((b.dir / "GAME/ab,cd/fifo").c_str(), 0600), 0);   // no writer: an empty member
  b.run({"GAME.DAT"});
  EXPECT_EQ(b.rest, "FILE:0 fifo SIZE:0\nFile fifo is empty!?\n");

  fs::create_symlink("nowhere", b.dir / "GAME/ab,cd/dangling");
  b.run({"GAME.DAT"});
  const std::string fifo = "FILE:0 fifo SIZE:0\nFile fifo is empty!?\n";
  const std::string dangling = "Can't open file dangling to calculate the checksum\n";
  const auto order = listed_files(b.dir / "GAME/ab,cd");
  EXPECT_EQ(b.rest, order.front() == "fifo" ? fifo + dangling : dangling);
}
#endif

TEST(Baleup, TheFinalStepMakesStemDotDatWritable) {
  // A read-only <stem>.DAT is made writable however the run went (where the
  // system refused to open it, with "Can't create the output file."), so a
  // second run writes the archive. An argument in other letters than .DAT
  // names another file on a case-sensitive system; the final step still
  // names <stem>.DAT.
  struct Case {
    const char* stem;
    const char* arg;
  };
  for (const Case& c : {Case{"GAME", "GAME.DAT"}, Case{"game", "game.dat"}}) {
    SCOPED_TRACE(c.arg);
    Baleup b;
    fs::create_directories(b.dir / c.stem / "aa,bbb");
    write_file(b.dir / c.stem / "aa,bbb/a.txt", "abc");
    const fs::path dat = b.dir / (std::string(c.stem) + ".DAT");
    write_file(dat, "old");
    fs::permissions(dat, fs::perms::owner_read);
    b.run({c.arg});
    EXPECT_TRUE(b.rest == "FILE:0 a.txt SIZE:3\n" || b.rest == "Can't create the output file.\n") << b.rest;
    EXPECT_NE(fs::status(dat).permissions() & fs::perms::owner_write, fs::perms::none);
    b.run({c.arg});
    EXPECT_EQ(b.rest, "FILE:0 a.txt SIZE:3\n");
    EXPECT_EQ(read_file(b.dir / c.arg).size(), 53u);
  }
}

// In-process runs over the real file system with one call made to fail.
struct FaultRun {
  TempDir dir;
  FaultyPlatform os;
  std::string rest;

  FaultRun() {
    fs::create_directories(dir / "GAME/ab,cd");
    write_file(dir / "GAME/ab,cd/one", Bytes(600, 'x'));  // two blocks
  }
  int run() {
    dir.enter();
    Args args{"baleup", "GAME.DAT"};
    const int status = run_packer(os, args.argc(), args.argv());
    EXPECT_TRUE(test::starts_with_banner(os.output, kTitle, &rest));
    return status;
  }
};

TEST(BaleupFaults, EachFailingCallHasItsMessage) {
  const std::string progress = "FILE:0 one SIZE:600\n";
  struct Case {
    Call kind;
    int nth;
    std::string out;
  };
  const Case cases[] = {
      {Call::create_write, 1, "Can't create the output file.\n"},
      {Call::change_dir, 1, "Can't open directory GAME\n"},
      {Call::change_dir, 2, "Can't open directory ab,cd\n"},
      {Call::open_list, 1, "Can't scan directory GAME\n"},
      {Call::open_list, 2, "Can't scan directory AB,CD\n"},
      {Call::write, 1, "Error writing header in DAT file.\n" + progress},
      {Call::write, 2, "Error writing header in DAT file.\n" + progress},
      {Call::write, 3, progress + "Error writing file entry in DAT file.\n"},
      {Call::write, 4, progress + "Error writing ENDFILE entry in DAT file.\n"},
      {Call::write, 5, progress + "Error writing data from 0\n"},
      {Call::write, 6, progress + "Error writing data from 0\n"},
      {Call::close, 3, progress + "Error writing DAT file.\n"},  // held bytes lost at the end
      {Call::open_read, 1, "Can't open file one to calculate the checksum\n"},
      {Call::open_read, 2, progress + "Can't open file one to copy contents\n"},
      {Call::read, 2, "FILE:0 one \nCan't read file one\n"},
      {Call::read, 5, progress + "Can't read file one\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << static_cast<int>(c.kind) << " #" << c.nth);
    FaultRun r;
    r.os.fail(c.kind, c.nth);
    EXPECT_EQ(r.run(), 0);
    EXPECT_EQ(r.rest, c.out);
  }
}

// A starting directory that can't be marked, as where it may be entered but
// not read and the system can't mark it otherwise: the final step still
// runs when the run never left it, and is left out when the run did, where
// <stem>.DAT would name a file in the wrong directory.
TEST(BaleupFaults, AStartThatCantBeMarkedGetsTheFinalStepOnlyWhereNeverLeft) {
  struct Case {
    bool create_fails;
    std::string out;
    int final_steps;
  };
  for (const Case& c : {Case{true, "Can't create the output file.\n", 1}, Case{false, "FILE:0 one SIZE:600\n", 0}}) {
    SCOPED_TRACE(c.create_fails);
    FaultRun r;
    write_file(r.dir / "GAME.DAT", "old");
    fs::permissions(r.dir / "GAME.DAT", fs::perms::owner_read);
    r.os.fail(Call::mark_dir, 1);
    if (c.create_fails) r.os.fail(Call::create_write, 1);
    r.run();
    EXPECT_EQ(r.rest, c.out);
    EXPECT_EQ(r.os.calls(Call::set_owner_rw), c.final_steps);
    if (c.create_fails) {
      EXPECT_NE(fs::status(r.dir / "GAME.DAT").permissions() & fs::perms::owner_write, fs::perms::none);
    }
  }
}

#if !defined(_WIN32)
// The copy pass ends a regular member at the read that came back short, so
// it reads each member one time fewer than the table pass: 512, 88, 0 bytes,
// then 512, 88. (The Windows listing does not say which files are regular.)
TEST(BaleupFaults, TheCopyPassSavesTheLastReadOfARegularFile) {
  FaultRun r;
  r.run();
  EXPECT_EQ(r.rest, "FILE:0 one SIZE:600\n");
  EXPECT_EQ(r.os.calls(Call::read), 5);
}
#endif

TEST(BaleupFaults, AListingThatEndsEarlyStopsThePass) {
  // Fail the Nth listing read for N = 1, 2, ... until a run reads no further.
  // Depending on where N falls the stem or the count pass sees fewer entries,
  // or the table or the copy pass runs out before its member.
  bool seen_table = false;
  bool seen_copy = false;
  for (int n = 1;; ++n) {
    SCOPED_TRACE(n);
    FaultRun r;
    r.os.fail(Call::next_entry, n);
    r.run();
    if (r.os.calls(Call::next_entry) < n) break;
    const size_t archive = read_file(r.dir / "GAME.DAT").size();
    if (r.rest == "readir() returned NULL in header scan loop.\n") {
      seen_table = true;
      EXPECT_EQ(archive, 12u);  // the header, no entry, no end marker
    } else if (r.rest == "FILE:0 one SIZE:600\nreadir() returned NULL in file copy loop.\n") {
      seen_copy = true;
      EXPECT_EQ(archive, 12u + 19 + 19);  // every entry, no data
    } else {
      // Elsewhere a lost entry is a lost directory or a shorter count.
      EXPECT_TRUE(r.rest == "FILE:0 one SIZE:600\n" || r.rest == "No files found.\n" ||
                  r.rest == "No comma found in directory name ..\n")
          << r.rest;
    }
  }
  EXPECT_TRUE(seen_table);
  EXPECT_TRUE(seen_copy);
}

TEST(BaleupFaults, AMemberThatChangesBetweenPassesIsCaught) {
  struct Case {
    const char* label;
    size_t new_size;
    const char* out;
  };
  const Case cases[] = {{"grows", 700, "File size don't match up\n"},
                        {"shrinks", 100, "File size don't match up\n"},
                        {"deleted", 0, "readir() returned NULL in file copy loop.\n"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    FaultRun r;
    const fs::path member = r.dir / "GAME/ab,cd/one";
    r.os.before_call = [&](Call kind, int nth) {
      if (kind != Call::rewind_list || nth != 2) return;  // after the table pass
      if (c.new_size == 0) {
        fs::remove(member);
      } else {
        write_file(member, Bytes(c.new_size, 'y'));
      }
    };
    r.run();
    EXPECT_EQ(r.rest, std::string("FILE:0 one SIZE:600\n") + c.out);
    if (c.new_size != 0) {
      // The entry keeps the first size; the data area gets the new bytes.
      const Bytes archive = read_file(r.dir / "GAME.DAT");
      EXPECT_EQ(archive.size(), 50 + c.new_size);
      EXPECT_EQ(archive[18], 600 & 0xFF);
      EXPECT_EQ(archive[19], 600 >> 8);
    }
  }
}

// The members an archive's table describes, as (name, size, checksum, bytes),
// sorted by name: what a packed tree holds, whatever order it listed in.
std::vector<std::tuple<std::string, uint32_t, uint8_t, Bytes>> members(const Bytes& archive) {
  std::vector<std::tuple<std::string, uint32_t, uint8_t, Bytes>> all;
  for (size_t at = 12; at + 19 <= archive.size(); at += 19) {
    const uint8_t* r = archive.data() + at;
    const std::string name(reinterpret_cast<const char*>(r + 10));
    if (name == "ENDFILE") break;
    const auto u32 = [](const uint8_t* p) {
      return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
    };
    const uint32_t offset = u32(r + 2);
    const uint32_t size = u32(r + 6);
    all.emplace_back(name, size, r[1], Bytes(archive.begin() + offset, archive.begin() + offset + size));
  }
  std::sort(all.begin(), all.end());
  return all;
}

// Pack, unpack, pack again: the same header, names, sizes, checksums and
// bytes; and, where the two trees list alike, the same archive.
TEST(RoundTrip, UnpackThenPackGivesTheSameArchive) {
  TempDir dir;
  fs::create_directories(dir / "first/GAME/ab,xy");
  Bytes big(70000);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i * 13 + (i >> 8));
  write_file(dir / "first/GAME/ab,xy/BIG.BIN", big);
  write_file(dir / "first/GAME/ab,xy/EMPTY", "");
  write_file(dir / "first/GAME/ab,xy/README.TXT", "read me\r\n");
  write_file(dir / "first/GAME/ab,xy/X", Bytes{0, 255, 128});

  const auto pack = [&](const fs::path& where) {
    const auto r = test::run_program(BALEUP_EXE, {"GAME.DAT"}, where);
    EXPECT_EQ(r.status, 0);
    return read_file(where / "GAME.DAT");
  };
  const auto unpack_into = [&](const fs::path& where, const Bytes& archive) {
    fs::create_directories(where);
    write_file(where / "GAME.DAT", archive);
    const auto r = test::run_program(UNBALE_EXE, {"GAME.DAT"}, where);
    std::string rest;
    EXPECT_TRUE(test::starts_with_banner(r.out, "TORVEL DAT extractor v0.1", &rest));
    EXPECT_EQ(rest, "");
  };

  const Bytes first = pack(dir / "first");
  unpack_into(dir / "second", first);
  EXPECT_EQ(read_file(dir / "second/GAME/AB,XY/BIG.BIN"), big);
  EXPECT_EQ(test::tree(dir / "second/GAME"),
            (std::vector<std::string>{"AB,XY/", "AB,XY/BIG.BIN", "AB,XY/EMPTY", "AB,XY/README.T", "AB,XY/X"}));

  const Bytes second = pack(dir / "second");
  EXPECT_EQ(Bytes(second.begin(), second.begin() + 12), Bytes(first.begin(), first.begin() + 12));
  EXPECT_EQ(members(second), members(first));
  EXPECT_EQ(members(first).size(), 4u);
  EXPECT_EQ(pack(dir / "second"), second);  // the same tree lists the same way

  unpack_into(dir / "third", second);
  const Bytes third = pack(dir / "third");
  EXPECT_EQ(members(third), members(second));
  if (listed_files(dir / "third/GAME/AB,XY") == listed_files(dir / "second/GAME/AB,XY")) {
    EXPECT_EQ(third, second);
  }
}

}  // namespace
}  // namespace dat
