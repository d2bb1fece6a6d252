// What the fuzz targets share: reading a structured case out of the fuzzer's
// bytes, and checking a run's output against the program's own messages.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

namespace dat::fuzz {

// The fuzzer's bytes taken from the front; past the end every byte is 0.
class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
  std::string_view bytes(size_t n);
  std::string_view rest() { return bytes(size_ - at_); }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

// The output after the four banner lines, when they open it with `title`.
bool after_banner(std::string_view out, std::string_view title, std::string_view& rest);

// Message forms in the manner of printf: %s stands for any bytes but NUL
// and the control bytes a printed name shows escaped, up to `longest_text`
// of them; %u, %i and %llu for a decimal number, %lX
// for upper-case hexadecimal.
struct Forms {
  std::initializer_list<const char*> going_on;  // any number, in any order
  std::initializer_list<const char*> ending;    // at most one, after those
  std::initializer_list<const char*> closing;   // any number, last of all
  size_t longest_text;
};

// True when `out` is a run of whole messages of `forms`, in the order
// going-on lines, at most one ending line, closing lines.
bool only_messages(std::string_view out, const Forms& forms);

// Stops the run as a finding, with what was wrong and the program's output.
[[noreturn]] void fail(const char* what, std::string_view output);
inline void require(bool holds, const char* what, std::string_view output) {
  if (!holds) fail(what, output);
}

}  // namespace dat::fuzz
