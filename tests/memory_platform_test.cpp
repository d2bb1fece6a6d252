// The in-memory file system behaves as the real one does where the programs
// can tell: paths, links, listings, failures; and both programs run whole on it.
#include "tests/memory_platform.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "extractor/extractor.h"
#include "packer/packer.h"
#include "tests/test_support.h"

namespace dat {
namespace {

using Op = MemoryPlatform::Op;

TEST(MemoryPlatform, ResolvesPathsAndLinksAsPosixDoes) {
  MemoryPlatform os;
  ASSERT_TRUE(os.add_dir("/a") && os.add_dir("/a/b") && os.add_file("/a/f", "abc"));
  ASSERT_TRUE(os.add_link("/a/up", "..") && os.add_link("/a/loop", "loop") && os.add_link("/a/to_f", "f"));
  ASSERT_TRUE(os.set_current("/a/b"));
  uint8_t buf[8];
  const int f = os.open_read("../../a/./f");  // ".." of the root is the root
  ASSERT_GE(f, 0);
  EXPECT_EQ(os.read(f, buf, 8), 3);
  EXPECT_EQ(os.read(f, buf, 8), 0);
  EXPECT_TRUE(os.close(f));
  EXPECT_GE(os.open_read("/a/to_f"), 0);
  EXPECT_EQ(os.open_read("/a/loop"), -1);
  EXPECT_EQ(os.create_write("/a/to_f"), -1);  // never written through a link
  EXPECT_FALSE(os.set_owner_rw("/a/to_f"));
  EXPECT_FALSE(os.set_owner_rw("/a/b"));  // a regular file only
  EXPECT_TRUE(os.change_dir("/a/up/a/b/.."));
  EXPECT_EQ(os.create_write("f/x"), -1);  // a file is no directory
  EXPECT_FALSE(os.make_dir("b"));         // taken
  EXPECT_EQ(os.tree("/a"), (std::vector<std::string>{"b/", "f", "loop -> loop", "to_f -> f", "up -> .."}));
}

TEST(MemoryPlatform, ListingsReadAfreshOnRewindAndFailuresAreChosen) {
  MemoryPlatform os;
  os.dots = MemoryPlatform::Dots::last;
  ASSERT_TRUE(os.add_dir("/d") && os.add_file("/d/x", "") && os.add_link("/d/l", "/d"));
  const int list = os.open_list("/d");
  std::vector<std::string> seen;
  for (ListEntry e{}; os.next_entry(list, e);) seen.push_back(std::string(e.name) + (e.is_directory ? "/" : ""));
  EXPECT_EQ(seen, (std::vector<std::string>{"x", "l/", "./", "../"}));
  ASSERT_TRUE(os.remove("/d/x"));
  os.rewind_list(list);
  ListEntry e{};
  ASSERT_TRUE(os.next_entry(list, e));
  EXPECT_STREQ(e.name, "l");
  os.close_list(list);
  EXPECT_EQ(os.open_listings(), 0);

  os.fail(Op::write, 2);
  os.space = 5;
  const int w = os.create_write("/d/out");
  const uint8_t bytes[4] = {1, 2, 3, 4};
  EXPECT_EQ(os.write(w, bytes, 4), 4u);
  EXPECT_EQ(os.write(w, bytes, 4), 1u);  // the space left, not the byte short
  EXPECT_EQ(os.write(w, bytes, 4), 0u);  // a file that failed takes nothing more
  EXPECT_FALSE(os.close(w));
  EXPECT_EQ(*os.bytes_of("/d/out"), std::string("\x01\x02\x03\x04\x01", 5));
  EXPECT_EQ(os.lost_writes, 3);
  EXPECT_EQ(os.failed(Op::write), 1);
}

TEST(MemoryPlatform, ThePackersArchiveUnpacksInMemoryToTheExampleTree) {
  MemoryPlatform os;
  ASSERT_TRUE(os.add_dir("/w") && os.add_dir("/w/GAME") && os.add_dir("/w/GAME/aa,bbb"));
  ASSERT_TRUE(os.add_file("/w/GAME/aa,bbb/a.txt", "abc") && os.add_file("/w/GAME/aa,bbb/Empty.dat", ""));
  ASSERT_TRUE(os.set_current("/w"));
  test::Args pack{"baleup", "GAME.DAT"};
  EXPECT_EQ(run_packer(os, pack.argc(), pack.argv()), 0);
  const test::Bytes example = test::hex(
      "41 41 00 00 00 42 42 42 00 00 00 01 00 26 45 00 00 00 03 00 00 00 41 2E 54 58 54 00 00 00 00"
      "00 00 48 00 00 00 00 00 00 00 45 4D 50 54 59 2E 44 41 00 00 00 00 00 00 00 00 00 00 00 45 4E 44"
      "46 49 4C 45 00 00 61 62 63");
  EXPECT_EQ(*os.bytes_of("/w/GAME.DAT"), std::string(example.begin(), example.end()));
  EXPECT_EQ(os.open_files() + os.open_listings() + os.open_marks(), 0);

  ASSERT_TRUE(os.remove("/w/GAME"));
  test::Args unpack{"unbale", "GAME.DAT"};
  EXPECT_EQ(run_extractor(os, unpack.argc(), unpack.argv()), 0);
  EXPECT_EQ(os.tree("/w"), (std::vector<std::string>{"GAME.DAT", "GAME/", "GAME/AA,BBB/", "GAME/AA,BBB/A.TXT",
                                                     "GAME/AA,BBB/EMPTY.DA"}));
  EXPECT_EQ(*os.bytes_of("/w/GAME/AA,BBB/A.TXT"), "abc");
}

}  // namespace
}  // namespace dat
