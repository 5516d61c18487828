#include "kiv/File.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/sendfile.h>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <initializer_list>
#include <mutex>
#include <new>
#include <system_error>
#include <unordered_map>

#include "kiv/String.h"

namespace Kiv {

namespace {

// Each thread's last error, in a plain buffer rather than a string: the
// destructors of static objects run after the main thread's thread-local
// ones, and may still fail a file call at exit.
constexpr size_t kLastErrorBytes = PATH_MAX + 512;
thread_local char t_lastError[kLastErrorBytes];
thread_local size_t t_lastErrorLength = 0;

void SetLastError(std::initializer_list<std::string_view> parts) {
  size_t n = 0;
  for (std::string_view part : parts) {
    const size_t take = std::min(part.size(), kLastErrorBytes - n);
    if (take) std::memcpy(t_lastError + n, part.data(), take);
    n += take;
  }
  t_lastErrorLength = n;
}

bool Fail(std::string_view what, std::string_view path, int err) {
  SetLastError({what, " '", path, "': ", std::strerror(err)});
  return false;
}

bool FailText(std::string_view what, std::string_view path) {
  SetLastError({what, " '", path, "'"});
  return false;
}

bool IsSep(char c) { return c == '/' || c == '\\'; }

std::mutex g_faultLock;
std::function<bool(std::string_view)> g_faultInjector;
std::atomic<bool> g_faultSet{false};  // spares the lock on every write when no test injects

bool StepAllowed(std::string_view step) {
  if (!g_faultSet.load(std::memory_order_acquire)) return true;
  std::lock_guard<std::mutex> guard(g_faultLock);
  return !g_faultInjector || g_faultInjector(step);
}

// The "write data" step: refused as a full disk refuses it, so a caller's
// message reads as it would then.
bool DataWriteAllowed() {
  if (StepAllowed("write data")) return true;
  errno = ENOSPC;
  return false;
}

// Splits at either separator, dropping empty components.
std::vector<std::string_view> SplitComponents(std::string_view path) {
  std::vector<std::string_view> parts;
  size_t i = 0;
  while (i < path.size()) {
    while (i < path.size() && IsSep(path[i])) ++i;
    size_t b = i;
    while (i < path.size() && !IsSep(path[i])) ++i;
    if (i > b) parts.push_back(path.substr(b, i - b));
  }
  return parts;
}

bool LExists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

bool SameTime(const timespec& a, const timespec& b) { return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec; }
bool Earlier(const timespec& a, const timespec& b) {
  return a.tv_sec != b.tv_sec ? a.tv_sec < b.tv_sec : a.tv_nsec < b.tv_nsec;
}

// Folder listings kept between lookups, so that a name missing as spelled
// costs a hash lookup instead of reading a folder of thousands of entries.
// A listing is used only while the folder's device, inode and modification
// time are unchanged, and only when the listing began on a later clock tick
// than that time: a change made within the tick of the listing would not move
// the time, so such a listing is read again next time. Changes made through
// this file (create, rename, delete) patch the listing in place and vouch for
// it, so adding many entries one by one does not read the folder each time;
// the price is that another writer's change to the same folder within the
// same tick as one of ours goes unseen by lookups that need another case
// until the folder changes again (lookups spelled exactly never need it).
class FolderListingCache {
public:
  // Names in folder equal to name without regard to case, in byte order.
  std::vector<std::string> Lookup(const std::string& given, std::string_view name) {
    const std::string folder = Key(given);
    const std::string key = ToLowerAscii(name);
    std::atomic<uint64_t>& changes = ChangesOf(folder);
    const uint64_t changesBefore = changes.load();
    struct stat st;
    if (::stat(Os(folder), &st) != 0 || !S_ISDIR(st.st_mode)) return {};
    {
      std::lock_guard<std::mutex> guard(m_lock);
      auto it = m_folders.find(folder);
      if (it != m_folders.end() && it->second.settled && it->second.Matches(st)) return it->second.Find(key);
    }
    timespec listStart;
    ::clock_gettime(CLOCK_REALTIME_COARSE, &listStart);
    Listing listing;
    DIR* dir = ::opendir(Os(folder));
    if (!dir) return {};
    while (dirent* e = ::readdir(dir)) {
      std::string_view n(e->d_name);
      if (n != "." && n != "..") listing.Add(n);
    }
    ::closedir(dir);
    listing.Stamp(st);
    std::vector<std::string> found = listing.Find(key);
    // A same-tick listing is kept only for our own changes to vouch for.
    listing.settled = Earlier(st.st_mtim, listStart);
    Store(folder, std::move(listing), changes, changesBefore);
    return found;
  }

  // Stats the folder before a change, to tell later whether only our own
  // change happened to it since its listing.
  struct Before {
    std::string folder;
    bool known = false;
    struct stat st {};
  };
  Before Prepare(const std::string& path) {
    Before b;
    b.folder = FolderOf(Key(path));
    ChangesOf(b.folder).fetch_add(1);
    b.known = ::stat(Os(b.folder), &b.st) == 0;
    return b;
  }
  // After our change: name was added (added) or removed (!added) in the folder.
  void Changed(const Before& before, std::string_view name, bool added) {
    std::lock_guard<std::mutex> guard(m_lock);
    ChangesOf(before.folder).fetch_add(1);
    auto it = m_folders.find(before.folder);
    if (it == m_folders.end()) return;
    struct stat now;
    if (!before.known || !it->second.Matches(before.st) || ::stat(Os(before.folder), &now) != 0) {
      Drop(it);
      return;
    }
    if (added)
      it->second.Add(name);
    else
      it->second.Remove(name);
    it->second.Stamp(now);
    it->second.settled = true;
  }
  // Forgets the listing of path and of every folder below it.
  void Forget(const std::string& given) {
    const std::string path = Key(given);
    std::lock_guard<std::mutex> guard(m_lock);
    for (auto it = m_folders.begin(); it != m_folders.end();) {
      const std::string& k = it->first;
      bool below = k.size() > path.size() && k.compare(0, path.size(), path) == 0 &&
                   (k[path.size()] == '/' || path.back() == '/');
      if (k == path || below)
        it = Drop(it);
      else
        ++it;
    }
  }

  // One spelling per folder: no trailing separator except for the root.
  static std::string Key(std::string folder) {
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    return folder;
  }
  static std::string FolderOf(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return std::string();
    return slash == 0 ? std::string("/") : path.substr(0, slash);
  }

private:
  struct Listing {
    dev_t dev = 0;
    ino_t ino = 0;
    timespec mtime{};
    size_t count = 0;
    bool settled = false;
    std::unordered_map<std::string, std::vector<std::string>> byLower;

    void Add(std::string_view name) {
      std::vector<std::string>& v = byLower[ToLowerAscii(name)];
      auto at = std::lower_bound(v.begin(), v.end(), name);
      if (at != v.end() && *at == name) return;
      v.insert(at, std::string(name));
      ++count;
    }
    void Remove(std::string_view name) {
      auto it = byLower.find(ToLowerAscii(name));
      if (it == byLower.end()) return;
      auto at = std::find(it->second.begin(), it->second.end(), name);
      if (at == it->second.end()) return;
      it->second.erase(at);
      --count;
      if (it->second.empty()) byLower.erase(it);
    }
    std::vector<std::string> Find(const std::string& lower) const {
      auto it = byLower.find(lower);
      return it == byLower.end() ? std::vector<std::string>() : it->second;
    }
    void Stamp(const struct stat& st) {
      dev = st.st_dev;
      ino = st.st_ino;
      mtime = st.st_mtim;
    }
    bool Matches(const struct stat& st) const {
      return dev == st.st_dev && ino == st.st_ino && SameTime(mtime, st.st_mtim);
    }
  };
  using Map = std::unordered_map<std::string, Listing>;

  static const char* Os(const std::string& folder) { return folder.empty() ? "." : folder.c_str(); }

  Map::iterator Drop(Map::iterator it) {
    m_names -= it->second.count;
    return m_folders.erase(it);
  }
  // A listing read while one of our own changes to the folder was under way
  // may miss it without the time showing it, and is not kept.
  void Store(const std::string& folder, Listing&& listing, const std::atomic<uint64_t>& changes,
             uint64_t changesBefore) {
    std::lock_guard<std::mutex> guard(m_lock);
    if (changes.load() != changesBefore) return;
    auto it = m_folders.find(folder);
    if (it != m_folders.end()) Drop(it);
    // A bound on memory: start over rather than track use.
    if (m_folders.size() >= kMaxFolders || m_names + listing.count > kMaxNames) {
      m_folders.clear();
      m_names = 0;
    }
    m_names += listing.count;
    m_folders.emplace(folder, std::move(listing));
  }

  // Counts of our own changes begun and ended, per folder (folders may share
  // a counter: that only keeps a listing less often).
  std::atomic<uint64_t>& ChangesOf(const std::string& folder) {
    return m_changes[std::hash<std::string>()(folder) % kChangeSlots];
  }

  static constexpr size_t kChangeSlots = 64;
  static constexpr size_t kMaxFolders = 256;
  static constexpr size_t kMaxNames = 1u << 18;
  std::mutex m_lock;
  std::atomic<uint64_t> m_changes[kChangeSlots] = {};
  Map m_folders;
  size_t m_names = 0;
};

FolderListingCache& Folders() {
  static FolderListingCache* cache = new FolderListingCache;  // never destroyed: used until exit
  return *cache;
}

std::string LastComponent(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// On-disk names in folder equal to name without regard to case, the exact
// spelling first and the rest in byte order, so the choice is stable.
std::vector<std::string> MatchesInFolder(const std::string& folder, std::string_view name) {
  std::vector<std::string> found = Folders().Lookup(folder, name);
  auto exact = std::find(found.begin(), found.end(), name);
  if (exact != found.end()) std::rotate(found.begin(), exact, exact + 1);
  return found;
}

std::optional<std::string> MatchInFolder(const std::string& folder, std::string_view name) {
  std::vector<std::string> m = MatchesInFolder(folder, name);
  if (m.empty()) return std::nullopt;
  return m.front();
}

std::string JoinOne(const std::string& folder, std::string_view part) {
  std::string out = folder;
  if (!out.empty() && out.back() != '/') out += '/';
  out += part;
  return out;
}

// Refuses texts no system call could take, before any disk access.
bool WithinSystemLimits(std::string_view path, const std::vector<std::string_view>& parts) {
  if (path.size() >= PATH_MAX) return Fail("cannot use", path.substr(0, 64), ENAMETOOLONG);
  for (std::string_view p : parts)
    if (p.size() > NAME_MAX) return Fail("cannot use", path.substr(0, 64), ENAMETOOLONG);
  return true;
}

// Resolves parts[index..] below folder. Where several names differ only in
// case, each is tried in turn (exact first), so "Dir/a" is found even when an
// empty "dir" sits beside it.
bool ResolveFrom(const std::string& folder, const std::vector<std::string_view>& parts, size_t index,
                 bool lastMayBeMissing, std::string& out) {
  if (index == parts.size()) {
    out = folder;
    return true;
  }
  std::string_view part = parts[index];
  if (part == ".") return ResolveFrom(folder, parts, index + 1, lastMayBeMissing, out);
  std::string exact = JoinOne(folder, part);
  bool last = index + 1 == parts.size();
  if (part == "..") return ResolveFrom(exact, parts, index + 1, lastMayBeMissing, out);
  if (last) {
    if (LExists(exact)) {
      out = exact;
      return true;
    }
    std::optional<std::string> m = MatchInFolder(folder, part);
    if (m) {
      out = JoinOne(folder, *m);
      return true;
    }
    if (lastMayBeMissing) {
      out = exact;
      return true;
    }
    return false;
  }
  // The exact spelling first, without listing the folder: the common case.
  struct stat st;
  if (::stat(exact.c_str(), &st) == 0 && S_ISDIR(st.st_mode) &&
      ResolveFrom(exact, parts, index + 1, lastMayBeMissing, out))
    return true;
  for (const std::string& name : MatchesInFolder(folder, part)) {
    if (name == part) continue;  // tried above
    std::string next = JoinOne(folder, name);
    if (::stat(next.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) continue;
    if (ResolveFrom(next, parts, index + 1, lastMayBeMissing, out)) return true;
  }
  return false;
}

bool ValidPathText(std::string_view path) {
  if (path.empty()) return FailText("empty path", path);
  if (path.find('\0') != std::string_view::npos) return FailText("path holds a NUL character", "");
  return true;
}

std::optional<std::string> Resolve(std::string_view path, bool lastMayBeMissing) {
  if (!ValidPathText(path)) return std::nullopt;
  std::vector<std::string_view> parts = SplitComponents(path);
  if (!WithinSystemLimits(path, parts)) return std::nullopt;
  std::string start = IsSep(path[0]) ? "/" : "";
  if (parts.empty()) {
    if (start.empty()) FailText("empty path", path);
    return start.empty() ? std::nullopt : std::optional<std::string>(start);
  }
  // One lstat for the path as spelled: when it is there, every component
  // matched exactly, which is what the walk below would choose too.
  std::string out = start;
  for (std::string_view part : parts) {
    if (part == ".") continue;
    if (!out.empty() && out.back() != '/') out += '/';
    out.append(part);
  }
  if (LExists(out.empty() ? std::string(".") : out)) return out.empty() ? std::string(".") : out;
  if (!ResolveFrom(start, parts, 0, lastMayBeMissing, out)) {
    FailText("no such file or folder", path);
    return std::nullopt;
  }
  if (out.empty()) out = ".";
  return out;
}

}  // namespace

std::optional<std::string> ResolvePath(std::string_view path) { return Resolve(path, false); }

std::optional<std::string> ResolvePathBelow(std::string_view base, std::string_view relative) {
  if (!ValidPathText(base) || !ValidPathText(relative)) return std::nullopt;
  std::vector<std::string_view> parts = SplitComponents(relative);
  if (!WithinSystemLimits(relative, parts)) return std::nullopt;
  std::string out(base);
  for (std::string_view part : parts) {
    if (part == ".") continue;
    if (!out.empty() && out.back() != '/') out += '/';
    out.append(part);
  }
  if (LExists(out)) return out;
  if (!ResolveFrom(std::string(base), parts, 0, false, out)) {
    FailText("no such file or folder", relative);
    return std::nullopt;
  }
  return out;
}
std::optional<std::string> ResolvePathForCreate(std::string_view path) { return Resolve(path, true); }

std::string SpelledOnDisk(std::string_view path, std::string_view name) {
  const std::optional<std::string> resolved = name.empty() ? std::nullopt : ResolvePath(path);
  if (!resolved || resolved->size() < name.size()) return std::string(name);
  const std::string_view tail = std::string_view(*resolved).substr(resolved->size() - name.size());
  const size_t before = resolved->size() - name.size();
  // The tail must start a component and match name letter for letter.
  if (before > 0 && !IsSep((*resolved)[before - 1]) && !IsSep(name.front())) return std::string(name);
  const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
  for (size_t i = 0; i < name.size(); ++i)
    if (!(IsSep(tail[i]) && IsSep(name[i])) && lower(tail[i]) != lower(name[i])) return std::string(name);
  return std::string(tail);
}

bool IsNameInsideFolder(std::string_view name) {
  if (name.empty() || name.find(':') != std::string_view::npos) return false;
  File::Path p(name);
  if (p.IsAbsolute() || name.front() == '/' || name.front() == '\\') return false;
  p.Normalise();
  std::string first = p.ExtractFirstPath();
  return !first.empty() && first != "..";
}

bool IsInsideFolderResolved(std::string_view folder, std::string_view path) {
  const std::optional<std::string> root = File::RealPath(folder);
  const std::optional<std::string> real = File::RealPath(path);
  if (!root || !real) return false;
  std::string_view rest = *real;
  if (rest.compare(0, root->size(), *root) != 0) return false;
  rest.remove_prefix(root->size());
  if (root->back() != '/') {
    if (rest.empty() || rest.front() != '/') return false;
    rest.remove_prefix(1);
  }
  return IsNameInsideFolder(rest);
}

bool PassesThroughLink(std::string_view base, std::string_view path) {
  if (path.compare(0, base.size(), base) != 0) return true;  // not below base: vouch for nothing
  std::string walked(base);
  std::string_view rest = path.substr(base.size());
  while (!rest.empty()) {
    const size_t start = rest.find_first_not_of('/');
    if (start == std::string_view::npos) break;
    rest.remove_prefix(start);
    const size_t cut = std::min(rest.find('/'), rest.size());
    if (!walked.empty() && walked.back() != '/') walked += '/';
    walked.append(rest.substr(0, cut));
    rest.remove_prefix(cut);
    struct stat st;
    if (::lstat(walked.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) return true;
  }
  return false;
}

bool IsPlainAbsolutePath(std::string_view path) {
  if (path.size() < 2 || path[0] != '/' || path.back() == '/') return false;
  for (size_t i = 1; i < path.size();) {
    const size_t end = std::min(path.find('/', i), path.size());
    const std::string_view part = path.substr(i, end - i);
    if (part.empty() || part == "." || part == ".." || part.find('\\') != std::string_view::npos)
      return false;
    i = end + 1;
  }
  return true;
}

std::string AbsolutePath(std::string_view path) {
  // The common case (a path already absolute and plain) without building a path object.
  if (IsPlainAbsolutePath(path)) return std::string(path);
  std::error_code ec;
  const std::filesystem::path absolute = std::filesystem::absolute(std::filesystem::path(path), ec);
  std::string text = ec ? std::string(path) : absolute.lexically_normal().generic_string();
  while (text.size() > 1 && text.back() == '/') text.pop_back();
  return text;
}

std::string CurrentFolder() {
  std::error_code ec;
  std::filesystem::path folder = std::filesystem::current_path(ec);
  if (ec) {
    Fail("cannot read the working folder", "", ec.value());
    return {};
  }
  return folder.string();
}

bool SetCurrentFolder(std::string_view path) {
  const std::string text(path);
  if (::chdir(text.c_str()) != 0) return Fail("cannot change to folder", text, errno);
  return true;
}

std::string RunningProgramPath() {
  std::error_code ec;
  std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::string() : self.string();
}

int FileExists(std::string_view path) { return ResolvePath(path) ? 0 : -1; }

std::string File::LastError() { return std::string(t_lastError, t_lastErrorLength); }

void File::SetFaultInjector(std::function<bool(std::string_view)> injector) {
  std::lock_guard<std::mutex> guard(g_faultLock);
  g_faultSet.store(static_cast<bool>(injector), std::memory_order_release);
  g_faultInjector = std::move(injector);
}

File::File(File&& other) noexcept : m_fd(other.m_fd), m_path(std::move(other.m_path)) { other.m_fd = -1; }

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    Close();
    m_fd = other.m_fd;
    m_path = std::move(other.m_path);
    other.m_fd = -1;
  }
  return *this;
}

bool File::Open(std::string_view path, Mode mode) {
  Close();
  std::optional<std::string> resolved = mode == Mode::Read ? ResolvePath(path) : ResolvePathForCreate(path);
  if (!resolved) return false;
  int flags = O_CLOEXEC;
  switch (mode) {
    case Mode::Read: flags |= O_RDONLY; break;
    case Mode::Write: flags |= O_WRONLY | O_CREAT | O_TRUNC; break;
    case Mode::Append: flags |= O_WRONLY | O_CREAT | O_APPEND; break;
    case Mode::ReadWrite: flags |= O_RDWR | O_CREAT; break;
    default: return FailText("bad open mode for", path);
  }
  // Refuse a folder before O_TRUNC or O_WRONLY could matter. A read opens
  // it harmlessly and is refused by the kind check below, which spares every
  // read two look-ups of its path.
  if (mode != Mode::Read && IsDirectory(*resolved)) return FailText("is a folder, not a file:", *resolved);
  // Non-blocking while the kind of file is unknown: opening a named pipe or
  // a device could otherwise wait forever. Only regular files are kept.
  FolderListingCache::Before before;
  if (mode != Mode::Read) before = Folders().Prepare(*resolved);
  int fd = ::open(resolved->c_str(), flags | O_NONBLOCK, 0666);
  if (mode != Mode::Read && fd >= 0) Folders().Changed(before, LastComponent(*resolved), true);
  if (fd < 0) {
    if (errno == ENXIO) return FailText("not a regular file:", *resolved);
    return Fail("cannot open", *resolved, errno);
  }
  struct stat st;
  const bool known = ::fstat(fd, &st) == 0;
  if (!known || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return FailText(known && S_ISDIR(st.st_mode) ? "is a folder, not a file:" : "not a regular file:",
                    *resolved);
  }
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  m_fd = fd;
  m_path = std::move(*resolved);
  return true;
}

void File::Close() {
  if (m_fd >= 0) ::close(m_fd);
  m_fd = -1;
  m_path.clear();
}

int64_t File::Read(void* buffer, size_t size) {
  if (m_fd < 0) return FailText("read from a closed file", ""), -1;
  size_t done = 0;
  auto* p = static_cast<char*>(buffer);
  while (done < size) {
    ssize_t n = ::read(m_fd, p + done, size - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Fail("cannot read", m_path, errno), -1;
    }
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  return static_cast<int64_t>(done);
}

int64_t File::Write(const void* buffer, size_t size) {
  if (m_fd < 0) return FailText("write to a closed file", ""), -1;
  size_t done = 0;
  const auto* p = static_cast<const char*>(buffer);
  while (done < size) {
    ssize_t n = ::write(m_fd, p + done, size - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Fail("cannot write", m_path, errno), -1;
    }
    done += static_cast<size_t>(n);
  }
  return static_cast<int64_t>(done);
}

bool File::Seek(int64_t offset, Whence whence) {
  if (m_fd < 0) return FailText("seek in a closed file", "");
  int w = whence == Begin ? SEEK_SET : (whence == Current ? SEEK_CUR : SEEK_END);
  if (::lseek(m_fd, static_cast<off_t>(offset), w) < 0) return Fail("cannot seek", m_path, errno);
  return true;
}

int64_t File::Tell() const {
  if (m_fd < 0) return -1;
  return static_cast<int64_t>(::lseek(m_fd, 0, SEEK_CUR));
}

int64_t File::Length() const {
  if (m_fd < 0) return -1;
  struct stat st;
  if (::fstat(m_fd, &st) != 0) return -1;
  return static_cast<int64_t>(st.st_size);
}

bool File::Sync() {
  if (m_fd < 0) return false;
  if (::fsync(m_fd) != 0) return Fail("cannot sync", m_path, errno);
  return true;
}

bool File::Exists(std::string_view path) { return FileExists(path) == 0; }

bool File::IsDirectory(std::string_view path) {
  std::optional<std::string> r = ResolvePath(path);
  struct stat st;
  return r && ::stat(r->c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool File::IsSymlink(std::string_view path) {
  std::optional<std::string> r = ResolvePath(path);
  struct stat st;
  return r && ::lstat(r->c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

std::optional<std::string> File::RealPath(std::string_view path) {
  std::optional<std::string> r = ResolvePath(path);
  if (!r) return std::nullopt;
  char* real = ::realpath(r->c_str(), nullptr);
  if (!real) {
    Fail("cannot resolve", *r, errno);
    return std::nullopt;
  }
  std::string out(real);
  std::free(real);
  return out;
}

bool File::IsRegularFile(std::string_view path) {
  std::optional<std::string> r = ResolvePath(path);
  struct stat st;
  return r && ::stat(r->c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

int64_t File::ModificationTime(std::string_view path) {
  std::optional<std::string> r = ResolvePath(path);
  struct stat st;
  if (!r || ::stat(r->c_str(), &st) != 0) return 0;
  return static_cast<int64_t>(st.st_mtime);
}

namespace {

void FillStatus(const struct stat& st, File::Status& out) {
  out.isDirectory = S_ISDIR(st.st_mode);
  out.isRegular = S_ISREG(st.st_mode);
  out.size = static_cast<int64_t>(st.st_size);
  out.modifiedNs = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  out.changedNs = static_cast<int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
}

}  // namespace

bool File::GetStatus(std::string_view path, Status& out) {
  if (!ValidPathText(path)) return false;
  struct stat st;
  if (::stat(std::string(path).c_str(), &st) != 0) return false;
  FillStatus(st, out);
  return true;
}

File::FolderStatus::FolderStatus(std::string_view folder) {
  if (ValidPathText(folder)) m_fd = ::open(std::string(folder).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

File::FolderStatus::FolderStatus(const FolderStatus& parent, std::string_view name) {
  char text[NAME_MAX + 1];
  if (parent.m_fd < 0 || name.empty() || name.size() > NAME_MAX ||
      name.find('\0') != std::string_view::npos || name.find('/') != std::string_view::npos)
    return;
  std::memcpy(text, name.data(), name.size());
  text[name.size()] = '\0';
  m_fd = ::openat(parent.m_fd, text, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

File::FolderStatus::~FolderStatus() {
  if (m_fd >= 0) ::close(m_fd);
}

bool File::FolderStatus::Get(std::string_view name, Status& out) const {
  if (m_fd < 0 || name.empty() || name.size() >= PATH_MAX || name.find('\0') != std::string_view::npos)
    return false;
  char text[PATH_MAX];  // no allocation: called for every entry of a large tree
  std::memcpy(text, name.data(), name.size());
  text[name.size()] = '\0';
  struct stat st;
  if (::fstatat(m_fd, text, &st, 0) != 0) return false;
  FillStatus(st, out);
  return true;
}

bool File::FolderStatus::GetSelf(Status& out) const {
  struct stat st;
  if (m_fd < 0 || ::fstat(m_fd, &st) != 0) return false;
  FillStatus(st, out);
  return true;
}

namespace {

// Lists an open folder. path: for messages only.
bool ListOpenFolder(int fd, std::string_view path, std::vector<File::ListedEntry>& out) {
  using EntryKind = File::EntryKind;
  out.clear();
  // The listing read straight into a buffer on the stack: this runs for every asset
  // folder of a check or a scan, and a directory stream costs a stat and a heap buffer.
  alignas(8) char buffer[8192];
  for (;;) {
    const ssize_t got = ::getdents64(fd, buffer, sizeof buffer);
    if (got < 0) {
      out.clear();
      return Fail("cannot list", path, errno);
    }
    if (got == 0) break;
    for (ssize_t at = 0; at < got;) {
      const auto* e = reinterpret_cast<const dirent64*>(buffer + at);
      at += e->d_reclen;
      std::string_view n(e->d_name);
      if (n == "." || n == "..") continue;
      unsigned char type = e->d_type;
      if (type == DT_UNKNOWN) {  // file systems that do not say: ask
        struct stat st;
        type = ::fstatat(fd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 ? DT_UNKNOWN
               : S_ISLNK(st.st_mode)                                   ? DT_LNK
               : S_ISDIR(st.st_mode)                                   ? DT_DIR
               : S_ISREG(st.st_mode)                                   ? DT_REG
                                                                       : DT_UNKNOWN;
      }
      const EntryKind kind = type == DT_REG   ? EntryKind::kFile
                             : type == DT_DIR ? EntryKind::kFolder
                             : type == DT_LNK ? EntryKind::kLink
                                              : EntryKind::kOther;
      out.push_back({std::string(n), kind});
    }
  }
  return true;
}

// Reads the open file whole and closes it. name: for messages only.
bool ReadOpenFile(int fd, std::string_view name, std::string& out, uint64_t maxBytes, struct stat& st) {
  bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  if (!ok) FailText("not a regular file:", name);
  if (ok && static_cast<uint64_t>(st.st_size) > maxBytes) ok = FailText("file too large:", name);
  if (ok) {
    try {
      out.resize(static_cast<size_t>(st.st_size));
    } catch (const std::bad_alloc&) {
      ok = FailText("out of memory reading", name);
    }
  }
  size_t got = 0;
  while (ok && got < out.size()) {
    const ssize_t n = ::read(fd, out.data() + got, out.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ok = Fail("cannot read", name, errno);
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  ::close(fd);
  if (!ok) {
    out.clear();
    return false;
  }
  out.resize(got);  // a file that shrank meanwhile
  return true;
}

}  // namespace

bool File::FolderStatus::List(std::vector<ListedEntry>& out) const {
  out.clear();
  return m_fd >= 0 && ListOpenFolder(m_fd, "(open folder)", out);
}

bool File::FolderStatus::ReadFile(std::string_view name, std::string& out, uint64_t maxBytes,
                                  Status& seen) const {
  out.clear();
  if (m_fd < 0 || name.empty() || name.size() >= PATH_MAX || name.find('\0') != std::string_view::npos)
    return false;
  char text[PATH_MAX];
  std::memcpy(text, name.data(), name.size());
  text[name.size()] = '\0';
  // Non-blocking, so a named pipe or device in the file's place cannot hold the open.
  const int fd = ::openat(m_fd, text, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return Fail("cannot open", name, errno);
  struct stat st {};
  const bool ok = ReadOpenFile(fd, name, out, maxBytes, st);
  if (st.st_mode) FillStatus(st, seen);
  return ok;
}

bool File::ListFolder(std::string_view folder, std::vector<ListedEntry>& out) {
  out.clear();
  if (!ValidPathText(folder)) return false;
  const std::string path(folder);
  const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return Fail("cannot list", path, errno);
  const bool ok = ListOpenFolder(fd, path, out);
  ::close(fd);
  return ok;
}

void File::SortListing(std::vector<ListedEntry>& entries) {
  auto before = [](const ListedEntry& a, const ListedEntry& b) {
    const int c = CompareNoCase(a.name, b.name);
    return c != 0 ? c < 0 : a.name < b.name;
  };
  constexpr size_t kKeyedFrom = 64;
  if (entries.size() < kKeyedFrom) {
    std::sort(entries.begin(), entries.end(), before);
    return;
  }
  // A large folder (tens of thousands of assets): each name lowered once rather than at
  // every comparison, positions sorted, and each entry moved once.
  std::vector<std::string> lowered;
  lowered.reserve(entries.size());
  for (const ListedEntry& e : entries) lowered.push_back(ToLowerAscii(e.name));
  std::vector<uint32_t> order(entries.size());
  for (uint32_t i = 0; i < order.size(); ++i) order[i] = i;
  std::sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
    const int c = lowered[a].compare(lowered[b]);
    return c != 0 ? c < 0 : entries[a].name < entries[b].name;
  });
  std::vector<ListedEntry> sorted;
  sorted.reserve(entries.size());
  for (const uint32_t i : order) sorted.push_back(std::move(entries[i]));
  entries.swap(sorted);
}

bool File::ReadWholeFileAsSpelled(std::string_view path, std::string& out, uint64_t maxBytes) {
  return ReadOrMapAsSpelled(path, out, nullptr, maxBytes);
}

bool File::ReadOrMapWholeFileAsSpelled(std::string_view path, std::string& out, MappedFile& mapped,
                                       uint64_t maxBytes) {
  return ReadOrMapAsSpelled(path, out, &mapped, maxBytes);
}

bool File::ReadOrMapWholeFile(std::string_view path, std::string& out, MappedFile& mapped,
                              uint64_t maxBytes) {
  out.clear();
  mapped.Unmap();
  if (!StepAllowed("read")) return Fail("cannot open", path, EACCES);
  const std::optional<std::string> resolved = ResolvePath(path);
  return resolved && ReadOrMapAsSpelled(*resolved, out, &mapped, maxBytes);
}

bool File::ReadOrMapAsSpelled(std::string_view path, std::string& out, MappedFile* mapped,
                              uint64_t maxBytes) {
  out.clear();
  if (mapped) mapped->Unmap();
  if (!ValidPathText(path)) return false;
  const std::string name(path);
  // Non-blocking, so a named pipe or device in the file's place cannot hold the open.
  const int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return Fail("cannot open", name, errno);
  struct stat st;
  if (mapped && ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size >= MappedFile::kWorthFromBytes &&
      static_cast<uint64_t>(st.st_size) <= maxBytes &&
      mapped->MapOpenFile(fd, name, static_cast<size_t>(st.st_size))) {
    ::close(fd);
    return true;
  }
  return ReadOpenFile(fd, name, out, maxBytes, st);
}

int64_t File::FileSize(std::string_view path) {
  std::optional<std::string> r = ResolvePath(path);
  struct stat st;
  if (!r || ::stat(r->c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  return static_cast<int64_t>(st.st_size);
}

bool File::Unlink(std::string_view path) {
  std::optional<std::string> r = ResolvePath(path);
  if (!r) return false;
  if (IsDirectory(*r)) return FailText("is a folder, not a file:", *r);
  if (!StepAllowed("delete")) return Fail("cannot delete", *r, EACCES);
  FolderListingCache::Before before = Folders().Prepare(*r);
  if (::unlink(r->c_str()) != 0) return Fail("cannot delete", *r, errno);
  Folders().Changed(before, LastComponent(*r), false);
  return true;
}

namespace {
bool PruneResolved(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return errno == ENOENT ? true : Fail("cannot delete", path, errno);
  if (S_ISDIR(st.st_mode)) {
    DIR* dir = ::opendir(path.c_str());
    if (!dir) return Fail("cannot list", path, errno);
    std::vector<std::string> names;
    while (dirent* e = ::readdir(dir)) {
      std::string_view n(e->d_name);
      if (n != "." && n != "..") names.emplace_back(n);
    }
    ::closedir(dir);
    bool ok = true;
    for (const std::string& n : names) ok = PruneResolved(path + "/" + n) && ok;
    if (!ok) return false;
    if (::rmdir(path.c_str()) != 0) return Fail("cannot delete", path, errno);
    return true;
  }
  if (::unlink(path.c_str()) != 0) return Fail("cannot delete", path, errno);
  return true;
}
}  // namespace

bool File::Prune(std::string_view path) {
  std::optional<std::string> r = ResolvePath(path);
  if (!r) return ValidPathText(path);  // nothing there: nothing left
  FolderListingCache::Before before = Folders().Prepare(*r);
  bool gone = PruneResolved(*r);
  Folders().Forget(*r);
  if (gone)
    Folders().Changed(before, LastComponent(*r), false);
  else
    Folders().Forget(before.folder);
  return gone;
}

bool File::Rename(std::string_view from, std::string_view to) {
  std::optional<std::string> f = ResolvePath(from);
  if (!f) return false;
  std::optional<std::string> t = ResolvePathForCreate(to);
  if (!t) return false;
  FolderListingCache::Before fromBefore = Folders().Prepare(*f);
  FolderListingCache::Before toBefore = Folders().Prepare(*t);
  if (::rename(f->c_str(), t->c_str()) != 0) return Fail("cannot rename", *f, errno);
  Folders().Forget(*f);  // a renamed folder's listings sit under its old path
  Folders().Forget(*t);
  if (fromBefore.folder == toBefore.folder) {
    Folders().Forget(fromBefore.folder);  // two changes: one stat cannot vouch for both
  } else {
    Folders().Changed(fromBefore, LastComponent(*f), false);
    Folders().Changed(toBefore, LastComponent(*t), true);
  }
  return true;
}

bool File::RenameAsSpelledNoReplace(std::string_view from, std::string_view to) {
  if (!ValidPathText(from) || !ValidPathText(to)) return false;
  const std::string f(from), t(to);
  FolderListingCache::Before fromBefore = Folders().Prepare(f);
  FolderListingCache::Before toBefore = Folders().Prepare(t);
  if (::renameat2(AT_FDCWD, f.c_str(), AT_FDCWD, t.c_str(), RENAME_NOREPLACE) != 0)
    return Fail("cannot rename", f, errno);
  Folders().Forget(f);
  Folders().Forget(t);
  if (fromBefore.folder == toBefore.folder) {
    Folders().Forget(fromBefore.folder);
  } else {
    Folders().Changed(fromBefore, LastComponent(f), false);
    Folders().Changed(toBefore, LastComponent(t), true);
  }
  return true;
}

bool File::CreateDirectories(std::string_view path) {
  if (!ValidPathText(path) || !WithinSystemLimits(path, SplitComponents(path))) return false;
  std::string out;
  if (IsSep(path[0])) out = "/";
  for (std::string_view part : SplitComponents(path)) {
    if (!out.empty() && out.back() != '/') out += '/';
    std::string folder = out;
    std::string candidate = out + std::string(part);
    if (part != "." && part != ".." && !LExists(candidate)) {
      if (std::optional<std::string> m = MatchInFolder(folder, part)) candidate = folder + *m;
    }
    struct stat st;
    if (::stat(candidate.c_str(), &st) == 0) {
      if (!S_ISDIR(st.st_mode)) return FailText("a file is in the way of folder", candidate);
    } else {
      FolderListingCache::Before before = Folders().Prepare(candidate);
      if (::mkdir(candidate.c_str(), 0777) != 0 && errno != EEXIST)
        return Fail("cannot create folder", candidate, errno);
      Folders().Changed(before, part, true);
    }
    out = std::move(candidate);
  }
  return true;
}

namespace {
template <class Bytes>
bool ReadAll(std::string_view path, Bytes& out, uint64_t maxBytes) {
  out.clear();
  if (!StepAllowed("read")) return Fail("cannot open", path, EACCES);
  File f;
  if (!f.Open(path, File::Mode::Read)) return false;
  int64_t len = f.Length();
  if (len < 0) return FailText("cannot size", path);
  if (static_cast<uint64_t>(len) > maxBytes) return FailText("file too large:", path);
  try {
    out.resize(static_cast<size_t>(len));
  } catch (const std::bad_alloc&) {
    return FailText("out of memory reading", path);
  }
  int64_t n = len ? f.Read(out.data(), out.size()) : 0;
  if (n < 0) return false;
  out.resize(static_cast<size_t>(n));  // a file that shrank meanwhile
  return true;
}
}  // namespace

bool File::ReadWholeFile(std::string_view path, std::vector<uint8_t>& out, uint64_t maxBytes) {
  return ReadAll(path, out, maxBytes);
}

bool File::ReadWholeFile(std::string_view path, std::string& out, uint64_t maxBytes) {
  return ReadAll(path, out, maxBytes);
}

namespace {

// Writers of one target inside this process take turns while the temporary
// name exists (a few names share a lock; that only costs a short wait).
std::mutex& ReplaceLockFor(const std::string& target) {
  static std::mutex locks[64];
  return locks[std::hash<std::string>()(target) % 64];
}

// Writes the whole buffer; false with errno set on failure.
bool WriteAll(int fd, const void* data, size_t size) {
  if (!DataWriteAllowed()) return false;
  const auto* p = static_cast<const char*>(data);
  size_t done = 0;
  while (done < size) {
    ssize_t n = ::write(fd, p + done, size - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

// Copies size bytes of file `from` at offset to the end of `to`, in the
// kernel where it can; false with errno set, EIO when `from` is short.
bool CopyAll(int to, int from, uint64_t offset, size_t size) {
  auto at = static_cast<off_t>(offset);
  while (size > 0) {
    const ssize_t n = ::sendfile(to, from, &at, size);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EINVAL || errno == ENOSYS)) break;  // copied through a buffer below
    if (n < 0) return false;
    if (n == 0) {
      errno = EIO;
      return false;
    }
    size -= static_cast<size_t>(n);
  }
  char buffer[1 << 16];
  while (size > 0) {
    const ssize_t n = ::pread(from, buffer, std::min(size, sizeof buffer), at);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) {
      errno = EIO;
      return false;
    }
    if (!WriteAll(to, buffer, static_cast<size_t>(n))) return false;
    at += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

// The new contents go to a file without a name (O_TMPFILE) in the target's
// folder; only when they are complete (and synced) does the file get a name:
// the target's own when there was none, else the fixed temporary name
// target + ".~replace" for the instant before it is renamed over the target.
// A process killed at that instant leaves that name behind, and the next
// write to the same target removes it. Where the file system cannot make
// unnamed files the temporary name is used for the whole write.
bool File::ReplaceFileAtomic(std::string_view path, const void* data, size_t size, bool sync) {
  return ReplaceFileAtomic(path, std::vector<Piece>{{data, size}}, sync);
}

// ---- ReplacingFile ----

struct ReplacingFile::State {
  std::string target;
  std::string temp;
  // Held while the temporary name may exist: from the naming on, or for
  // the whole write where the file starts out named.
  std::unique_lock<std::mutex> turn;
  FolderListingCache::Before before;
  int fd = -1;
  bool named = false;
};

ReplacingFile::ReplacingFile(std::string_view path, bool asSpelled) {
  std::optional<std::string> target;
  const size_t cut = path.find_last_of("/\\");
  if (!asSpelled || cut == std::string_view::npos || cut + 1 == path.size()) {
    target = ResolvePathForCreate(path);
  } else {
    target = cut == 0 ? std::optional<std::string>("/") : ResolvePath(path.substr(0, cut));
    if (target) *target = JoinOne(*target, path.substr(cut + 1));
  }
  if (!target) {
    Fail("cannot create", path, ENOENT);  // a folder of the path is missing
    return;
  }
  if (File::IsDirectory(*target)) {
    FailText("is a folder, not a file:", *target);
    return;
  }
  auto state = std::make_unique<State>();
  state->target = *target;
  state->temp = *target + ".~replace";
  std::string folder = *target;
  size_t slash = folder.rfind('/');
  folder = slash == std::string::npos ? "." : (slash == 0 ? "/" : folder.substr(0, slash));
  state->turn = std::unique_lock<std::mutex>(ReplaceLockFor(*target), std::defer_lock);
  // The temporary file comes and goes; only the target's name stays.
  state->before = Folders().Prepare(*target);
  if (!StepAllowed("open")) {
    FailText("injected failure opening", *target);
    return;
  }
  state->fd = ::open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
  if (state->fd < 0) {
    // No unnamed files here: a leftover of a killed writer goes first.
    state->turn.lock();
    if (::unlink(state->temp.c_str()) != 0 && errno != ENOENT) {
      Fail("cannot remove", state->temp, errno);
      return;
    }
    state->fd = ::open(state->temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (state->fd < 0) {
      Fail("cannot create", state->temp, errno);
      return;
    }
    state->named = true;
  }
  m_state = std::move(state);
}

ReplacingFile::~ReplacingFile() {
  if (!m_state || m_state->fd < 0) return;
  ::close(m_state->fd);
  if (m_state->named) ::unlink(m_state->temp.c_str());
}

int ReplacingFile::Fd() const { return m_state ? m_state->fd : -1; }

const std::string& ReplacingFile::Target() const {
  static const std::string kNone;
  return m_state ? m_state->target : kNone;
}

bool ReplacingFile::Abandon(bool result) {
  if (m_state && m_state->fd >= 0) {
    ::close(m_state->fd);
    if (m_state->named) ::unlink(m_state->temp.c_str());
    m_state->fd = -1;
  }
  return result;
}

bool ReplacingFile::Commit(bool sync) {
  if (Fd() < 0) return false;
  State& st = *m_state;
  const std::string& target = st.target;
  if (!StepAllowed("write")) return Abandon(FailText("injected failure writing", target));
  if (!StepAllowed("sync")) return Abandon(FailText("injected failure syncing", target));
  if (sync && ::fsync(st.fd) != 0) return Abandon(Fail("cannot sync", target, errno));
  // Keep the old file's permissions when there is one.
  struct stat old;
  if (::stat(target.c_str(), &old) == 0) ::fchmod(st.fd, old.st_mode & 07777);
  if (!StepAllowed("rename")) return Abandon(FailText("injected failure renaming onto", target));
  if (!st.named) {
    st.turn.lock();
    const std::string self = "/proc/self/fd/" + std::to_string(st.fd);
    if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, target.c_str(), AT_SYMLINK_FOLLOW) == 0) {
      ::close(st.fd);
      st.fd = -1;
      Folders().Changed(st.before, LastComponent(target), true);
      return true;
    }
    if (errno != EEXIST) return Abandon(Fail("cannot create", target, errno));
    if (::unlink(st.temp.c_str()) != 0 && errno != ENOENT)
      return Abandon(Fail("cannot remove", st.temp, errno));
    if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, st.temp.c_str(), AT_SYMLINK_FOLLOW) != 0)
      return Abandon(Fail("cannot create", st.temp, errno));
    st.named = true;
  }
  const int fd = st.fd;
  st.fd = -1;
  if (::close(fd) != 0) {
    ::unlink(st.temp.c_str());
    return Fail("cannot close", st.temp, errno);
  }
  if (::rename(st.temp.c_str(), target.c_str()) != 0) {
    int err = errno;
    ::unlink(st.temp.c_str());
    return Fail("cannot replace", target, err);
  }
  Folders().Changed(st.before, LastComponent(target), true);
  // The folder is not synced: after a crash the name holds either the old
  // file or the new one, each whole, which is all callers rely on; a sync
  // there cost every compile and every save a second disk flush.
  return true;
}

namespace {
bool WritePieces(ReplacingFile& file, const std::vector<File::Piece>& pieces, bool sync) {
  const int fd = file.Fd();
  if (fd < 0) return false;
  const std::string& target = file.Target();
  for (const File::Piece& piece : pieces)
    if (!(piece.fd >= 0 ? CopyAll(fd, piece.fd, piece.offset, piece.size)
                        : WriteAll(fd, piece.data, piece.size)))
      return file.Abandon(Fail("cannot write", target, errno));
  return file.Commit(sync);
}
}  // namespace

bool File::ReplaceFileAtomic(std::string_view path, const std::vector<Piece>& pieces, bool sync) {
  ReplacingFile file(path);
  return WritePieces(file, pieces, sync);
}

bool File::ReplaceFileAtomicAsSpelled(std::string_view path, const void* data, size_t size) {
  ReplacingFile file(path, true);
  return WritePieces(file, {{data, size}}, true);
}

// ---- ScratchFile ----

ScratchFile::~ScratchFile() {
  if (m_fd >= 0 && m_own) ::close(m_fd);
}

bool ScratchFile::Append(const void* data, size_t size) {
  if (m_fd < 0) {
    m_fd = ::memfd_create("scratch", MFD_CLOEXEC);
    if (m_fd < 0) m_fd = ::open("/tmp", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (m_fd < 0) return Fail("cannot create", "scratch file", errno);
  }
  if (!WriteAt(m_size, data, size)) return false;
  m_size += size;
  return true;
}

bool ScratchFile::WriteAt(uint64_t offset, const void* data, size_t size) {
  const std::string_view name = m_name.empty() ? std::string_view("scratch file") : std::string_view(m_name);
  if (m_fd < 0 || offset + size < offset) return FailText("cannot write", name);
  if (size != 0 && !DataWriteAllowed()) return Fail("cannot write", name, errno);
  const auto* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = ::pwrite(m_fd, p, size, static_cast<off_t>(m_base + offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return Fail("cannot write", name, n < 0 ? errno : EIO);
    p += n;
    offset += static_cast<uint64_t>(n);
    size -= static_cast<size_t>(n);
  }
  return true;
}

// ---- MappedFile ----

namespace {

// The mapped files, as the bus-error handler reads them: a file that shrinks
// under its mapping raises that signal where its missing pages are read.
struct MappedRange {
  std::atomic<uintptr_t> begin{0};
  std::atomic<uintptr_t> end{0};
  std::atomic<bool> shrank{false};
};
constexpr int kMappedRanges = 16;
MappedRange g_mappedRanges[kMappedRanges];
std::mutex g_mappedLock;  // Map and Unmap; never the handler
struct sigaction g_busBefore;
uintptr_t g_pageSize = 4096;

extern "C" void OnBusError(int signal, siginfo_t* info, void* context) {
  const auto address = reinterpret_cast<uintptr_t>(info->si_addr);
  for (MappedRange& range : g_mappedRanges) {
    const uintptr_t begin = range.begin.load(std::memory_order_acquire);
    const uintptr_t end = range.end.load(std::memory_order_acquire);
    if (begin == 0 || address < begin || address >= end) continue;
    // Zero pages from the missing one to the end; the read is then retried.
    const uintptr_t page = address & ~(g_pageSize - 1);
    if (::mmap(reinterpret_cast<void*>(page), end - page, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED,
               -1, 0) == MAP_FAILED)
      break;
    range.shrank.store(true, std::memory_order_release);
    return;
  }
  // Not a mapped file's page: whatever handled the signal before.
  if (g_busBefore.sa_flags & SA_SIGINFO) {
    if (g_busBefore.sa_sigaction) return g_busBefore.sa_sigaction(signal, info, context);
  } else if (g_busBefore.sa_handler != SIG_DFL && g_busBefore.sa_handler != SIG_IGN) {
    return g_busBefore.sa_handler(signal);
  }
  // The default action: the faulting read runs again and ends the process.
  ::signal(signal, SIG_DFL);
}

// Puts the handler in place unless it is there already (a command's own
// fault handlers may have replaced it since the last file was mapped).
void InstallBusErrorHandler() {
  struct sigaction current;
  if (::sigaction(SIGBUS, nullptr, &current) != 0) return;
  if ((current.sa_flags & SA_SIGINFO) && current.sa_sigaction == &OnBusError) return;
  g_busBefore = current;
  struct sigaction action {};
  action.sa_sigaction = &OnBusError;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_SIGINFO | SA_ONSTACK;
  ::sigaction(SIGBUS, &action, nullptr);
}

}  // namespace

bool MappedFile::Map(std::string_view path, uint64_t maxBytes) {
  Unmap();
  if (!ValidPathText(path)) return false;
  const std::string name(path);
  // Non-blocking, so a named pipe or device in the file's place cannot hold the open.
  const int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return Fail("cannot open", name, errno);
  struct stat st;
  bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  if (!ok) FailText("not a regular file:", name);
  if (ok && static_cast<uint64_t>(st.st_size) > maxBytes) ok = FailText("file too large:", name);
  if (ok && st.st_size != 0) ok = MapOpenFile(fd, name, static_cast<size_t>(st.st_size));
  ::close(fd);
  return ok;
}

bool MappedFile::MapOpenFile(int fd, const std::string& name, size_t size) {
  std::lock_guard<std::mutex> guard(g_mappedLock);
  int slot = 0;
  while (slot < kMappedRanges && g_mappedRanges[slot].begin.load(std::memory_order_relaxed) != 0) ++slot;
  if (slot == kMappedRanges) return FailText("too many files mapped at once to map", name);
  g_pageSize = static_cast<uintptr_t>(::sysconf(_SC_PAGESIZE));
  const size_t filePages = (size + g_pageSize - 1) & ~(g_pageSize - 1);
  const size_t mapped = filePages + g_pageSize;
  // The zero page goes first over the whole range, then the file over all but it.
  void* base = ::mmap(nullptr, mapped, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (base == MAP_FAILED) return Fail("cannot map", name, ENOMEM);
  void* file = ::mmap(base, filePages, PROT_READ, MAP_PRIVATE | MAP_FIXED | MAP_POPULATE, fd, 0);
  if (file == MAP_FAILED) {
    const int mapError = errno;
    ::munmap(base, mapped);
    return Fail("cannot map", name, mapError);
  }
  InstallBusErrorHandler();
  MappedRange& range = g_mappedRanges[slot];
  range.shrank.store(false, std::memory_order_relaxed);
  range.end.store(reinterpret_cast<uintptr_t>(base) + filePages, std::memory_order_release);
  range.begin.store(reinterpret_cast<uintptr_t>(base), std::memory_order_release);
  m_data = static_cast<char*>(base);
  m_size = size;
  m_mapped = mapped;
  m_slot = slot;
  return true;
}

void MappedFile::Unmap() {
  if (!m_data) return;
  {
    std::lock_guard<std::mutex> guard(g_mappedLock);
    g_mappedRanges[m_slot].begin.store(0, std::memory_order_release);
    g_mappedRanges[m_slot].end.store(0, std::memory_order_release);
  }
  ::munmap(m_data, m_mapped);
  m_data = nullptr;
  m_size = 0;
  m_mapped = 0;
  m_slot = -1;
}

bool MappedFile::Shrank() const {
  return m_data && g_mappedRanges[m_slot].shrank.load(std::memory_order_acquire);
}

// ---- Path ----

bool File::Path::IsAbsolute() const noexcept {
  if (m_text.empty()) return false;
  if (IsSep(m_text[0])) return true;
  return m_text.size() >= 2 && m_text[1] == ':' &&
         ((m_text[0] >= 'A' && m_text[0] <= 'Z') || (m_text[0] >= 'a' && m_text[0] <= 'z'));
}

File::Path& File::Path::Join(std::string_view part) {
  if (part.empty()) return *this;
  if (!m_text.empty() && !IsSep(m_text.back())) m_text += '/';
  size_t skip = 0;
  if (!m_text.empty())
    while (skip < part.size() && IsSep(part[skip])) ++skip;
  m_text.append(part.substr(skip));
  return *this;
}

File::Path& File::Path::AddToLast(std::string_view text) {
  m_text.append(text);
  return *this;
}

namespace {
// Start of the last component.
size_t LastStart(const std::string& s) {
  size_t p = s.find_last_of("/\\");
  return p == std::string::npos ? 0 : p + 1;
}
}  // namespace

std::string File::Path::GetExt() const {
  size_t start = LastStart(m_text);
  size_t dot = m_text.rfind('.');
  if (dot == std::string::npos || dot < start) return std::string();
  return m_text.substr(dot + 1);
}

File::Path& File::Path::SetExt(std::string_view ext) {
  size_t start = LastStart(m_text);
  size_t dot = m_text.rfind('.');
  if (dot != std::string::npos && dot >= start) m_text.erase(dot);
  if (!ext.empty() && ext[0] == '.') ext.remove_prefix(1);
  if (!ext.empty()) {
    m_text += '.';
    m_text.append(ext);
  }
  return *this;
}

bool File::Path::IsExt(std::string_view ext) const {
  if (!ext.empty() && ext[0] == '.') ext.remove_prefix(1);
  if (ext.empty()) return GetExt().empty();
  std::string_view name = std::string_view(m_text).substr(LastStart(m_text));
  if (name.size() < ext.size() + 1) return false;
  std::string_view tail = name.substr(name.size() - ext.size());
  return name[name.size() - ext.size() - 1] == '.' && CompareNoCase(tail, ext) == 0;
}

std::string File::Path::GetFileName() const { return m_text.substr(LastStart(m_text)); }

File::Path& File::Path::RemoveFileName() {
  size_t start = LastStart(m_text);
  if (start == 0) {
    m_text.clear();
  } else if (start == 1) {
    m_text.erase(1);  // keep the root separator
  } else {
    m_text.erase(start - 1);
  }
  return *this;
}

File::Path& File::Path::ReplaceForwardSlashes() {
  std::replace(m_text.begin(), m_text.end(), '/', '\\');
  return *this;
}

File::Path& File::Path::Normalise() {
  bool absolute = !m_text.empty() && IsSep(m_text[0]);
  std::vector<std::string_view> out;
  std::string source = m_text;
  for (std::string_view part : SplitComponents(source)) {
    if (part == ".") continue;
    if (part == "..") {
      if (!out.empty() && out.back() != "..") {
        out.pop_back();
        continue;
      }
      if (absolute) continue;  // nothing above the root
    }
    out.push_back(part);
  }
  std::string text;
  if (absolute) text.push_back('/');
  for (size_t i = 0; i < out.size(); ++i) {
    if (i) text += '/';
    text.append(out[i]);
  }
  if (text.empty() && !source.empty()) text.push_back('.');
  m_text = std::move(text);
  return *this;
}

std::string File::Path::ExtractFirstPath() {
  size_t b = 0;
  while (b < m_text.size() && IsSep(m_text[b])) ++b;
  size_t e = b;
  while (e < m_text.size() && !IsSep(m_text[e])) ++e;
  std::string first = m_text.substr(b, e - b);
  size_t rest = e;
  while (rest < m_text.size() && IsSep(m_text[rest])) ++rest;
  m_text.erase(0, rest);
  return first;
}

bool File::Path::MakeRelativeTo(const Path& base) {
  std::vector<std::string_view> mine = SplitComponents(m_text);
  std::vector<std::string_view> theirs = SplitComponents(base.m_text);
  if (IsAbsolute() != base.IsAbsolute() || theirs.size() > mine.size()) return false;
  for (size_t i = 0; i < theirs.size(); ++i)
    if (CompareNoCase(mine[i], theirs[i]) != 0) return false;
  std::string text;
  for (size_t i = theirs.size(); i < mine.size(); ++i) {
    if (!text.empty()) text += '/';
    text.append(mine[i]);
  }
  m_text = std::move(text);
  return true;
}

// ---- Find ----

bool MatchWildcard(std::string_view pattern, std::string_view name) {
  if (pattern == "*.*") pattern = "*";
  // Iterative match with one backtrack point: linear in practice, no recursion.
  size_t p = 0, n = 0, starP = std::string_view::npos, starN = 0;
  auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
  while (n < name.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      starP = p++;
      starN = n;
    } else if (p < pattern.size() && (pattern[p] == '?' || lower(pattern[p]) == lower(name[n]))) {
      ++p;
      ++n;
    } else if (starP != std::string_view::npos) {
      p = starP + 1;
      n = ++starN;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

File::Find::Find(std::string_view pattern) {
  size_t cut = std::string_view::npos;
  for (size_t i = pattern.size(); i-- > 0;)
    if (IsSep(pattern[i])) {
      cut = i;
      break;
    }
  std::string_view folder =
      cut == std::string_view::npos ? std::string_view(".") : pattern.substr(0, cut == 0 ? 1 : cut);
  std::string_view wild = cut == std::string_view::npos ? pattern : pattern.substr(cut + 1);
  if (wild.empty()) wild = "*";
  std::optional<std::string> resolved = ResolvePath(folder);
  if (!resolved) return;
  m_folder = *resolved;
  DIR* dir = ::opendir(m_folder.c_str());
  if (!dir) {
    Fail("cannot list", m_folder, errno);
    return;
  }
  while (dirent* e = ::readdir(dir)) {
    std::string_view n(e->d_name);
    if (n == "." || n == ".." || !MatchWildcard(wild, n)) continue;
    std::string full = m_folder + "/" + std::string(n);
    struct stat st;
    bool isDir = ::stat(full.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    m_entries.push_back({std::string(n), isDir});
  }
  ::closedir(dir);
  std::sort(m_entries.begin(), m_entries.end(), [](const Entry& a, const Entry& b) {
    int c = CompareNoCase(a.name, b.name);
    return c != 0 ? c < 0 : a.name < b.name;
  });
}

bool File::Find::Next() {
  if (!m_started) {
    m_started = true;
    return !m_entries.empty();
  }
  if (m_index + 1 >= m_entries.size()) {
    m_index = m_entries.size() ? m_entries.size() - 1 : 0;
    return false;
  }
  ++m_index;
  return true;
}

const std::string& File::Find::Name() const noexcept {
  static const std::string none;
  return HasEntry() ? m_entries[m_index].name : none;
}

std::string File::Find::FullPath() const { return m_folder == "/" ? "/" + Name() : m_folder + "/" + Name(); }

FolderTreeLock::FolderTreeLock(std::string_view folder) {
  const std::optional<std::string> real = File::RealPath(folder);
  if (!real) return;
  // Top down, the order every holder takes them in, so two never wait for each other.
  std::vector<std::string> chain;
  for (std::filesystem::path p(*real); !p.empty(); p = p.parent_path()) {
    chain.push_back(p.string());
    if (p == p.root_path()) break;
  }
  for (size_t i = chain.size(); i-- > 0;) {
    const bool own = i == 0;
    const int fd = ::open(chain[i].c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
      if (!own) continue;  // a folder above that cannot be opened is no holder's either
      Fail("cannot open", chain[i], errno);
      return;
    }
    int result;
    while ((result = ::flock(fd, own ? LOCK_EX : LOCK_SH)) != 0 && errno == EINTR) {}
    if (result != 0) {
      const int err = errno;
      ::close(fd);
      if (!own) continue;
      Fail("cannot lock", chain[i], err);
      return;
    }
    m_fds.push_back(fd);
  }
  m_locked = true;
}

FolderTreeLock::~FolderTreeLock() {
  for (size_t i = m_fds.size(); i-- > 0;) ::close(m_fds[i]);  // closing the last descriptor unlocks
}

}  // namespace Kiv
