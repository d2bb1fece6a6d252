// What only Windows has: the read-only attribute, hidden and system files,
// '\' and ':' in paths, drive prefixes, device names that open in every
// directory, and names that differ only in case naming one file. Built into
// the Windows suite only.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "extractor/extractor.h"
#include "tests/faulty_platform.h"
#include "tests/test_support.h"

namespace dat {
namespace {

using namespace test;  // the tests' own helpers
namespace fs = std::filesystem;

DWORD attributes(const fs::path& path) { return GetFileAttributesA(path.string().c_str()); }
void set_attributes(const fs::path& path, DWORD a) { ASSERT_NE(SetFileAttributesA(path.string().c_str(), a), 0); }
bool read_only(const fs::path& path) { return (attributes(path) & FILE_ATTRIBUTE_READONLY) != 0; }

// The output of a built program after its four banner lines.
std::string after_banner(const test::RunResult& r, const char* title) {
  std::string rest;
  EXPECT_TRUE(test::starts_with_banner(r.out, title, &rest)) << r.out;
  EXPECT_EQ(r.err, "");
  return rest;
}

std::string unbale(const TempDir& dir, const Bytes& archive) {
  write_file(dir / "GAME.DAT", archive);
  return after_banner(test::run_program(UNBALE_EXE, {"GAME.DAT"}, dir.path()), "TORVEL DAT extractor v0.1");
}

std::string baleup(const TempDir& dir) {
  return after_banner(test::run_program(BALEUP_EXE, {"GAME.DAT"}, dir.path()), "TORVEL DAT packer v0.1");
}

TEST(WindowsNames, ReservedDeviceNamesAreKnownInEveryForm) {
  struct Case {
    const char* name;
    bool device;
  };
  const Case cases[] = {
      {"CON", true},     {"con", true},    {"Nul.txt", true},  {"AUX.", true},  {"PRN  ", true},
      {"NUL .X", true},  {"COM1", true},   {"lpt9.dat", true}, {"COM0", true},  {"CONIN$", true},
      {"conout$", true}, {"COM", false},   {"COM10", false},   {"COMA", false}, {"CONSOLE", false},
      {"NULL", false},   {"A.NUL", false}, {"XCON", false},    {"_CON", false}, {"", false},
  };
  Platform& os = native_platform();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(os.is_reserved_name(c.name), c.device);
  }
  EXPECT_STREQ(os.name_separators(), "/\\:");
}

TEST(WindowsNames, UnbaleKeepsEveryMemberInsideThePartDirectory) {
  // Separators, drive prefixes and device names are skipped; the rest is written.
  TempDir dir;
  const std::vector<std::string> names = {"..\\X", "\\X", "C:X", "C:\\X", "D:", "NUL", "con.txt", "Com1", "OK"};
  const auto data_at = static_cast<uint32_t>(12 + 19 * (names.size() + 1));
  Bytes archive = kHeaderAB;
  for (const auto& name : names) {
    archive =
        concat({archive, name == "OK" ? rec(0, sum_of(text("ok")), data_at, 2, name) : rec(0, 0, data_at, 0, name)});
  }
  archive = concat({archive, kEnd, text("ok")});
  std::string expected;
  for (const auto& name : names) {
    if (name != "OK") expected += "Skipping unsafe file name " + name + "\n";
  }
  EXPECT_EQ(unbale(dir, archive), expected);
  EXPECT_EQ(tree(dir.path()), (std::vector<std::string>{"GAME.DAT", "GAME/", "GAME/AB,CD/", "GAME/AB,CD/OK"}));

  // A part-directory name that is a path ends the run before anything is made for it.
  for (const char* header : {"43 3A 00 00 00 41 00 00 00 00 00 01", "2E 2E 5C 00 00 41 00 00 00 00 00 01"}) {
    TempDir part;
    SCOPED_TRACE(header);
    const std::string name = header[1] == '3' ? "C:,A" : "..\\,A";
    EXPECT_EQ(unbale(part, hex(header)), "Unsafe directory name " + name + "\n");
    EXPECT_EQ(tree(part.path()), (std::vector<std::string>{"GAME.DAT", "GAME/"}));
  }
}

TEST(WindowsNames, MembersDifferingOnlyInCaseLandInOneFile) {
  TempDir dir;
  EXPECT_EQ(unbale(dir, concat({kHeaderAB, rec(0, sum_of(text("first")), 69, 5, "note"),
                                rec(0, sum_of(text("second")), 74, 6, "NOTE"), kEnd, text("firstsecond")})),
            "");
  const auto files = tree(dir / "GAME/AB,CD");
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(read_text(dir / "GAME/AB,CD/NoTe"), "second");  // the later member, under any case
}

TEST(WindowsAttributes, UnbaleLeavesMemberFilesWritable) {
  // A member file that is hidden already is rewritten like any other.
  TempDir dir;
  fs::create_directories(dir / "GAME/AB,CD");
  write_file(dir / "GAME/AB,CD/A", "old bytes");
  set_attributes(dir / "GAME/AB,CD/A", FILE_ATTRIBUTE_HIDDEN);
  EXPECT_EQ(unbale(dir, concat({kHeaderAB, rec(0, sum_of(text("abc")), 50, 3, "A"), kEnd, text("abc")})), "");
  EXPECT_EQ(read_text(dir / "GAME/AB,CD/A"), "abc");

  // Whatever made the member read-only before its last step, it ends writable.
  FaultyPlatform os;
  os.before_call = [](Call kind, int) {
    if (kind == Call::set_owner_rw) (void)SetFileAttributesA("A", FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
  };
  dir.enter();
  Args args{"unbale", "GAME.DAT"};
  EXPECT_EQ(run_extractor(os, args.argc(), args.argv()), 0);
  EXPECT_EQ(os.calls(Call::set_owner_rw), 1);
  EXPECT_FALSE(read_only(dir / "GAME/AB,CD/A"));
  EXPECT_NE(attributes(dir / "GAME/AB,CD/A") & FILE_ATTRIBUTE_HIDDEN, 0u);  // only read-only is cleared
}

TEST(WindowsAttributes, BaleupPacksHiddenSystemAndReadOnlyMembersAndLeavesTheArchiveWritable) {
  TempDir dir;
  fs::create_directories(dir / "GAME/ab,cd");
  write_file(dir / "GAME/ab,cd/x", "abc");
  set_attributes(dir / "GAME/ab,cd/x", FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_READONLY);
  write_file(dir / "GAME.DAT", "old");
  set_attributes(dir / "GAME.DAT", FILE_ATTRIBUTE_READONLY);

  // Where the attribute refuses the write, the run says so and the final step
  // clears it; the next run packs. Where it doesn't refuse, the first run packs.
  const std::string first = baleup(dir);
  EXPECT_TRUE(first == "Can't create the output file.\n" || first == "FILE:0 x SIZE:3\n") << first;
  EXPECT_FALSE(read_only(dir / "GAME.DAT"));
  EXPECT_EQ(baleup(dir), "FILE:0 x SIZE:3\n");
  EXPECT_EQ(test::read_file(dir / "GAME.DAT"),
            concat({kHeaderAB, hex("00 26 32 00 00 00 03 00 00 00 58 00 00 00 00 00 00 00 00"), kEnd, text("abc")}));
  EXPECT_TRUE(read_only(dir / "GAME/ab,cd/x"));  // member files are only read
}

TEST(WindowsPlatform, OnlyFilesOnDiskAreOpened) {
  // A device could wait for a person; a directory is no file.
  TempDir dir;
  fs::create_directory(dir / "sub");
  Platform& os = native_platform();
  for (const std::string& path : std::vector<std::string>{"NUL", "CON", "nul.txt", (dir / "sub").string()}) {
    SCOPED_TRACE(path);
    EXPECT_EQ(os.open_read(path.c_str()), -1);
    EXPECT_EQ(os.create_write(path.c_str()), -1);
  }
}

TEST(WindowsPlatform, ListingsMarkDirectoriesAndRewindAfresh) {
  TempDir dir;
  fs::create_directory(dir / "sub");
  write_file(dir / "file", "x");
  Platform& os = native_platform();
  const int list = os.open_list(dir.path().string().c_str());
  ASSERT_GE(list, 0);
  const auto pass = [&] {
    std::vector<std::string> seen;
    for (ListEntry e{}; os.next_entry(list, e);) seen.push_back(std::string(e.name) + (e.is_directory ? "/" : ""));
    std::sort(seen.begin(), seen.end());
    return seen;
  };
  EXPECT_EQ(pass(), (std::vector<std::string>{"../", "./", "file", "sub/"}));
  write_file(dir / "later", "y");
  os.rewind_list(list);
  EXPECT_EQ(pass(), (std::vector<std::string>{"../", "./", "file", "later", "sub/"}));
  os.close_list(list);
  EXPECT_EQ(os.open_list((dir / "file").string().c_str()), -1);
  EXPECT_EQ(os.open_list((dir / "missing").string().c_str()), -1);
}

}  // namespace
}  // namespace dat
