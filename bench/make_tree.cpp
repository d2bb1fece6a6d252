// Writes one benchmark tree, GAME/AB,CD/<members>, below a directory: the
// same bytes on every run, so that figures from different runs compare.
//
//   make_tree DIR w1|w2|w3|tiny
//
// w1: 8 members of 128 MiB; w2: 20,000 members of 4 KiB; w3: 2,000 members
// whose sizes are log-uniform from 100 B to 1 MiB; tiny: two members that make
// an archive of about 1 KiB. Member names are 8 upper-case characters, as the
// packer stores them, so that an unpacked archive gives the same tree back.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <vector>

namespace {

// xorshift64*: fast, fixed, and the same everywhere.
struct Random {
  uint64_t state;
  uint64_t next() {
    state ^= state >> 12;
    state ^= state << 25;
    state ^= state >> 27;
    return state * 0x2545F4914F6CDD1Dull;
  }
  double unit() { return static_cast<double>(next() >> 11) / 9007199254740992.0; }
};

bool write_member(const std::filesystem::path& path, uint64_t size, Random& random) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  std::vector<uint64_t> chunk(1 << 16);
  uint64_t left = size;
  while (left > 0) {
    for (auto& word : chunk) word = random.next();
    const uint64_t n = left < chunk.size() * 8 ? left : chunk.size() * 8;
    if (std::fwrite(chunk.data(), 1, n, f) != n) {
      (void)std::fclose(f);
      return false;
    }
    left -= n;
  }
  return std::fclose(f) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    (void)std::fprintf(stderr, "usage: make_tree DIR w1|w2|w3|tiny\n");
    return 2;
  }
  const std::filesystem::path part = std::filesystem::path(argv[1]) / "GAME" / "AB,CD";
  std::filesystem::create_directories(part);
  const char* kind = argv[2];
  Random random{0x9E3779B97F4A7C15ull};

  int count = 0;
  if (std::strcmp(kind, "w1") == 0) {
    count = 8;
  } else if (std::strcmp(kind, "w2") == 0) {
    count = 20000;
  } else if (std::strcmp(kind, "w3") == 0) {
    count = 2000;
  } else if (std::strcmp(kind, "tiny") == 0) {
    count = 2;
  } else {
    (void)std::fprintf(stderr, "unknown workload %s\n", kind);
    return 2;
  }

  uint64_t total = 0;
  for (int i = 0; i < count; ++i) {
    uint64_t size = 470;  // tiny: 12 + 3 * 19 + 2 * 470 bytes, about 1 KiB
    if (kind[1] == '1') {
      size = 128ull << 20;
    } else if (kind[1] == '2') {
      size = 4096;
    } else if (kind[1] == '3') {
      size = static_cast<uint64_t>(std::exp(std::log(100.0) + random.unit() * std::log(1048576.0 / 100.0)));
    }
    char name[16];
    (void)std::snprintf(name, sizeof name, "M%07d", i);
    if (!write_member(part / name, size, random)) {
      (void)std::fprintf(stderr, "can't write %s\n", (part / name).c_str());
      return 1;
    }
    total += size;
  }
  (void)std::printf("%s: %d members, %llu bytes\n", kind, count, static_cast<unsigned long long>(total));
  return 0;
}
