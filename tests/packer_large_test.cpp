// The packer's 4 GiB limit, met with a sparse member. It reads 4 GiB, so it
// sits in a binary of its own, labelled "large".
#include <gtest/gtest.h>

#include <fstream>

#include "tests/test_support.h"

namespace dat {
namespace {

using test::hex;
namespace fs = std::filesystem;

TEST(BaleupLarge, ArchivesOfFourGibibytesAreRefusedBeforeTheEntry) {
  // One sparse member that would end the archive exactly at 2^32.
  test::TempDir dir;
  fs::create_directories(dir / "GAME/ab,cd");
  {
    std::ofstream f(dir / "GAME/ab,cd/big", std::ios::binary);
    f.seekp(std::streamoff{0xFFFFFFFFLL - 50});
    f.put('x');
  }
  const auto r = test::run_program(BALEUP_EXE, {"GAME.DAT"}, dir.path());
  std::string rest;
  ASSERT_TRUE(test::starts_with_banner(r.out, "TORVEL DAT packer v0.1", &rest));
  EXPECT_EQ(rest, "FILE:0 big SIZE:4294967246\nFile big makes the archive too large\n");
  EXPECT_EQ(test::read_file(dir / "GAME.DAT"), hex("41 42 00 00 00 43 44 00 00 00 00 01"));
}

}  // namespace
}  // namespace dat
