#include "tests/memory_platform.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace dat {
namespace {

constexpr int kRoot = 0;
constexpr int kMaxLinkDepth = 8;           // deeper counts as a loop, as ELOOP does
constexpr uint64_t kFlushBoundary = 4096;  // where a failed close cuts a written file
constexpr size_t kMaxName = 255;
constexpr uint64_t kMaxOffset = static_cast<uint64_t>(INT64_MAX);

// The components of a path, empty ones and "." left out.
std::vector<std::string_view> components(std::string_view path) {
  std::vector<std::string_view> parts;
  size_t at = 0;
  while (at <= path.size()) {
    size_t end = path.find('/', at);
    if (end == std::string_view::npos) end = path.size();
    const std::string_view part = path.substr(at, end - at);
    if (!part.empty() && part != ".") parts.push_back(part);
    at = end + 1;
  }
  return parts;
}

}  // namespace

MemoryPlatform::MemoryPlatform() { nodes_.push_back({Kind::directory, "", kRoot, {}, {}}); }

bool MemoryPlatform::failing(Op op) {
  const int n = ++count_[static_cast<int>(op)];
  if (before_call) before_call(op, n);
  for (const Failure& f : failures_) {
    if (f.op == op && f.nth == n) {
      ++fired_[static_cast<int>(op)];
      return true;
    }
  }
  return false;
}

int MemoryPlatform::lookup(int dir, std::string_view name) const {
  for (const int child : nodes_[static_cast<size_t>(dir)].children) {
    if (nodes_[static_cast<size_t>(child)].name == name) return child;
  }
  return -1;
}

int MemoryPlatform::walk(int from, std::string_view path, bool follow_last, int depth) const {
  if (depth > kMaxLinkDepth) return -1;
  int at = !path.empty() && path[0] == '/' ? kRoot : from;
  const std::vector<std::string_view> parts = components(path);
  for (size_t i = 0; i < parts.size(); ++i) {
    const bool last = i + 1 == parts.size();
    if (parts[i] == "..") {
      at = nodes_[static_cast<size_t>(at)].parent;
      continue;
    }
    int next = lookup(at, parts[i]);
    if (next < 0) return -1;
    if (nodes_[static_cast<size_t>(next)].kind == Kind::link && (!last || follow_last)) {
      next = walk(at, nodes_[static_cast<size_t>(next)].bytes, true, depth + 1);
      if (next < 0) return -1;
    }
    if (!last && nodes_[static_cast<size_t>(next)].kind != Kind::directory) return -1;
    at = next;
  }
  // A trailing '/' asks for a directory.
  if (!path.empty() && path.back() == '/' && nodes_[static_cast<size_t>(at)].kind != Kind::directory) return -1;
  return at;
}

int MemoryPlatform::resolve(std::string_view path, bool follow_last) const {
  if (path.empty()) return -1;  // ENOENT, as for the real call
  return walk(cwd_, path, follow_last, 0);
}

int MemoryPlatform::parent_of(std::string_view path, std::string& name) const {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  if (path.empty()) return -1;
  const size_t slash = path.rfind('/');
  name = std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
  if (name.empty() || name == "." || name == "..") return -1;  // names nothing that can be made
  if (name.size() > kMaxName) return -1;                       // ENAMETOOLONG
  const std::string_view dir = slash == std::string_view::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  const int parent = resolve(dir, true);
  return parent >= 0 && nodes_[static_cast<size_t>(parent)].kind == Kind::directory ? parent : -1;
}

int MemoryPlatform::add(std::string_view path, Kind kind, std::string_view bytes) {
  std::string name;
  const int parent = parent_of(path, name);
  if (parent < 0 || lookup(parent, name) >= 0) return -1;
  const int node = static_cast<int>(nodes_.size());
  nodes_.push_back({kind, name, parent, {}, std::string(bytes)});
  nodes_[static_cast<size_t>(parent)].children.push_back(node);
  return node;
}

std::string MemoryPlatform::canonical(int node) const {
  if (node == kRoot) return "/";
  std::string path;
  for (int at = node; at != kRoot; at = nodes_[static_cast<size_t>(at)].parent) {
    path.insert(0, "/" + nodes_[static_cast<size_t>(at)].name);
  }
  return path;
}

bool MemoryPlatform::add_file(std::string_view path, std::string_view bytes, bool read_only) {
  const int node = add(path, Kind::file, bytes);
  if (node >= 0) nodes_[static_cast<size_t>(node)].read_only = read_only;
  return node >= 0;
}
bool MemoryPlatform::add_dir(std::string_view path) { return add(path, Kind::directory, {}) >= 0; }
bool MemoryPlatform::add_link(std::string_view path, std::string_view target) {
  return add(path, Kind::link, target) >= 0;
}
bool MemoryPlatform::add_fifo(std::string_view path) { return add(path, Kind::fifo, {}) >= 0; }

bool MemoryPlatform::set_bytes(std::string_view path, std::string_view bytes) {
  const int node = resolve(path, true);
  if (node < 0 || nodes_[static_cast<size_t>(node)].kind != Kind::file) return false;
  nodes_[static_cast<size_t>(node)].bytes = std::string(bytes);
  return true;
}

bool MemoryPlatform::remove(std::string_view path) {
  const int node = resolve(path, false);
  if (node <= kRoot) return false;
  std::vector<int>& siblings = nodes_[static_cast<size_t>(nodes_[static_cast<size_t>(node)].parent)].children;
  siblings.erase(std::find(siblings.begin(), siblings.end(), node));
  // Emptied first, as a recursive removal does; an open handle keeps its file
  // and a directory that was current stays current, empty.
  std::vector<int> below{node};
  while (!below.empty()) {
    const int dir = below.back();
    below.pop_back();
    for (const int child : nodes_[static_cast<size_t>(dir)].children) below.push_back(child);
    nodes_[static_cast<size_t>(dir)].children.clear();
  }
  return true;
}

bool MemoryPlatform::set_current(std::string_view path) {
  const int node = resolve(path, true);
  if (node < 0 || nodes_[static_cast<size_t>(node)].kind != Kind::directory) return false;
  cwd_ = node;
  return true;
}

const std::string* MemoryPlatform::bytes_of(std::string_view path) const {
  const int node = resolve(path, true);
  return node >= 0 && nodes_[static_cast<size_t>(node)].kind == Kind::file ? &nodes_[static_cast<size_t>(node)].bytes
                                                                           : nullptr;
}

bool MemoryPlatform::kind_of(std::string_view path, Kind& kind) const {
  const int node = resolve(path, false);
  if (node < 0) return false;
  kind = nodes_[static_cast<size_t>(node)].kind;
  return true;
}

bool MemoryPlatform::read_only(std::string_view path) const {
  const int node = resolve(path, true);
  return node >= 0 && nodes_[static_cast<size_t>(node)].read_only;
}

void MemoryPlatform::tree_below(int dir, const std::string& prefix, std::vector<std::string>& into) const {
  for (const int child : nodes_[static_cast<size_t>(dir)].children) {
    const Node& n = nodes_[static_cast<size_t>(child)];
    const std::string path = prefix + n.name;
    switch (n.kind) {
      case Kind::file:
        into.push_back(path);
        break;
      case Kind::fifo:
        into.push_back(path + "|");
        break;
      case Kind::link:
        into.push_back(path + " -> " + n.bytes);
        break;
      case Kind::directory:
        into.push_back(path + "/");
        tree_below(child, path + "/", into);
        break;
    }
  }
}

std::vector<std::string> MemoryPlatform::tree(std::string_view path) const {
  std::vector<std::string> all;
  const int dir = resolve(path, true);
  if (dir >= 0 && nodes_[static_cast<size_t>(dir)].kind == Kind::directory) tree_below(dir, "", all);
  std::sort(all.begin(), all.end());
  return all;
}

int MemoryPlatform::open_files() const {
  return static_cast<int>(std::count_if(handles_.begin(), handles_.end(), [](const Handle& h) { return h.node >= 0; }));
}
int MemoryPlatform::open_listings() const {
  return static_cast<int>(
      std::count_if(listings_.begin(), listings_.end(), [](const Listing& l) { return l.node >= 0; }));
}
int MemoryPlatform::open_marks() const {
  return static_cast<int>(std::count_if(marks_.begin(), marks_.end(), [](int m) { return m >= 0; }));
}

MemoryPlatform::Handle* MemoryPlatform::handle(int file) {
  if (file < 0 || static_cast<size_t>(file) >= handles_.size() || handles_[static_cast<size_t>(file)].node < 0) {
    return nullptr;
  }
  return &handles_[static_cast<size_t>(file)];
}

// The first free slot of `slots`, or a new one at the end.
template <typename T, typename IsFree>
static int take_slot(std::vector<T>& slots, IsFree is_free) {
  for (size_t i = 0; i < slots.size(); ++i) {
    if (is_free(slots[i])) return static_cast<int>(i);
  }
  slots.emplace_back();
  return static_cast<int>(slots.size() - 1);
}

int MemoryPlatform::open_read(const char* path) {
  if (failing(Op::open_read)) return -1;
  const int node = resolve(path, true);
  if (node < 0) return -1;  // missing, dangling or a loop
  const int file = take_slot(handles_, [](const Handle& h) { return h.node < 0; });
  handles_[static_cast<size_t>(file)] = Handle{node, false, false, 0, path, canonical(node), {}};
  int reading = 0;
  for (const Handle& h : handles_) reading += h.node >= 0 && !h.writing ? 1 : 0;
  peak_reading = std::max(peak_reading, reading);
  return file;
}

int MemoryPlatform::create_write(const char* path) {
  if (failing(Op::create_write)) return -1;
  std::string name;
  const int parent = parent_of(path, name);
  if (parent < 0) return -1;
  int node = lookup(parent, name);
  if (node >= 0) {
    Node& n = nodes_[static_cast<size_t>(node)];
    // Never through a link; a directory can't be written; a FIFO without a
    // reader refuses at once; a read-only file refuses its owner.
    if (n.kind != Kind::file || n.read_only) return -1;
    space += n.bytes.size();
    n.bytes.clear();
  } else {
    node = add(path, Kind::file, {});
    if (node < 0) return -1;
  }
  changes.push_back({Op::create_write, canonical(node)});
  const int file = take_slot(handles_, [](const Handle& h) { return h.node < 0; });
  handles_[static_cast<size_t>(file)] = Handle{node, true, false, 0, path, canonical(node), {}};
  int writing = 0;
  for (const Handle& h : handles_) writing += h.node >= 0 && h.writing ? 1 : 0;
  peak_writing = std::max(peak_writing, writing);
  return file;
}

int64_t MemoryPlatform::read(int file, uint8_t* buffer, uint32_t n) {
  const bool fails = failing(Op::read);
  Handle* h = handle(file);
  if (fails || h == nullptr || h->writing) return -1;
  const Node& node = nodes_[static_cast<size_t>(h->node)];
  if (node.kind == Kind::directory) return -1;                           // EISDIR
  if (node.kind != Kind::file || h->pos >= node.bytes.size()) return 0;  // a FIFO without a writer is at its end
  const uint64_t left = node.bytes.size() - h->pos;
  const uint32_t take = left < n ? static_cast<uint32_t>(left) : n;
  std::memcpy(buffer, node.bytes.data() + h->pos, take);
  h->pos += take;
  h->short_at = h->pos < node.bytes.size() ? UINT64_MAX : h->pos;  // as if the system had been asked for more
  h->data.append(reinterpret_cast<const char*>(buffer), take);
  return take;
}

uint32_t MemoryPlatform::write(int file, const uint8_t* buffer, uint32_t n) {
  const bool fails = failing(Op::write);
  Handle* h = handle(file);
  if (h == nullptr || !h->writing || h->failed) {
    if (n > 0) ++lost_writes;
    return 0;
  }
  uint64_t take = fails && n > 0 ? n - 1 : n;
  std::string& bytes = nodes_[static_cast<size_t>(h->node)].bytes;
  // The file may grow only by the space left.
  const uint64_t room = bytes.size() + space > h->pos ? bytes.size() + space - h->pos : 0;
  if (take > room) take = room;
  if (take < n) {
    h->failed = true;
    ++lost_writes;
  }
  if (h->pos + take > bytes.size()) {
    space -= h->pos + take - bytes.size();
    bytes.resize(static_cast<size_t>(h->pos + take), '\0');  // a gap left by a seek reads as zeros
  }
  std::memcpy(bytes.data() + h->pos, buffer, static_cast<size_t>(take));
  h->pos += take;
  return static_cast<uint32_t>(take);
}

bool MemoryPlatform::seek(int file, uint64_t offset) {
  const bool fails = failing(Op::seek);
  Handle* h = handle(file);
  if (fails || h == nullptr || offset > kMaxOffset) return false;
  h->pos = offset;
  return true;
}

bool MemoryPlatform::read_came_short(int file) {
  const Handle* h = handle(file);
  return h != nullptr && h->pos >= h->short_at;
}

uint64_t MemoryPlatform::tell(int file) {
  (void)failing(Op::tell);  // counted, never failed: the real call can't fail on an open file
  const Handle* h = handle(file);
  return h == nullptr ? 0 : h->pos;
}

bool MemoryPlatform::close(int file) {
  const bool fails = failing(Op::close);
  Handle* h = handle(file);
  if (h == nullptr) return false;
  bool kept = !h->failed;
  if (h->writing && fails) {
    std::string& bytes = nodes_[static_cast<size_t>(h->node)].bytes;
    const uint64_t cut = bytes.size() / kFlushBoundary * kFlushBoundary;
    if (cut < bytes.size()) {
      space += bytes.size() - cut;
      bytes.resize(static_cast<size_t>(cut));
    }
    kept = false;
  }
  if (h->writing && !kept) ++lost_writes;
  if (!h->writing) reads.push_back({std::move(h->asked), std::move(h->path), std::move(h->data)});
  const bool writing = h->writing;
  h->node = -1;
  return writing ? kept : !fails;
}

bool MemoryPlatform::make_dir(const char* path) {
  if (failing(Op::make_dir)) return false;
  std::string name;
  const int parent = parent_of(path, name);
  if (parent < 0 || lookup(parent, name) >= 0) return false;
  const int node = add(path, Kind::directory, {});
  changes.push_back({Op::make_dir, canonical(node)});
  return true;
}

bool MemoryPlatform::change_dir(const char* path) {
  if (failing(Op::change_dir)) return false;
  const int node = resolve(path, true);
  if (node < 0 || nodes_[static_cast<size_t>(node)].kind != Kind::directory) return false;
  cwd_ = node;
  return true;
}

int MemoryPlatform::mark_dir() {
  if (failing(Op::mark_dir)) return -1;
  const int mark = take_slot(marks_, [](int m) { return m < 0; });
  marks_[static_cast<size_t>(mark)] = cwd_;
  return mark;
}

bool MemoryPlatform::return_to_dir(int mark) {
  const bool fails = failing(Op::return_to_dir);
  if (mark < 0 || static_cast<size_t>(mark) >= marks_.size() || marks_[static_cast<size_t>(mark)] < 0) return false;
  if (!fails) cwd_ = marks_[static_cast<size_t>(mark)];  // even a removed directory can be returned to
  marks_[static_cast<size_t>(mark)] = -1;                // forgotten either way
  return !fails;
}

bool MemoryPlatform::set_owner_rw(const char* path) {
  if (failing(Op::set_owner_rw)) return false;
  const int node = resolve(path, false);
  if (node < 0 || nodes_[static_cast<size_t>(node)].kind != Kind::file) return false;  // never through a link
  nodes_[static_cast<size_t>(node)].read_only = false;
  changes.push_back({Op::set_owner_rw, canonical(node)});
  return true;
}

bool MemoryPlatform::set_file_owner_rw(int file) {
  if (failing(Op::set_owner_rw)) return false;
  Handle* h = handle(file);
  if (h == nullptr || !h->writing) return false;
  nodes_[static_cast<size_t>(h->node)].read_only = false;
  changes.push_back({Op::set_owner_rw, h->path});
  return true;
}

void MemoryPlatform::snapshot(Listing& listing) {
  listing.names.clear();
  listing.next = 0;
  if (dots == Dots::first) {
    listing.names.push_back({".", true});
    listing.names.push_back({"..", true});
  }
  for (const int child : nodes_[static_cast<size_t>(listing.node)].children) {
    const Node& n = nodes_[static_cast<size_t>(child)];
    listing.names.push_back({n.name, n.kind == Kind::directory});
  }
  if (dots == Dots::last) {
    listing.names.push_back({".", true});
    listing.names.push_back({"..", true});
  }
}

int MemoryPlatform::open_list(const char* path) {
  if (failing(Op::open_list)) return -1;
  const int node = resolve(path, true);
  if (node < 0 || nodes_[static_cast<size_t>(node)].kind != Kind::directory) return -1;
  const int list = take_slot(listings_, [](const Listing& l) { return l.node < 0; });
  listings_[static_cast<size_t>(list)].node = node;
  snapshot(listings_[static_cast<size_t>(list)]);
  return list;
}

bool MemoryPlatform::next_entry(int list, ListEntry& entry) {
  const bool fails = failing(Op::next_entry);
  if (fails || list < 0 || static_cast<size_t>(list) >= listings_.size()) return false;
  Listing& l = listings_[static_cast<size_t>(list)];
  if (l.node < 0 || l.next >= l.names.size()) return false;
  auto& [name, is_directory] = l.names[l.next++];
  // A link is followed to decide, when it is read; a dangling one is a file.
  const int child = lookup(l.node, name);
  const int target =
      child >= 0 && nodes_[static_cast<size_t>(child)].kind == Kind::link ? walk(l.node, name, true, 0) : child;
  if (target != child) is_directory = target >= 0 && nodes_[static_cast<size_t>(target)].kind == Kind::directory;
  entry.name = name.c_str();
  entry.is_directory = is_directory;
  entry.is_regular = target >= 0 && nodes_[static_cast<size_t>(target)].kind == Kind::file;
  return true;
}

void MemoryPlatform::rewind_list(int list) {
  (void)failing(Op::rewind_list);  // counted for before_call; a rewind has no result
  if (list >= 0 && static_cast<size_t>(list) < listings_.size() && listings_[static_cast<size_t>(list)].node >= 0) {
    snapshot(listings_[static_cast<size_t>(list)]);
  }
}

void MemoryPlatform::close_list(int list) {
  (void)failing(Op::close_list);
  if (list >= 0 && static_cast<size_t>(list) < listings_.size()) listings_[static_cast<size_t>(list)].node = -1;
}

}  // namespace dat
