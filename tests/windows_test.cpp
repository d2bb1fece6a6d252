// What only Windows has: the read-only attribute, hidden and system files,
// '\' and ':' in paths, drive prefixes, device names that open in every
// directory, names the system refuses or changes, names that differ only in
// case naming one file, UTF-8 names and folders through the programs' code
// page, and paths past the old 260-character limit. Built into the Windows
// suite only, which runs in the programs' code page (UTF-8).
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <cwchar>
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

// Removes what the current directory holds, to any depth, going in and out
// step by step: full paths past 260 characters can't be removed here.
void remove_contents() {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW found;
  const HANDLE find = FindFirstFileW(L"*", &found);
  for (BOOL more = find != INVALID_HANDLE_VALUE; more; more = FindNextFileW(find, &found)) {
    if (std::wcscmp(found.cFileName, L".") != 0 && std::wcscmp(found.cFileName, L"..") != 0) {
      names.emplace_back(found.cFileName);
    }
  }
  if (find != INVALID_HANDLE_VALUE) (void)FindClose(find);
  for (const std::wstring& name : names) {
    if (SetCurrentDirectoryW(name.c_str())) {
      remove_contents();
      ASSERT_TRUE(SetCurrentDirectoryW(L".."));
      ASSERT_TRUE(RemoveDirectoryW(name.c_str()));
    } else {
      ASSERT_TRUE(DeleteFileW(name.c_str()));
    }
  }
}

// Empties a scratch directory that holds such paths before it goes.
struct TreeRemover {
  const TempDir& dir;
  ~TreeRemover() {
    dir.enter();
    remove_contents();
  }
};

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

TEST(WindowsNames, ReservedNamesAndRefusedBytesAreKnownInEveryForm) {
  struct Case {
    const char* name;
    bool reserved;
  };
  const Case cases[] = {
      {"CON", true},   {"con", true},      {"Nul.txt", true}, {"AUX.", true},   {"PRN  ", true},   {"NUL .X", true},
      {"COM1", true},  {"lpt9.dat", true}, {"COM0", true},    {"CONIN$", true}, {"conout$", true}, {"...", true},
      {" ", true},     {". .", true},      {"COM", false},    {"COM10", false}, {"COMA", false},   {"CONSOLE", false},
      {"NULL", false}, {"A.NUL", false},   {"XCON", false},   {"_CON", false},  {"", false},       {"LEVEL01.", false},
      {".A", false},   {"A . ", false},
  };
  Platform& os = native_platform();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(os.is_reserved_name(c.name), c.reserved);
  }
  // No byte from 1 to 31 and none of / \ : < > " | ? * stands in a file name.
  for (int b = 1; b < 256; ++b) {
    SCOPED_TRACE(b);
    const bool refused = b < 32 || std::strchr("/\\:<>\"|?*", b) != nullptr;
    EXPECT_EQ(std::strchr(os.name_separators(), b) != nullptr, refused);
  }
}

TEST(WindowsNames, UnbaleKeepsEveryMemberInsideThePartDirectory) {
  // Separators, drive prefixes, device names and every name the system
  // refuses are skipped, and the walk goes on to the last member.
  struct Member {
    std::string name;
    const char* shown;  // as the message prints it, where that differs
  };
  const std::vector<Member> members = {
      {"..\\X", nullptr},  {"\\X", nullptr},     {"C:X", nullptr},  {"C:\\X", nullptr},  {"D:", nullptr},
      {"NUL", nullptr},    {"con.txt", nullptr}, {"Com1", nullptr}, {"WHAT?", nullptr},  {"A<B>", nullptr},
      {"\"A\"", nullptr},  {"A|B", nullptr},     {"A*", nullptr},   {"A\x01", "A\\001"}, {"TAB\tX", "TAB\\tX"},
      {"A\x1F", "A\\037"}, {"...", nullptr},     {" ", nullptr},    {". .", nullptr},    {"OK", nullptr},
  };
  const auto data_at = static_cast<uint32_t>(12 + 19 * (members.size() + 1));
  Bytes archive = kHeaderAB;
  std::string expected;
  for (const Member& m : members) {
    if (m.name == "OK") {
      archive = concat({archive, rec(0, sum_of(text("ok")), data_at, 2, m.name)});
    } else {
      archive = concat({archive, rec(0, 0, data_at, 0, m.name)});
      expected += "Skipping unsafe file name " + std::string(m.shown != nullptr ? m.shown : m.name) + "\n";
    }
  }
  TempDir dir;
  EXPECT_EQ(unbale(dir, concat({archive, kEnd, text("ok")})), expected);
  EXPECT_EQ(tree(dir.path()), (std::vector<std::string>{"GAME.DAT", "GAME/", "GAME/AB,CD/", "GAME/AB,CD/OK"}));

  // A part-directory name that is a path, or that the system refuses, ends
  // the run before anything is made for it.
  struct Part {
    const char* header;
    const char* shown;
  };
  for (const Part& p :
       {Part{"43 3A 00 00 00 41 00 00 00 00 00 01", "C:,A"}, Part{"2E 2E 5C 00 00 41 00 00 00 00 00 01", "..\\,A"},
        Part{"41 3F 00 00 00 43 44 00 00 00 00 01", "A?,CD"},
        Part{"41 01 00 00 00 43 44 00 00 00 00 01", "A\\001,CD"}}) {
    TempDir part;
    SCOPED_TRACE(p.header);
    EXPECT_EQ(unbale(part, hex(p.header)), std::string("Unsafe directory name ") + p.shown + "\n");
    EXPECT_EQ(tree(part.path()), (std::vector<std::string>{"GAME.DAT", "GAME/"}));
  }
}

TEST(WindowsNames, TrailingDotsAndBlanksGoAsTheSystemCreatesTheFile) {
  // LEVEL01.MAP is stored as "LEVEL01.": the file made is LEVEL01, and
  // packed again the member is stored under that name.
  TempDir dir;
  EXPECT_EQ(unbale(dir, concat({kHeaderAB, rec(0, sum_of(text("map")), 69, 3, "LEVEL01."),
                                rec(0, sum_of(text("txt")), 72, 3, "NOTE "), kEnd, text("maptxt")})),
            "");
  EXPECT_EQ(tree(dir / "GAME"), (std::vector<std::string>{"AB,CD/", "AB,CD/LEVEL01", "AB,CD/NOTE"}));
  EXPECT_EQ(read_text(dir / "GAME/AB,CD/LEVEL01"), "map");

  fs::remove(dir / "GAME.DAT");
  const std::string packed = baleup(dir);
  EXPECT_NE(packed.find(" LEVEL01 SIZE:3\n"), std::string::npos) << packed;
  EXPECT_NE(packed.find(" NOTE SIZE:3\n"), std::string::npos) << packed;
  fs::remove_all(dir / "GAME");
  EXPECT_EQ(after_banner(test::run_program(UNBALE_EXE, {"GAME.DAT"}, dir.path()), "TORVEL DAT extractor v0.1"), "");
  EXPECT_EQ(tree(dir / "GAME"), (std::vector<std::string>{"AB,CD/", "AB,CD/LEVEL01", "AB,CD/NOTE"}));
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

TEST(WindowsPlatform, ListingsAndMarksHoldInLongAndUnicodeDirectories) {
  // A directory named outside every ANSI code page, more than 260
  // characters from the drive's root, entered step by step.
  TempDir dir;
  const TreeRemover remover{dir};
  dir.enter();
  Platform& os = native_platform();
  ASSERT_TRUE(os.make_dir("Жук 日本") && os.change_dir("Жук 日本"));
  for (int depth = 0; depth < 3; ++depth) {
    const std::string step(100, static_cast<char>('a' + depth));
    ASSERT_TRUE(os.make_dir(step.c_str()) && os.change_dir(step.c_str()));
  }
  ASSERT_TRUE(os.make_dir("sub"));
  ASSERT_TRUE(os.close(os.create_write("file")));
  const int mark = os.mark_dir();
  ASSERT_GE(mark, 0);

  const int list = os.open_list(".");
  ASSERT_GE(list, 0);
  const auto pass = [&] {
    std::vector<std::string> seen;
    for (ListEntry e{}; os.next_entry(list, e);) seen.push_back(std::string(e.name) + (e.is_directory ? "/" : ""));
    std::sort(seen.begin(), seen.end());
    return seen;
  };
  EXPECT_EQ(pass(), (std::vector<std::string>{"../", "./", "file", "sub/"}));
  // A rewind lists the same directory afresh, wherever the run has gone since.
  ASSERT_TRUE(os.change_dir("sub"));
  ASSERT_TRUE(os.close(os.create_write("..\\later")));
  os.rewind_list(list);
  EXPECT_EQ(pass(), (std::vector<std::string>{"../", "./", "file", "later", "sub/"}));
  os.close_list(list);

  ASSERT_TRUE(os.change_dir(dir.path().string().c_str()));
  ASSERT_TRUE(os.return_to_dir(mark));
  const int back = os.open_read("later");  // only there
  EXPECT_GE(back, 0);
  (void)os.close(back);

  EXPECT_EQ(os.open_list("file"), -1);
  EXPECT_EQ(os.open_list("missing"), -1);
}

TEST(WindowsUnicode, TreesInUnicodeFoldersPackAndUnpackByRelativeAndAbsolutePaths) {
  // Members are stored under the UTF-8 bytes of their names' first 8 bytes,
  // as on every platform, and unpack under them.
  TempDir dir;
  const fs::path folder = dir / u8"Жук 日本";  // narrow paths are not UTF-8 to the C++ library here
  for (const std::string& archive : {std::string("Жук 日本\\GAME.DAT"), (folder / "GAME.DAT").string()}) {
    SCOPED_TRACE(archive);
    fs::remove_all(folder);
    fs::create_directories(folder / "GAME/AB,CD");
    write_file(folder / u8"GAME/AB,CD/Жук.txt", "abc");
    write_file(folder / u8"GAME/AB,CD/日本.bin", "xyz");
    const std::string packed =
        after_banner(test::run_program(BALEUP_EXE, {archive}, dir.path()), "TORVEL DAT packer v0.1");
    EXPECT_NE(packed.find(" Жук.txt SIZE:3\n"), std::string::npos) << packed;
    EXPECT_NE(packed.find(" 日本.bin SIZE:3\n"), std::string::npos) << packed;
    EXPECT_EQ(test::read_file(folder / "GAME.DAT").size(), 12u + 3 * 19 + 6);

    fs::remove_all(folder / "GAME");
    EXPECT_EQ(after_banner(test::run_program(UNBALE_EXE, {archive}, dir.path()), "TORVEL DAT extractor v0.1"), "");
    EXPECT_EQ(tree(folder / "GAME"), (std::vector<std::string>{"AB,CD/", "AB,CD/Жук.T", "AB,CD/日本.B"}));
    EXPECT_EQ(read_text(folder / u8"GAME/AB,CD/Жук.T"), "abc");
    EXPECT_EQ(read_text(folder / u8"GAME/AB,CD/日本.B"), "xyz");
  }
}

TEST(WindowsUnicode, StoredNamesUnpackAsUtf8AndNoOtherBytesLeaveThePartDirectory) {
  // A name in UTF-8, as a POSIX system stores it, is the same name here. A
  // name that is not UTF-8 gets the replacement character for its stray
  // bytes, also where they would spell '/' or '\' in an overlong form.
  TempDir dir;
  const std::vector<std::string> names = {"Жук", "日本", "\xE9t\xE9", "\xC0\xAF", "A\xC1\x9C"};
  const auto data_at = static_cast<uint32_t>(12 + 19 * (names.size() + 1));
  Bytes archive = kHeaderAB;
  uint32_t offset = data_at;
  for (const std::string& name : names) {
    archive = concat({archive, rec(0, sum_of(text(name)), offset, static_cast<uint32_t>(name.size()), name)});
    offset += static_cast<uint32_t>(name.size());
  }
  archive = concat({archive, kEnd});
  for (const std::string& name : names) archive = concat({archive, text(name)});
  EXPECT_EQ(unbale(dir, archive), "");
  EXPECT_EQ(tree(dir / "GAME"), (std::vector<std::string>{"AB,CD/", "AB,CD/A\uFFFD\uFFFD", "AB,CD/Жук", "AB,CD/日本",
                                                          "AB,CD/\uFFFDt\uFFFD", "AB,CD/\uFFFD\uFFFD"}));
  EXPECT_EQ(read_text(dir / u8"GAME/AB,CD/Жук"), "Жук");
}

TEST(WindowsPaths, AnArchivePathOf258CharactersPacksAndUnpacks) {
  // The part directory's full path is then past 260 characters, which the
  // test reaches only by relative paths, from the archive's folder.
  TempDir dir;
  const TreeRemover remover{dir};
  fs::path folder = dir.path();
  const size_t fixed = dir.path().wstring().size() + std::strlen("\\GAME.DAT");
  ASSERT_LT(fixed + 2, 258u);
  const size_t left = 258 - fixed;  // folder names of up to 100 characters, a separator before each
  const size_t folders = (left + 100) / 101;
  for (size_t i = 0; i < folders; ++i) folder /= std::string(left / folders - 1 + (i < left % folders ? 1 : 0), 'd');
  const std::string archive = (folder / "GAME.DAT").string();
  ASSERT_EQ(archive.size(), 258u) << archive;
  fs::create_directories(folder);
  fs::current_path(folder);
  Platform& os = native_platform();
  ASSERT_TRUE(os.make_dir("GAME") && os.make_dir("GAME\\AB,CD"));
  const int member = os.create_write("GAME\\AB,CD\\A");
  ASSERT_EQ(os.write(member, text("abc").data(), 3), 3u);
  ASSERT_TRUE(os.close(member));

  EXPECT_EQ(after_banner(test::run_program(BALEUP_EXE, {archive}, dir.path()), "TORVEL DAT packer v0.1"),
            "FILE:0 A SIZE:3\n");
  EXPECT_EQ(test::read_file(archive),
            concat({kHeaderAB, hex("00 26 32 00 00 00 03 00 00 00 41 00 00 00 00 00 00 00 00"), kEnd, text("abc")}));
  ASSERT_TRUE(DeleteFileA("GAME\\AB,CD\\A"));
  EXPECT_EQ(after_banner(test::run_program(UNBALE_EXE, {archive}, dir.path()), "TORVEL DAT extractor v0.1"), "");
  const int unpacked = os.open_read("GAME\\AB,CD\\A");
  uint8_t got[4] = {};
  EXPECT_EQ(os.read(unpacked, got, 4), 3);
  EXPECT_EQ(std::string(got, got + 3), "abc");
  (void)os.close(unpacked);
}

}  // namespace
}  // namespace dat
