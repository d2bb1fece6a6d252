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
      const char* s = va_arg(args, const char*);
      os.out(s, std::strlen(s));
    } else if (*conversion == 'i') {
      const int v = va_arg(args, int);
      if (v < 0) os.out("-", 1);
      print_number(os, v < 0 ? 0ULL - static_cast<unsigned long long>(v) : static_cast<unsigned long long>(v), 10);
    } else if (*conversion == 'u') {
      print_number(os, va_arg(args, unsigned), 10);
    } else if (std::strncmp(conversion, "lX", 2) == 0) {
      print_number(os, va_arg(args, unsigned long), 16);
      ++conversion;
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
