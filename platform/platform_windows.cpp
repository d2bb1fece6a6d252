// Windows services over the narrow-character Win32 API: paths and names are
// bytes in the ANSI code page and pass through unconverted. Files are binary
// by nature here and are buffered beneath the programs' 512-byte blocks, as
// on POSIX; reads name their own offset, so moving about in the archive costs
// nothing until bytes are wanted. Standard output stays in the C runtime's
// text mode, so that console lines end in CR LF.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "platform/file_table.h"
#include "platform/platform.h"

namespace dat {
namespace {

constexpr int kMaxLists = 2;
constexpr int kMaxMarks = 2;
constexpr DWORD kPathRoom = 32768;  // the longest path the system handles
// The attribute bit of a volume label, as old file systems list one: it is
// neither a file nor a directory, so a listing passes it over.
constexpr DWORD kVolumeLabel = 0x8;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

struct List {
  bool open = false;
  HANDLE find = INVALID_HANDLE_VALUE;
  bool pending = false;  // `data` holds an entry not handed out yet
  WIN32_FIND_DATAA data;
  char pattern[kPathRoom];  // absolute, so a rewind lists the same directory
};

struct Mark {
  bool used = false;
  char path[kPathRoom];
};

List g_lists[kMaxLists];
Mark g_marks[kMaxMarks];

List* list_at(int list) {
  if (list < 0 || list >= kMaxLists || !g_lists[list].open) return nullptr;
  return &g_lists[list];
}

// Only files on disk are read or written: a console, a printer port or a
// pipe could wait for a person or another program.
bool is_disk_file(HANDLE handle) { return GetFileType(handle) == FILE_TYPE_DISK; }

HANDLE handle_of(RawHandle raw) { return reinterpret_cast<HANDLE>(raw); }
RawHandle raw_of(HANDLE handle) { return reinterpret_cast<RawHandle>(handle); }

int64_t read_at(RawHandle raw, uint8_t* into, size_t n, uint64_t pos) {
  OVERLAPPED at = {};
  at.Offset = static_cast<DWORD>(pos);
  at.OffsetHigh = static_cast<DWORD>(pos >> 32);
  DWORD got = 0;
  if (ReadFile(handle_of(raw), into, static_cast<DWORD>(n), &got, &at)) return got;
  return GetLastError() == ERROR_HANDLE_EOF ? 0 : -1;
}

bool write_all(RawHandle raw, const uint8_t* from, size_t n) {
  while (n > 0) {
    DWORD put = 0;
    if (!WriteFile(handle_of(raw), from, static_cast<DWORD>(n), &put, nullptr) || put == 0) return false;
    from += put;
    n -= put;
  }
  return true;
}

bool seek_to(RawHandle raw, uint64_t offset) {
  LARGE_INTEGER to;
  to.QuadPart = static_cast<LONGLONG>(offset);
  return SetFilePointerEx(handle_of(raw), to, nullptr, FILE_BEGIN) != 0;
}

bool close_handle(RawHandle raw) { return CloseHandle(handle_of(raw)) != 0; }

constexpr RawCalls kRawCalls = {read_at, write_all, seek_to, close_handle};

bool ascii_equal_ignoring_case(const char* a, const char* b, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    const char x = a[i] >= 'a' && a[i] <= 'z' ? static_cast<char>(a[i] - 32) : a[i];
    if (x != b[i]) return false;
  }
  return true;
}

class WindowsPlatform final : public Platform {
 public:
  int open_read(const char* path) override {
    const HANDLE h = CreateFileA(path, GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return -1;
    if (!is_disk_file(h)) {
      (void)CloseHandle(h);
      return -1;
    }
    return files_.adopt(raw_of(h), false);
  }

  int create_write(const char* path) override {
    // Opened without truncating first, so that what stands at the name can
    // be looked at: a link or junction is opened as itself and refused, a
    // directory can't be opened at all. A hidden file is truncated like any
    // other; a read-only one can't be opened for writing.
    const HANDLE h = CreateFileA(path, GENERIC_WRITE, kShareAll, nullptr, OPEN_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) return -1;
    BY_HANDLE_FILE_INFORMATION info;
    const bool plain = is_disk_file(h) && GetFileInformationByHandle(h, &info) != 0 &&
                       (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) == 0;
    if (!plain || !SetEndOfFile(h)) {
      (void)CloseHandle(h);
      return -1;
    }
    return files_.adopt(raw_of(h), true);
  }

  int64_t read(int file, uint8_t* buffer, uint32_t n) override { return files_.read(file, buffer, n); }
  uint32_t write(int file, const uint8_t* buffer, uint32_t n) override { return files_.write(file, buffer, n); }
  bool seek(int file, uint64_t offset) override { return files_.seek(file, offset); }
  uint64_t tell(int file) override { return files_.tell(file); }
  bool close(int file) override { return files_.close(file); }
  bool read_came_short(int file) override { return files_.read_came_short(file); }

  bool make_dir(const char* path) override { return CreateDirectoryA(path, nullptr) != 0; }
  bool change_dir(const char* path) override { return SetCurrentDirectoryA(path) != 0; }

  int mark_dir() override {
    for (int i = 0; i < kMaxMarks; ++i) {
      Mark& m = g_marks[i];
      if (m.used) continue;
      const DWORD length = GetCurrentDirectoryA(kPathRoom, m.path);
      if (length == 0 || length >= kPathRoom) return -1;
      m.used = true;
      return i;
    }
    return -1;
  }

  bool return_to_dir(int mark) override {
    if (mark < 0 || mark >= kMaxMarks || !g_marks[mark].used) return false;
    g_marks[mark].used = false;
    return SetCurrentDirectoryA(g_marks[mark].path) != 0;
  }

  bool set_owner_rw(const char* path) override {
    const DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) return false;
    if ((attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) return false;  // files only
    if ((attributes & FILE_ATTRIBUTE_READONLY) == 0) return true;
    const DWORD writable = attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
    return SetFileAttributesA(path, writable == 0 ? FILE_ATTRIBUTE_NORMAL : writable) != 0;
  }

  bool set_file_owner_rw(int file) override {
    const RawHandle raw = files_.raw(file);
    if (raw == -1) return false;
    FILE_BASIC_INFO info;
    if (!GetFileInformationByHandleEx(handle_of(raw), FileBasicInfo, &info, sizeof info)) return false;
    if ((info.FileAttributes & FILE_ATTRIBUTE_READONLY) == 0) return true;
    info.FileAttributes &= ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
    if (info.FileAttributes == 0) info.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    return SetFileInformationByHandle(handle_of(raw), FileBasicInfo, &info, sizeof info) != 0;
  }

  int open_list(const char* path) override {
    for (int i = 0; i < kMaxLists; ++i) {
      List& l = g_lists[i];
      if (l.open) continue;
      const DWORD length = GetFullPathNameA(path, kPathRoom - 2, l.pattern, nullptr);
      if (length == 0 || length >= kPathRoom - 2) return -1;
      const DWORD attributes = GetFileAttributesA(l.pattern);
      if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return -1;
      const char last = l.pattern[length - 1];
      std::strcpy(l.pattern + length, last == '\\' || last == '/' ? "*" : "\\*");
      l.open = true;
      l.find = INVALID_HANDLE_VALUE;
      rewind_list(i);
      return i;
    }
    return -1;
  }

  bool next_entry(int list, ListEntry& entry) override {
    List* l = list_at(list);
    if (l == nullptr) return false;
    for (;;) {
      if (!l->pending && (l->find == INVALID_HANDLE_VALUE || !FindNextFileA(l->find, &l->data))) return false;
      l->pending = false;
      if ((l->data.dwFileAttributes & kVolumeLabel) != 0) continue;
      entry.name = l->data.cFileName;
      // A link or junction to a directory carries the directory bit too.
      entry.is_directory = (l->data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
      return true;
    }
  }

  void rewind_list(int list) override {
    List* l = list_at(list);
    if (l == nullptr) return;
    if (l->find != INVALID_HANDLE_VALUE) (void)FindClose(l->find);
    // An empty directory, or one that is gone, lists nothing.
    l->find = FindFirstFileA(l->pattern, &l->data);
    l->pending = l->find != INVALID_HANDLE_VALUE;
  }

  void close_list(int list) override {
    List* l = list_at(list);
    if (l == nullptr) return;
    if (l->find != INVALID_HANDLE_VALUE) (void)FindClose(l->find);
    l->find = INVALID_HANDLE_VALUE;
    l->open = false;
  }

  const char* name_separators() override { return "/\\:"; }

  // The reserved names open a device in every directory, also with an
  // extension ("NUL.TXT") or with dots and blanks behind them ("CON. ").
  bool is_reserved_name(const char* name) override {
    size_t n = std::strcspn(name, ".");
    while (n > 0 && name[n - 1] == ' ') --n;
    if (n == 3) {
      for (const char* device : {"CON", "PRN", "AUX", "NUL"}) {
        if (ascii_equal_ignoring_case(name, device, 3)) return true;
      }
    }
    if (n == 4 && name[3] >= '0' && name[3] <= '9') {
      return ascii_equal_ignoring_case(name, "COM", 3) || ascii_equal_ignoring_case(name, "LPT", 3);
    }
    return (n == 6 && ascii_equal_ignoring_case(name, "CONIN$", 6)) ||
           (n == 7 && ascii_equal_ignoring_case(name, "CONOUT$", 7));
  }

  void out(const char* text, size_t n) override { (void)std::fwrite(text, 1, n, stdout); }

 private:
  FileTable files_{kRawCalls};
};

}  // namespace

Platform& native_platform() {
  static WindowsPlatform platform;
  return platform;
}

}  // namespace dat
