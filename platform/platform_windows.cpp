// Windows services over the narrow-character Win32 API. Paths and names are
// bytes in the process's ANSI code page, which the programs' manifest makes
// UTF-8 (from Windows 10 1903; before that the system's own code page
// stands), so that a name is stored as the same bytes as on POSIX. Files are
// binary by nature here and are buffered beneath the programs' 512-byte
// blocks, as on POSIX; reads name their own offset, so moving about in the
// archive costs nothing until bytes are wanted. Output to a console is
// written as UTF-16, so that names read right whatever the console's code
// page; redirected output is the bytes themselves, lines ending in CR LF.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <string>

#include "platform/file_table.h"
#include "platform/platform.h"

namespace dat {
namespace {

constexpr int kMaxLists = 2;
constexpr int kMaxMarks = 2;
// Directory records are fetched this many bytes at a time; one record of the
// longest name (255 UTF-16 units) takes about 620.
constexpr DWORD kRecordRoom = 8 * 1024;
// A name of 255 UTF-16 units in the narrow code page: at most 3 bytes each.
constexpr int kNameRoom = 3 * 255 + 1;
// The attribute bit of a volume label, as old file systems list one: it is
// neither a file nor a directory, so a listing passes it over.
constexpr DWORD kVolumeLabel = 0x8;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// A listing reads its directory through a handle of its own: no path is
// built, so any directory the run can open lists, whatever its name or the
// length of its full path, and the current directory may change meanwhile.
struct List {
  HANDLE directory = INVALID_HANDLE_VALUE;  // none: the listing is closed
  const uint8_t* next = nullptr;            // the next record in `records`, or none left
  bool failed = false;                      // a rewind failed: nothing more is listed
  alignas(LARGE_INTEGER) uint8_t records[kRecordRoom];
  char name[kNameRoom];  // the entry last handed out
};

// The current directory as the system gives it in UTF-16, exact in any code
// page and at any length the system allows.
struct Mark {
  bool used = false;
  std::wstring path;
};

List g_lists[kMaxLists];
Mark g_marks[kMaxMarks];

List* list_at(int list) {
  if (list < 0 || list >= kMaxLists || g_lists[list].directory == INVALID_HANDLE_VALUE) return nullptr;
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

bool same_file(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b) {
  return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
         a.nFileIndexLow == b.nFileIndexLow;
}

// `first` holds a reparse point opened as itself. A symbolic link or a
// junction (a tag that stands for another name) is refused. Any other kind
// is a file the system serves in its own way (one synced from the cloud, a
// deduplicated one): it is opened again by its name, as any file is, and
// kept only if that is still the file `first` holds. A handle, or none.
HANDLE open_through_reparse_point(HANDLE first, const char* path, const BY_HANDLE_FILE_INFORMATION& info) {
  FILE_ATTRIBUTE_TAG_INFO tag;
  if (!GetFileInformationByHandleEx(first, FileAttributeTagInfo, &tag, sizeof tag) ||
      IsReparseTagNameSurrogate(tag.ReparseTag)) {
    return INVALID_HANDLE_VALUE;
  }
  const HANDLE h = CreateFileA(path, GENERIC_WRITE, kShareAll, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return h;
  BY_HANDLE_FILE_INFORMATION again;
  if (!GetFileInformationByHandle(h, &again) || !same_file(info, again)) {
    (void)CloseHandle(h);
    return INVALID_HANDLE_VALUE;
  }
  return h;
}

// Clears the read-only attribute of the file `h` holds open.
bool clear_read_only(HANDLE h) {
  FILE_BASIC_INFO info;
  if (!GetFileInformationByHandleEx(h, FileBasicInfo, &info, sizeof info)) return false;
  if ((info.FileAttributes & FILE_ATTRIBUTE_READONLY) == 0) return true;
  info.FileAttributes &= ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
  if (info.FileAttributes == 0) info.FileAttributes = FILE_ATTRIBUTE_NORMAL;
  return SetFileInformationByHandle(h, FileBasicInfo, &info, sizeof info) != 0;
}

// Writes text in the narrow code page to a console as UTF-16, a piece at a
// time, each line break as CR LF. A piece ends at a line break or before a
// UTF-8 continuation byte, so that no character is cut in two.
void write_console(HANDLE console, const char* text, size_t n) {
  constexpr size_t kPiece = 512;
  wchar_t wide[kPiece + 2];  // a byte gives at most one UTF-16 unit; CR LF
  while (n > 0) {
    size_t take = n < kPiece ? n : kPiece;
    const auto* line_break = static_cast<const char*>(std::memchr(text, '\n', take));
    if (line_break != nullptr) {
      take = static_cast<size_t>(line_break - text);
    } else {
      for (int back = 0; back < 3 && take < n && take > 1 && (static_cast<uint8_t>(text[take]) & 0xC0) == 0x80;
           ++back) {
        --take;
      }
    }
    int count = take == 0 ? 0 : MultiByteToWideChar(CP_ACP, 0, text, static_cast<int>(take), wide, kPiece);
    if (line_break != nullptr) {
      wide[count++] = L'\r';
      wide[count++] = L'\n';
      ++take;
    }
    DWORD written = 0;
    (void)WriteConsoleW(console, wide, static_cast<DWORD>(count), &written, nullptr);
    text += take;
    n -= take;
  }
}

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
    // be looked at: a reparse point is opened as itself, a directory can't
    // be opened at all. A hidden file is truncated like any other; a
    // read-only one can't be opened for writing.
    HANDLE h = CreateFileA(path, GENERIC_WRITE, kShareAll, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) return -1;
    BY_HANDLE_FILE_INFORMATION info;
    bool plain = is_disk_file(h) && GetFileInformationByHandle(h, &info) != 0 &&
                 (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
    if (plain && (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
      const HANDLE file = open_through_reparse_point(h, path, info);
      (void)CloseHandle(h);
      h = file;
      plain = h != INVALID_HANDLE_VALUE;
    }
    if (!plain || !SetEndOfFile(h)) {
      if (h != INVALID_HANDLE_VALUE) (void)CloseHandle(h);
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
      const DWORD room = GetCurrentDirectoryW(0, nullptr);
      if (room == 0) return -1;
      m.path.resize(room);
      const DWORD length = GetCurrentDirectoryW(room, m.path.data());
      if (length == 0 || length >= room) return -1;
      m.path.resize(length);
      m.used = true;
      return i;
    }
    return -1;
  }

  bool return_to_dir(int mark) override {
    if (mark < 0 || mark >= kMaxMarks || !g_marks[mark].used) return false;
    g_marks[mark].used = false;
    return SetCurrentDirectoryW(g_marks[mark].path.c_str()) != 0;
  }

  // The file is opened as itself, never what a link or junction names, and
  // changed through that handle: a directory can't be opened this way, and a
  // reparse point that stands for another name is refused; any other (a file
  // synced from the cloud, a deduplicated one) is the plain file it is.
  bool set_owner_rw(const char* path) override {
    const HANDLE h = CreateFileA(path, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    FILE_ATTRIBUTE_TAG_INFO tag;
    const bool plain =
        is_disk_file(h) && GetFileInformationByHandleEx(h, FileAttributeTagInfo, &tag, sizeof tag) &&
        (tag.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
        ((tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 || !IsReparseTagNameSurrogate(tag.ReparseTag));
    const bool done = plain && clear_read_only(h);
    (void)CloseHandle(h);
    return done;
  }

  bool set_file_owner_rw(int file) override {
    const RawHandle raw = files_.raw(file);
    return raw != -1 && clear_read_only(handle_of(raw));
  }

  int open_list(const char* path) override {
    for (int i = 0; i < kMaxLists; ++i) {
      List& l = g_lists[i];
      if (l.directory != INVALID_HANDLE_VALUE) continue;
      const HANDLE h = CreateFileA(path, FILE_LIST_DIRECTORY, kShareAll, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_BACKUP_SEMANTICS, nullptr);
      if (h == INVALID_HANDLE_VALUE) return -1;
      BY_HANDLE_FILE_INFORMATION info;
      if (!GetFileInformationByHandle(h, &info) || (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        (void)CloseHandle(h);
        return -1;
      }
      l.directory = h;
      l.next = nullptr;
      l.failed = false;
      return i;
    }
    return -1;
  }

  bool next_entry(int list, ListEntry& entry) override {
    List* l = list_at(list);
    if (l == nullptr) return false;
    if (l->failed) return false;
    for (;;) {
      if (l->next == nullptr) {  // the records fetched are used up: fetch more
        if (!GetFileInformationByHandleEx(l->directory, FileIdBothDirectoryInfo, l->records, kRecordRoom)) {
          return false;  // the end, or a failure
        }
        l->next = l->records;
      }
      const auto* record = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(l->next);
      l->next = record->NextEntryOffset == 0 ? nullptr : l->next + record->NextEntryOffset;
      if ((record->FileAttributes & kVolumeLabel) != 0) continue;
      // Characters the narrow code page lacks become '?', which no file
      // name holds: such a member can't be opened, and no look-alike name
      // stands in for it (nor does a name that doesn't convert at all).
      const int length = WideCharToMultiByte(CP_ACP, name_flags_, record->FileName,
                                             static_cast<int>(record->FileNameLength / sizeof(WCHAR)), l->name,
                                             kNameRoom - 1, nullptr, nullptr);
      if (length == 0) l->name[0] = '?';
      l->name[length == 0 ? 1 : length] = '\0';
      entry.name = l->name;
      // A link or junction to a directory carries the directory bit too.
      entry.is_directory = (record->FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
      // A plain disk file: no directory, device or reparse point of any kind.
      entry.is_regular = (record->FileAttributes &
                          (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
      return true;
    }
  }

  // The directory is opened again through the listing's handle: the same
  // directory, read from its start as it now stands (a handle listed to its
  // end may keep what it read).
  void rewind_list(int list) override {
    List* l = list_at(list);
    if (l == nullptr) return;
    const HANDLE again = ReOpenFile(l->directory, FILE_LIST_DIRECTORY, kShareAll, FILE_FLAG_BACKUP_SEMANTICS);
    l->failed = again == INVALID_HANDLE_VALUE;
    if (l->failed) return;
    (void)CloseHandle(l->directory);
    l->directory = again;
    l->next = nullptr;
  }

  void close_list(int list) override {
    List* l = list_at(list);
    if (l == nullptr) return;
    (void)CloseHandle(l->directory);
    l->directory = INVALID_HANDLE_VALUE;
  }

  // Path separators, the drive and stream mark, the wildcard and
  // redirection characters, and the control bytes: the system creates no
  // file whose name holds one.
  const char* name_separators() override {
    return "/\\:<>\"|?*\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0A\x0B\x0C\x0D\x0E\x0F\x10\x11\x12\x13\x14\x15\x16"
           "\x17\x18\x19\x1A\x1B\x1C\x1D\x1E\x1F";
  }

  // The reserved names open a device in every directory, also with an
  // extension ("NUL.TXT") or with dots and blanks behind them ("CON. "). A
  // name of dots and blanks only ("...") loses them all when the system
  // creates it: no file of its own.
  bool is_reserved_name(const char* name) override {
    if (name[0] != '\0' && name[std::strspn(name, ". ")] == '\0') return true;
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

  void out(const char* text, size_t n) override {
    if (console_ != nullptr) {
      write_console(console_, text, n);
    } else {
      (void)std::fwrite(text, 1, n, stdout);
    }
  }

 private:
  FileTable files_{kRawCalls};
  // Standard output when it is a console, else none. The console's own
  // settings are left as they are.
  HANDLE console_ = [] {
    const HANDLE h = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    return h != nullptr && h != INVALID_HANDLE_VALUE && GetConsoleMode(h, &mode) != 0 ? h : nullptr;
  }();
  // Conversions into a code page other than UTF-8 take no best-fit look-alikes.
  DWORD name_flags_ = GetACP() == CP_UTF8 ? 0 : WC_NO_BEST_FIT_CHARS;
};

}  // namespace

Platform& native_platform() {
  static WindowsPlatform platform;
  return platform;
}

}  // namespace dat
