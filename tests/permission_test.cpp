// The permission steps on a POSIX system as it is found outside CI: with
// /proc hidden (containers, chroots, build sandboxes), as an ordinary user,
// and with the member's name taken by another file while it is written.
// Each check that needs root to set up the scene says so when it skips.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "extractor/extractor.h"
#include "tests/faulty_platform.h"
#include "tests/test_support.h"

namespace dat {
namespace {

using namespace test;  // the tests' own helpers
namespace fs = std::filesystem;

mode_t mode_of(const fs::path& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 07777;
}

// The shell line that runs a program in a mount namespace of its own, with
// an empty file system over /proc.
const char* const kHideProc = "mount -t tmpfs none /proc && exec \"$0\" \"$@\"";

// True when the shell line runs and exits 0, its output discarded.
bool succeeds(const char* line) {
  const std::string quiet = std::string(line) + " >/dev/null 2>&1";
  // NOLINTNEXTLINE(cert-env33-c): probing the tools the scene needs
  return std::system(quiet.c_str()) == 0;
}

// Also false for a build whose runtime can't start without /proc, as the
// sanitizers' can't: baleup without arguments then fails to show its usage.
bool can_hide_proc() {
  return ::geteuid() == 0 && succeeds("unshare -m sh -c 'mount -t tmpfs none /proc && test ! -e /proc/self'") &&
         run_program("/usr/bin/unshare", {"-m", "sh", "-c", kHideProc, BALEUP_EXE}, fs::current_path()).status == 2;
}

bool can_run_as_nobody() {
  return ::geteuid() == 0 && succeeds("setpriv --reuid=65534 --regid=65534 --clear-groups true");
}

std::string after_banner(const RunResult& r, const char* title) {
  std::string rest;
  EXPECT_TRUE(starts_with_banner(r.out, title, &rest)) << r.out;
  EXPECT_EQ(r.status, 0);
  return rest;
}

TEST(HiddenProc, BothProgramsSetOwnerReadAndWrite) {
  if (!can_hide_proc()) GTEST_SKIP() << "needs root, Linux, unshare, and programs that start without /proc";
  TempDir dir;
  fs::create_directories(dir / "GAME/ab,cd");
  write_file(dir / "GAME/ab,cd/a", "abc");
  write_file(dir / "GAME.DAT", "old");
  ASSERT_EQ(::chmod((dir / "GAME.DAT").c_str(), 0400), 0);
  const auto hidden = [&](const char* exe) {
    return run_program("/usr/bin/unshare", {"-m", "sh", "-c", kHideProc, exe, "GAME.DAT"}, dir.path());
  };

  EXPECT_EQ(after_banner(hidden(BALEUP_EXE), "TORVEL DAT packer v0.1"), "FILE:0 a SIZE:3\n");
  EXPECT_EQ(mode_of(dir / "GAME.DAT"), 0600u);  // a second run can write it

  // unbale writes GAME/AB,CD/A over a file that was readable by all.
  fs::create_directories(dir / "GAME/AB,CD");
  write_file(dir / "GAME/AB,CD/A", "older");
  ASSERT_EQ(::chmod((dir / "GAME/AB,CD/A").c_str(), 0644), 0);
  EXPECT_EQ(after_banner(hidden(UNBALE_EXE), "TORVEL DAT extractor v0.1"), "");
  EXPECT_EQ(read_text(dir / "GAME/AB,CD/A"), "abc");
  EXPECT_EQ(mode_of(dir / "GAME/AB,CD/A"), 0600u);
}

// An ordinary user in a starting directory it may enter and write but not
// read (0333): the run must still come back to it for the final step, which
// must reach the archive whatever its owner may do to it (read only, write
// only, nothing at all).
TEST(OrdinaryUser, FinalStepInAStartThatCantBeRead) {
  if (!can_run_as_nobody()) GTEST_SKIP() << "needs root and setpriv to run as an ordinary user";
  struct Case {
    mode_t mode;
    const char* out;
  };
  for (const Case& c : {Case{0400, "Can't create the output file.\n"}, Case{0200, "FILE:0 a SIZE:3\n"},
                        Case{0000, "Can't create the output file.\n"}}) {
    SCOPED_TRACE(c.mode);
    TempDir dir;
    ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
    const fs::path start = dir / "start";
    fs::create_directories(start / "GAME/ab,cd");
    write_file(start / "GAME/ab,cd/a", "abc");
    const fs::path dat = start / "GAME.DAT";
    write_file(dat, "old");
    ASSERT_EQ(::chown(dat.c_str(), 65534, 65534), 0);
    ASSERT_EQ(::chmod(dat.c_str(), c.mode), 0);
    ASSERT_EQ(::chmod(start.c_str(), 0333), 0);
    const RunResult r = run_program(
        "/usr/bin/setpriv", {"--reuid=65534", "--regid=65534", "--clear-groups", BALEUP_EXE, "GAME.DAT"}, start);
    EXPECT_EQ(after_banner(r, "TORVEL DAT packer v0.1"), c.out);
    EXPECT_EQ(mode_of(dat), 0600u);
    ASSERT_EQ(::chmod(start.c_str(), 0755), 0);
  }
}

// The member's permission goes to the file the run wrote, through its open
// descriptor: when the name is taken by another file or a link just before
// the step, what stands at the name keeps its mode.
TEST(MemberPermission, LandsOnTheFileWrittenWhateverTakesItsNameMeanwhile) {
  // AB,CD holding A (abc) at offset 50.
  const Bytes archive = concat({kHeaderAB, rec(0, 0x26, 50, 3, "A"), kEnd, text("abc")});
  for (const bool link : {false, true}) {
    SCOPED_TRACE(link ? "a link" : "another file");
    TempDir dir;
    write_file(dir / "GAME.DAT", archive);
    write_file(dir / "victim", "keep");
    ASSERT_EQ(::chmod((dir / "victim").c_str(), 0644), 0);
    const fs::path part = dir / "GAME/AB,CD";
    FaultyPlatform os;
    os.before_call = [&](Call kind, int) {
      if (kind != Call::set_owner_rw) return;
      fs::rename(part / "A", part / "moved");
      if (link) {
        fs::create_symlink("../../victim", part / "A");
      } else {
        write_file(part / "A", "other");
        ASSERT_EQ(::chmod((part / "A").c_str(), 0644), 0);
      }
    };
    dir.enter();
    Args args{"unbale", "GAME.DAT"};
    EXPECT_EQ(run_extractor(os, args.argc(), args.argv()), 0);
    EXPECT_EQ(os.calls(Call::set_owner_rw), 1);
    EXPECT_EQ(read_text(part / "moved"), "abc");
    EXPECT_EQ(mode_of(part / "moved"), 0600u);
    EXPECT_EQ(mode_of(link ? dir / "victim" : part / "A"), 0644u);
  }
}

}  // namespace
}  // namespace dat
