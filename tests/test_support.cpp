#include "tests/test_support.h"

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <regex>
#include <sstream>
#include <stdexcept>

#if defined(_WIN32)
#include <process.h>
#else
#include <sys/wait.h>
#endif

namespace dat::test {

Bytes hex(const std::string& text) {
  Bytes bytes;
  std::string digits;
  for (const char c : text) {
    if (c == ' ' || c == '\n') continue;
    digits += c;
    if (digits.size() == 2) {
      bytes.push_back(static_cast<uint8_t>(std::stoul(digits, nullptr, 16)));
      digits.clear();
    }
  }
  return bytes;
}

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

const Bytes kHeaderAB = hex("41 42 00 00 00 43 44 00 00 00 00 01");
const Bytes kEnd = hex("00 00 00 00 00 00 00 00 00 00 45 4E 44 46 49 4C 45 00 00");
const Bytes kExample =
    hex("41 41 00 00 00 42 42 42 00 00 00 01"
        "00 26 45 00 00 00 03 00 00 00 41 2E 54 58 54 00 00 00 00"
        "00 00 48 00 00 00 00 00 00 00 45 4D 50 54 59 2E 44 41 00"
        "00 00 00 00 00 00 00 00 00 00 45 4E 44 46 49 4C 45 00 00"
        "61 62 63");

Bytes rec(uint8_t key, uint8_t sum, uint32_t offset, uint32_t size, const std::string& name) {
  Bytes r = {key, sum};
  for (const uint32_t v : {offset, size}) {
    for (int i = 0; i < 4; ++i) r.push_back(static_cast<uint8_t>(v >> (8 * i)));
  }
  for (size_t i = 0; i < 9; ++i) r.push_back(static_cast<uint8_t>((i < name.size() ? name[i] : 0) ^ key));
  return r;
}

Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

uint8_t sum_of(const Bytes& bytes) {
  unsigned s = 0;
  for (const uint8_t b : bytes) s += b;
  return static_cast<uint8_t>(s);
}

void write_file(const fs::path& path, const Bytes& bytes) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!f) throw std::runtime_error("cannot write " + path.string());
}

void write_file(const fs::path& path, const std::string& text) { write_file(path, Bytes(text.begin(), text.end())); }

Bytes read_file(const fs::path& path) {
  std::ifstream f(path, std::ios::binary);
  if (!f) throw std::runtime_error("cannot read " + path.string());
  return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

std::string read_text(const fs::path& path) {
  const Bytes b = read_file(path);
  return std::string(b.begin(), b.end());
}

TempDir::TempDir() : was_in_(fs::current_path()) {
  std::random_device seed;
  std::mt19937_64 random(seed());
  for (;;) {
    path_ = fs::temp_directory_path() / ("dat-test-" + std::to_string(random()));
    if (fs::create_directory(path_)) break;
  }
}

TempDir::~TempDir() {
  std::error_code ignored;
  fs::current_path(was_in_, ignored);
  // Tests may leave read-only files and odd permissions behind.
  for (const auto& e : fs::recursive_directory_iterator(path_, ignored)) {
    if (!e.is_symlink()) fs::permissions(e.path(), fs::perms::owner_all, fs::perm_options::add, ignored);
  }
  fs::remove_all(path_, ignored);
}

void TempDir::enter() const { fs::current_path(path_); }

std::vector<std::string> tree(const fs::path& root) {
  std::vector<std::string> paths;
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    std::string p = fs::relative(e.path(), root).generic_string();
    if (e.is_directory() && !e.is_symlink()) p += '/';
    paths.push_back(p);
  }
  std::sort(paths.begin(), paths.end());
  return paths;
}

Args::Args(std::initializer_list<std::string> words) : words_(words) {
  for (std::string& w : words_) pointers_.push_back(w.data());
  pointers_.push_back(nullptr);
}

#if defined(_WIN32)
static std::string quote(const std::string& s) { return "\"" + s + "\""; }
#else
static std::string quote(const std::string& s) {
  std::string q = "'";
  for (const char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}
#endif

RunResult run_program(const fs::path& exe, const std::vector<std::string>& args, const fs::path& cwd) {
  const fs::path was_in = fs::current_path();
  const fs::path out_file = fs::temp_directory_path() / ("dat-run-" + std::to_string(std::random_device{}()));
  const fs::path err_file = out_file.string() + ".err";
  std::string command = quote(fs::absolute(exe).string());
  for (const std::string& a : args) command.append(" ").append(quote(a));
  command.append(" >").append(quote(out_file.string())).append(" 2>").append(quote(err_file.string()));
#if defined(_WIN32)
  command = "\"" + command + "\"";  // cmd.exe strips one outer pair of quotes
#endif
  fs::current_path(cwd);
  // NOLINTNEXTLINE(cert-env33-c): the tests run the built programs as a user's shell would
  const int raw = std::system(command.c_str());
  fs::current_path(was_in);
#if defined(_WIN32)
  const int status = raw;
#else
  const int status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
#endif
  RunResult r{status, read_text(out_file), read_text(err_file)};
  fs::remove(out_file);
  fs::remove(err_file);
  // Text-mode consoles end lines in "\r\n"; compare in one form everywhere.
  r.out = std::regex_replace(r.out, std::regex("\r\n"), "\n");
  return r;
}

bool starts_with_banner(const std::string& out, const std::string& title, std::string* rest) {
  static const std::regex date_line(
      R"(Build Date:[A-Z][a-z]{2} [ 1-3][0-9] [0-9]{4} [0-2][0-9]:[0-5][0-9]:[0-6][0-9] GMT\+01:00)");
  std::istringstream lines(out);
  std::string line1;
  std::string line2;
  std::string line3;
  std::string line4;
  if (!std::getline(lines, line1) || !std::getline(lines, line2) || !std::getline(lines, line3) ||
      !std::getline(lines, line4)) {
    return false;
  }
  if (line1 != title || line2.empty() || !std::regex_match(line3, date_line) || !line4.empty()) return false;
  const size_t banner_length = line1.size() + line2.size() + line3.size() + 4;
  if (rest != nullptr) *rest = out.substr(banner_length);
  return true;
}

}  // namespace dat::test
