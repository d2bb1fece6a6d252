#include <cstdarg>
#include <cstring>

#include "platform/platform.h"

namespace dat {

// Digits of `v` in `base`, upper case, without leading zeros.
static void print_number(Platform& os, unsigned long long v, unsigned base) {
  char digits[24];
  size_t n = sizeof digits;
  do {
    digits[--n] = "0123456789ABCDEF"[v % base];
    v /= base;
  } while (v != 0);
  os.out(digits + n, sizeof digits - n);
}

// A name as it may be shown on a terminal: control bytes (0x01-0x1F and
// DEL) in C's escaped form, so that a name from an archive or a listing can
// neither break a line nor send a control sequence. Every other byte, UTF-8
// and code-page text included, goes out as it is.
static void print_text(Platform& os, const char* s) {
  for (;;) {
    const char* plain = s;
    while (static_cast<unsigned char>(*s) >= 0x20 && *s != 0x7F) ++s;
    if (s != plain) os.out(plain, static_cast<size_t>(s - plain));
    if (*s == '\0') return;
    const auto c = static_cast<unsigned char>(*s++);
    char escaped[4] = {'\\', 0, 0, 0};
    static constexpr char kNamed[] = "abtnvfr";  // 0x07 to 0x0D
    if (c >= 0x07 && c <= 0x0D) {
      escaped[1] = kNamed[c - 0x07];
      os.out(escaped, 2);
    } else {
      escaped[1] = static_cast<char>('0' + (c >> 6));
      escaped[2] = static_cast<char>('0' + ((c >> 3) & 7));
      escaped[3] = static_cast<char>('0' + (c & 7));
      os.out(escaped, 4);
    }
  }
}

// NOLINTNEXTLINE(cert-dcl50-cpp): printf-style, so that the compiler checks every format against its arguments
void print(Platform& os, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const char* text = format;
  while (*text != '\0') {
    const char* percent = std::strchr(text, '%');
    if (percent == nullptr) {
      os.out(text, std::strlen(text));
      break;
    }
    os.out(text, static_cast<size_t>(percent - text));
    const char* conversion = percent + 1;
    if (*conversion == 's') {
      print_text(os, va_arg(args, const char*));
    } else if (*conversion == 'i') {
      const int v = va_arg(args, int);
      if (v < 0) os.out("-", 1);
      print_number(os, v < 0 ? 0ULL - static_cast<unsigned long long>(v) : static_cast<unsigned long long>(v), 10);
    } else if (*conversion == 'u') {
      print_number(os, va_arg(args, unsigned), 10);
    } else if (std::strncmp(conversion, "lX", 2) == 0) {
      print_number(os, va_arg(args, unsigned long), 16);
      ++conversion;
    } else if (std::strncmp(conversion, "02X", 3) == 0) {  // a byte's two hexadecimal digits
      const unsigned v = va_arg(args, unsigned);
      if (v < 16) os.out("0", 1);
      print_number(os, v, 16);
      conversion += 2;
    } else if (std::strncmp(conversion, "llu", 3) == 0) {
      print_number(os, va_arg(args, unsigned long long), 10);
      conversion += 2;
    } else {
      os.out(conversion, *conversion == '%' ? 1 : 0);  // %% prints one '%'
    }
    text = *conversion == '\0' ? conversion : conversion + 1;
  }
  va_end(args);
}

}  // namespace dat
