#include "platform/file_table.h"

#include <cstring>

namespace dat {

BufferedFile* FileTable::at(int file) {
  if (file < 0 || file >= kMaxFiles || files_[file].handle == -1) return nullptr;
  return &files_[file];
}

int FileTable::adopt(RawHandle handle, bool writing) {
  if (handle == -1) return -1;
  for (int i = 0; i < kMaxFiles; ++i) {
    BufferedFile& f = files_[i];
    if (f.handle != -1) continue;
    f.handle = handle;
    f.writing = writing;
    f.failed = false;
    f.pos = 0;
    f.short_at = UINT64_MAX;
    f.held = 0;
    f.recent = 0;
    for (Window& w : f.windows) {
      w.start = 0;
      w.length = 0;
      w.fill = kBufferSize;  // a file read from its start is usually read through
    }
    return i;
  }
  (void)raw_.close(handle);
  return -1;
}

bool FileTable::flush(BufferedFile& f) const {
  if (f.held > 0 && !f.failed && !raw_.write_all(f.handle, f.windows[0].buf, f.held)) f.failed = true;
  f.held = 0;
  return !f.failed;
}

// The window to fill for a read at `pos` that neither window holds: the one
// whose bytes end at `pos`, reading on with a doubled fill, or else the one
// not read from last, starting again with a small fill.
Window& FileTable::window_for(BufferedFile& f, uint64_t pos) {
  for (int i = 0; i < 2; ++i) {
    Window& w = f.windows[i];
    if (w.length > 0 && w.start + w.length == pos) {
      if (w.fill < kBufferSize) w.fill *= 2;
      f.recent = i;
      return w;
    }
  }
  const int other = f.windows[f.recent].length == 0 ? f.recent : 1 - f.recent;
  Window& w = f.windows[other];
  if (f.windows[0].length > 0 || f.windows[1].length > 0) w.fill = kFirstFill;
  f.recent = other;
  return w;
}

int64_t FileTable::read(int file, uint8_t* buffer, uint32_t n) {
  BufferedFile* f = at(file);
  if (f == nullptr || f->writing) return -1;
  uint32_t done = 0;
  while (done < n) {
    Window* w = &f->windows[f->recent];
    if (!w->holds(f->pos)) w = &f->windows[1 - f->recent];
    if (w->holds(f->pos)) {
      f->recent = static_cast<int>(w - f->windows);
      const size_t from = static_cast<size_t>(f->pos - w->start);
      const size_t take = w->length - from < n - done ? w->length - from : n - done;
      std::memcpy(buffer + done, w->buf + from, take);
      done += static_cast<uint32_t>(take);
      f->pos += take;
      continue;
    }
    w = &window_for(*f, f->pos);
    if (n - done >= w->fill) {  // a large request skips the buffer
      const int64_t got = raw_.read_at(f->handle, buffer + done, n - done, f->pos);
      if (got < 0) return -1;
      f->short_at = got < static_cast<int64_t>(n - done) ? f->pos + static_cast<uint64_t>(got) : UINT64_MAX;
      if (got == 0) break;
      done += static_cast<uint32_t>(got);
      f->pos += static_cast<uint64_t>(got);
      continue;
    }
    const int64_t got = raw_.read_at(f->handle, w->buf, w->fill, f->pos);
    if (got < 0) return -1;
    f->short_at = static_cast<size_t>(got) < w->fill ? f->pos + static_cast<uint64_t>(got) : UINT64_MAX;
    w->start = f->pos;
    w->length = static_cast<size_t>(got);
    if (got == 0) break;
  }
  return done;
}

uint32_t FileTable::write(int file, const uint8_t* buffer, uint32_t n) {
  BufferedFile* f = at(file);
  if (f == nullptr || !f->writing || f->failed) return 0;
  if (f->held + n > kBufferSize && !flush(*f)) return 0;
  if (n >= kBufferSize) {
    if (!raw_.write_all(f->handle, buffer, n)) {
      f->failed = true;
      return 0;
    }
  } else {
    std::memcpy(f->windows[0].buf + f->held, buffer, n);
    f->held += n;
  }
  f->pos += n;
  return n;
}

// Reading files only move: the windows decide at the next read whether a
// fill is needed.
bool FileTable::seek(int file, uint64_t offset) {
  BufferedFile* f = at(file);
  if (f == nullptr || offset > static_cast<uint64_t>(INT64_MAX)) return false;
  if (f->writing && (!flush(*f) || !raw_.seek(f->handle, offset))) return false;
  f->pos = offset;
  return true;
}

RawHandle FileTable::raw(int file) const { return file < 0 || file >= kMaxFiles ? -1 : files_[file].handle; }

bool FileTable::read_came_short(int file) const {
  if (file < 0 || file >= kMaxFiles || files_[file].handle == -1) return false;
  return files_[file].pos >= files_[file].short_at;
}

uint64_t FileTable::tell(int file) const {
  if (file < 0 || file >= kMaxFiles || files_[file].handle == -1) return 0;
  return files_[file].pos;
}

bool FileTable::close(int file) {
  BufferedFile* f = at(file);
  if (f == nullptr) return false;
  const bool flushed = !f->writing || flush(*f);
  const bool closed = raw_.close(f->handle) || !f->writing;
  f->handle = -1;
  return flushed && closed;
}

}  // namespace dat
