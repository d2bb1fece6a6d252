#include "fuzz/fuzz_support.h"

#include <cstdio>
#include <cstdlib>
#include <vector>

namespace dat::fuzz {

std::string_view Input::bytes(size_t n) {
  if (n > size_ - at_) n = size_ - at_;
  const std::string_view taken(reinterpret_cast<const char*>(data_) + at_, n);
  at_ += n;
  return taken;
}

namespace {

std::string_view take_line(std::string_view& out, bool& whole) {
  const size_t end = out.find('\n');
  whole = end != std::string_view::npos;
  const std::string_view line = out.substr(0, whole ? end : out.size());
  out.remove_prefix(whole ? end + 1 : out.size());
  return line;
}

// NUL, or a byte a printed name shows escaped.
bool is_control(char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; }

bool is_digit(char c, bool hex) { return (c >= '0' && c <= '9') || (hex && c >= 'A' && c <= 'F'); }

// Every position in `out` at which `form`, matched from `at`, can end.
void ends(std::string_view form, std::string_view out, size_t at, size_t longest, std::vector<size_t>& into) {
  while (!form.empty()) {
    if (form[0] != '%') {
      if (at >= out.size() || out[at] != form[0]) return;
      form.remove_prefix(1);
      ++at;
      continue;
    }
    if (form.substr(1, 1) == "s") {
      for (size_t n = 0; n <= longest && at + n <= out.size(); ++n) {
        if (n > 0 && is_control(out[at + n - 1])) return;
        ends(form.substr(2), out, at + n, longest, into);
      }
      return;
    }
    const bool hex = form.substr(1, 2) == "lX";
    const size_t conversion = form.substr(1, 3) == "llu" ? 4 : hex ? 3 : 2;
    if (!hex && at < out.size() && out[at] == '-' && form.substr(1, 1) == "i") ++at;
    for (size_t n = 1; at + n <= out.size() && is_digit(out[at + n - 1], hex); ++n) {
      ends(form.substr(conversion), out, at + n, longest, into);
    }
    return;
  }
  into.push_back(at);
}

}  // namespace

bool after_banner(std::string_view out, std::string_view title, std::string_view& rest) {
  bool whole = false;
  if (take_line(out, whole) != title || !whole) return false;
  if (take_line(out, whole).empty() || !whole) return false;
  // "Build Date:" then the date and time as "Mar 14 2021 09:05:07".
  const std::string_view date = take_line(out, whole);
  const std::string_view lead = "Build Date:";
  const std::string_view tail = " GMT+01:00";
  if (!whole || date.size() != lead.size() + 20 + tail.size() || date.substr(0, lead.size()) != lead ||
      date.substr(date.size() - tail.size()) != tail) {
    return false;
  }
  if (!take_line(out, whole).empty() || !whole) return false;
  rest = out;
  return true;
}

bool only_messages(std::string_view out, const Forms& forms) {
  // reached[stage][p]: some messages of the earlier stages end at p.
  std::vector<char> reached[3] = {std::vector<char>(out.size() + 1), std::vector<char>(out.size() + 1),
                                  std::vector<char>(out.size() + 1)};
  reached[0][0] = 1;
  std::vector<size_t> found;
  for (size_t p = 0; p <= out.size(); ++p) {
    // Going on stays in stage 0; an ending moves to 1; closings move to or stay in 2.
    const std::initializer_list<const char*>* step_forms[] = {&forms.going_on, &forms.ending, &forms.closing,
                                                              &forms.closing, &forms.closing};
    const int step_from[] = {0, 0, 0, 1, 2};
    const int step_to[] = {0, 1, 2, 2, 2};
    for (size_t step = 0; step < 5; ++step) {
      if (!reached[step_from[step]][p]) continue;
      for (const char* form : *step_forms[step]) {
        found.clear();
        ends(form, out, p, forms.longest_text, found);
        for (const size_t end : found) {
          if (end > p) reached[step_to[step]][end] = 1;
        }
      }
    }
  }
  const size_t n = out.size();
  return reached[0][n] || reached[1][n] || reached[2][n];
}

void fail(const char* what, std::string_view output) {
  (void)std::fprintf(stderr, "\n*** %s\n--- output ---\n", what);
  (void)std::fwrite(output.data(), 1, output.size(), stderr);
  (void)std::fprintf(stderr, "\n--------------\n");
  std::abort();
}

}  // namespace dat::fuzz
