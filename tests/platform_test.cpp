// The native platform's buffering must not hide a failure or change a byte.
#include <gtest/gtest.h>

#if !defined(_WIN32)
#include <sys/stat.h>
#endif

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "tests/faulty_platform.h"
#include "tests/test_support.h"

namespace dat {
namespace {

using test::Bytes;
namespace fs = std::filesystem;

TEST(NativePlatform, ReadsAndSeeksGiveTheFileBytesWherePositioned) {
  test::TempDir dir;
  Bytes data(200000);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 131 + i / 256);
  test::write_file(dir / "f", data);

  Platform& os = native_platform();
  const int f = os.open_read((dir / "f").string().c_str());
  ASSERT_GE(f, 0);
  uint8_t block[512];
  // Hop between a "table" near the start and "data" further on, as the extractor does.
  for (const uint64_t at : {12u, 150000u, 31u, 199990u, 50u, 70000u, 12u}) {
    SCOPED_TRACE(at);
    ASSERT_TRUE(os.seek(f, at));
    const int64_t got = os.read(f, block, sizeof block);
    const size_t want = std::min<size_t>(sizeof block, data.size() - at);
    ASSERT_EQ(got, static_cast<int64_t>(want));
    EXPECT_EQ(0, std::memcmp(block, data.data() + at, want));
    EXPECT_EQ(os.tell(f), at + want);
  }
  ASSERT_TRUE(os.seek(f, 1u << 30));  // past the end: nothing to read
  EXPECT_EQ(os.read(f, block, sizeof block), 0);
  EXPECT_TRUE(os.close(f));
}

TEST(NativePlatform, SequentialReadsGiveEveryByteOnceWhateverTheRequestSize) {
  test::TempDir dir;
  Bytes data(300007);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + i / 509);
  test::write_file(dir / "f", data);

  Platform& os = native_platform();
  // Small requests cross the edges of what is buffered; large ones bypass it.
  for (const uint32_t request : {19u, 512u, 4097u, 200000u}) {
    for (const uint64_t from : {0u, 12u, 150001u}) {
      SCOPED_TRACE(testing::Message() << "request " << request << " from " << from);
      const int f = os.open_read((dir / "f").string().c_str());
      ASSERT_GE(f, 0);
      ASSERT_TRUE(os.seek(f, from));
      Bytes got;
      std::vector<uint8_t> block(request);
      int64_t n = 0;
      while ((n = os.read(f, block.data(), request)) > 0) {
        got.insert(got.end(), block.begin(), block.begin() + n);
        if (n < request) {
          EXPECT_EQ(os.read(f, block.data(), request), 0);  // fewer only at the end
        }
      }
      EXPECT_EQ(n, 0);
      EXPECT_EQ(got, Bytes(data.begin() + static_cast<std::ptrdiff_t>(from), data.end()));
      EXPECT_TRUE(os.close(f));
    }
  }
}

TEST(NativePlatform, WritesArriveWholeAfterClose) {
  test::TempDir dir;
  Bytes data(300001);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i ^ (i >> 9));
  Platform& os = native_platform();
  const int f = os.create_write((dir / "out").string().c_str());
  ASSERT_GE(f, 0);
  for (size_t at = 0; at < data.size(); at += 512) {
    const auto n = static_cast<uint32_t>(std::min<size_t>(512, data.size() - at));
    ASSERT_EQ(os.write(f, data.data() + at, n), n);
  }
  EXPECT_TRUE(os.close(f));
  EXPECT_EQ(test::read_file(dir / "out"), data);
}

TEST(NativePlatform, AReadThatCameShortIsReportedOnceItsBytesAreTaken) {
  test::TempDir dir;
  for (const size_t size : {size_t{1024}, size_t{196608}}) {  // within one fill, and one and a half
    SCOPED_TRACE(size);
    test::write_file(dir / "f", Bytes(size, 'x'));
    Platform& os = native_platform();
    const int f = os.open_read((dir / "f").string().c_str());
    ASSERT_GE(f, 0);
    uint8_t block[512];
    size_t taken = 0;
    while (taken < size) {
      EXPECT_FALSE(os.read_came_short(f)) << taken;
      ASSERT_EQ(os.read(f, block, sizeof block), 512);
      taken += 512;
    }
    EXPECT_TRUE(os.read_came_short(f));
    EXPECT_EQ(os.read(f, block, sizeof block), 0);
    EXPECT_TRUE(os.close(f));
  }
}

TEST(NativePlatform, OwnerReadAndWriteRefuseADirectory) {
  test::TempDir dir;
  fs::create_directory(dir / "GAME.DAT");
  EXPECT_FALSE(native_platform().set_owner_rw((dir / "GAME.DAT").string().c_str()));
}

#if !defined(_WIN32)
TEST(NativePlatform, OwnerReadAndWriteGoToARegularFileOnly) {
  test::TempDir dir;
  test::write_file(dir / "file", "abc");
  fs::create_directory(dir / "dir");
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0444), 0);
  fs::create_symlink("file", dir / "link");
  struct Case {
    const char* name;
    bool changed;
  };
  Platform& os = native_platform();
  for (const Case& c :
       {Case{"file", true}, Case{"dir", false}, Case{"fifo", false}, Case{"link", false}, Case{"missing", false}}) {
    SCOPED_TRACE(c.name);
    const fs::path path = dir / c.name;
    for (const char* other : {"file", "dir", "fifo"}) ASSERT_EQ(::chmod((dir / other).c_str(), 0444), 0);
    EXPECT_EQ(os.set_owner_rw(path.c_str()), c.changed);
    const fs::path looked_at = std::string(c.name) == "link" ? dir / "file" : path;
    if (fs::exists(fs::symlink_status(looked_at))) {
      EXPECT_EQ(fs::symlink_status(looked_at).permissions() & fs::perms::all,
                c.changed ? fs::perms::owner_read | fs::perms::owner_write
                          : fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    }
  }
}

TEST(NativePlatform, AFailedWriteBeneathTheBufferIsReported) {
  Platform& os = native_platform();
  const int f = os.create_write("/dev/full");
  ASSERT_GE(f, 0);
  uint8_t block[512] = {};
  uint32_t taken = 512;
  int blocks = 0;
  while (taken == 512 && blocks < 1000) {
    taken = os.write(f, block, 512);
    ++blocks;
  }
  EXPECT_LT(taken, 512u);  // once the held bytes fail, writes fall short
  EXPECT_EQ(os.write(f, block, 1), 0u);
  EXPECT_FALSE(os.close(f));

  const int g = os.create_write("/dev/full");
  ASSERT_GE(g, 0);
  EXPECT_EQ(os.write(g, block, 100), 100u);  // held, not yet written
  EXPECT_FALSE(os.close(g));                 // and the close says so
}
#endif

}  // namespace
}  // namespace dat

namespace dat {
namespace {

// A printed text is shown safe for a terminal: the control bytes escaped as C
// writes them, every other byte as it stands; the format's own line break is
// untouched.
TEST(Print, ControlBytesInATextShowEscapedAndEveryOtherByteAsItIs) {
  std::string all;
  std::string shown;
  for (int b = 1; b <= 0xFF; ++b) {
    all += static_cast<char>(b);
    char octal[8];
    if (b >= 7 && b <= 13) {
      const char* named[] = {"\\a", "\\b", "\\t", "\\n", "\\v", "\\f", "\\r"};
      shown += named[b - 7];
    } else if (b < 0x20 || b == 0x7F) {
      (void)std::snprintf(octal, sizeof octal, "\\%03o", static_cast<unsigned>(b));
      shown += octal;
    } else {
      shown += static_cast<char>(b);
    }
  }
  FaultyPlatform os;
  print(os, "[%s]\n", all.c_str());
  EXPECT_EQ(os.output, "[" + shown + "]\n");

  FaultyPlatform pinned;
  print(pinned, "%s", "\x1b[2J\x7f\xc3\xa9");
  EXPECT_EQ(pinned.output, "\\033[2J\\177\xc3\xa9");
}

}  // namespace
}  // namespace dat
