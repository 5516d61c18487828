#pragma once
// Files and paths. Lookups accept "\\" and "/" as separators and resolve each
// component without regard to case (an exact-case name wins), because stored
// paths were written for a case-insensitive file system. Nothing here throws:
// failures give false or -1, and File::LastError() says why.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Kiv {

class MappedFile;

class File {
public:
  enum class Mode {
    Read,       // existing file, read only
    Write,      // create or truncate, write only
    Append,     // create if missing, every write at the end
    ReadWrite,  // create if missing, read and write, no truncation
  };
  enum Whence { Begin = 0, Current = 1, End = 2 };

  class Path;
  class Find;

  File() = default;
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;
  ~File() { Close(); }

  // Opens a regular file (a directory is refused). Resolves the path first.
  [[nodiscard]] bool Open(std::string_view path, Mode mode);
  void Close();
  [[nodiscard]] bool IsOpen() const noexcept { return m_fd >= 0; }
  // Bytes transferred, or -1. Read gives fewer bytes only at the end.
  int64_t Read(void* buffer, size_t size);
  int64_t Write(const void* buffer, size_t size);
  [[nodiscard]] bool Seek(int64_t offset, Whence whence = Begin);
  int64_t Tell() const;
  int64_t Length() const;
  // Pushes written data to the disk.
  [[nodiscard]] bool Sync();
  const std::string& OpenPath() const noexcept { return m_path; }

  // Why the last failing call on this thread failed.
  static std::string LastError();

  [[nodiscard]] static bool Exists(std::string_view path);
  [[nodiscard]] static bool IsDirectory(std::string_view path);
  // True when the path (resolved like any other) is itself a symbolic link.
  [[nodiscard]] static bool IsSymlink(std::string_view path);
  // The path with every symbolic link followed and "." and ".." resolved;
  // empty when it does not exist.
  static std::optional<std::string> RealPath(std::string_view path);
  // An existing regular file (links followed): not a folder, pipe or device.
  [[nodiscard]] static bool IsRegularFile(std::string_view path);
  // Last change of the file's contents in seconds since 1970, or 0 when
  // the path does not exist.
  static int64_t ModificationTime(std::string_view path);
  // Size of an existing regular file, or -1.
  static int64_t FileSize(std::string_view path);
  // What one stat of the path tells, the path taken as spelled (no case matching) and
  // links followed: cheap enough for every folder of a large tree. A folder's times
  // change when entries are added, removed or renamed in it; a file's when it is written.
  struct Status {
    bool isDirectory = false;
    bool isRegular = false;
    int64_t size = 0;
    int64_t modifiedNs = 0;  // last change of the contents, in ns since 1970
    int64_t changedNs = 0;   // last change of the contents or the entry's own data
  };
  // False (out unchanged) when the path does not exist.
  [[nodiscard]] static bool GetStatus(std::string_view path, Status& out);
  // One folder's entries as spelled (no case matching), read in one pass without a
  // stat per entry: the kind comes from the listing itself (a link stays a link, not
  // followed). Unsorted. False when the folder does not list.
  enum class EntryKind : uint8_t { kFile, kFolder, kLink, kOther };
  struct ListedEntry {
    std::string name;
    EntryKind kind;
  };
  [[nodiscard]] static bool ListFolder(std::string_view folder, std::vector<ListedEntry>& out);
  // GetStatus for names inside one folder, held open: each call looks up the name alone,
  // not every folder of the path again (for checking many entries of a large tree).
  class FolderStatus {
  public:
    explicit FolderStatus(std::string_view folder);  // as spelled; IsOpen false when missing
    // The folder `name` (one component, links followed) inside an open folder.
    FolderStatus(const FolderStatus& parent, std::string_view name);
    FolderStatus(const FolderStatus&) = delete;
    FolderStatus& operator=(const FolderStatus&) = delete;
    ~FolderStatus();
    [[nodiscard]] bool IsOpen() const { return m_fd >= 0; }
    // name is relative to the folder and may hold "/"; false when it does not exist.
    [[nodiscard]] bool Get(std::string_view name, Status& out) const;
    // The open folder's own status.
    [[nodiscard]] bool GetSelf(Status& out) const;
    // The folder's entries as ListFolder gives them; once per opening (the listing moves
    // through the open folder).
    [[nodiscard]] bool List(std::vector<ListedEntry>& out) const;
    // ReadWholeFileAsSpelled for a name inside the folder, into `out` (its capacity is
    // reused). `seen`: what the file held when opened (links followed); left as is when
    // it could not be opened.
    [[nodiscard]] bool ReadFile(std::string_view name, std::string& out, uint64_t maxBytes,
                                Status& seen) const;

  private:
    int m_fd = -1;
  };
  // Puts a listing in Find's order: without regard to case, then byte order.
  static void SortListing(std::vector<ListedEntry>& entries);
  // Reads a whole regular file at exactly this on-disk path (no case matching, links
  // followed): one open, one stat, the reads and a close. Refuses folders, devices and
  // pipes, and files above maxBytes.
  [[nodiscard]] static bool ReadWholeFileAsSpelled(std::string_view path, std::string& out,
                                                   uint64_t maxBytes);
  // The same, except that a file of MappedFile::kWorthFromBytes or more is
  // mapped into `mapped` rather than read into `out` (still one open and one
  // stat): the bytes are then mapped's, else out's. For a reader that copies
  // what it keeps and reads the bytes once.
  [[nodiscard]] static bool ReadOrMapWholeFileAsSpelled(std::string_view path, std::string& out,
                                                        MappedFile& mapped, uint64_t maxBytes);
  // The same for a path looked up as ReadWholeFile looks it up (without regard
  // to case), with the same "read" test seam.
  [[nodiscard]] static bool ReadOrMapWholeFile(std::string_view path, std::string& out, MappedFile& mapped,
                                               uint64_t maxBytes);
  [[nodiscard]] static bool Unlink(std::string_view path);
  // Removes a file or a whole folder tree; true when nothing is left.
  [[nodiscard]] static bool Prune(std::string_view path);
  [[nodiscard]] static bool Rename(std::string_view from, std::string_view to);
  // Both names taken as spelled (not matched without regard to case); fails
  // rather than replace a file of the new name.
  [[nodiscard]] static bool RenameAsSpelledNoReplace(std::string_view from, std::string_view to);
  // Creates the folder and any missing parents; true when it exists after.
  [[nodiscard]] static bool CreateDirectories(std::string_view path);
  // Reads a whole regular file; refuses files above maxBytes (1 GiB unless given).
  [[nodiscard]] static bool ReadWholeFile(std::string_view path, std::vector<uint8_t>& out,
                                          uint64_t maxBytes = UINT64_C(1) << 30);
  [[nodiscard]] static bool ReadWholeFile(std::string_view path, std::string& out,
                                          uint64_t maxBytes = UINT64_C(1) << 30);
  // Replaces (or creates) the file with the bytes: writes a file without a
  // name in the same folder, syncs it and only then gives it the name, over
  // the old file, so a failure leaves the old file whole; a process killed
  // in between leaves at most a temporary name that the next write to the
  // same name removes. Without `sync` the data is not forced
  // to the disk first: readers still see the old file or the new one whole,
  // but a crash of the machine may leave the new name short; for files that
  // are made again from their sources.
  [[nodiscard]] static bool ReplaceFileAtomic(std::string_view path, const void* data, size_t size,
                                              bool sync = true);
  // The same with the file's bytes in pieces, written one after the other: a
  // caller that builds a file in parts need not join them in memory first.
  // A piece with a file descriptor is `size` bytes of that file from
  // `offset`, copied by the system without passing through this process.
  struct Piece {
    const void* data;
    size_t size;
    int fd = -1;
    uint64_t offset = 0;
  };
  [[nodiscard]] static bool ReplaceFileAtomic(std::string_view path, const std::vector<Piece>& pieces,
                                              bool sync = true);
  [[nodiscard]] static bool ReplaceFileAtomic(std::string_view path, std::string_view bytes) {
    return ReplaceFileAtomic(path, bytes.data(), bytes.size());
  }
  [[nodiscard]] static bool WriteWholeFile(std::string_view path, std::string_view bytes) {
    return ReplaceFileAtomic(path, bytes);
  }
  // ReplaceFileAtomic of the file named exactly as spelled in its (resolved)
  // folder: a file whose name differs only in case is another file, left alone.
  [[nodiscard]] static bool ReplaceFileAtomicAsSpelled(std::string_view path, const void* data, size_t size);

  // Test seam: when set, called before each step of ReplaceFileAtomic
  // ("open", "write", "sync", "rename"); returning false fails that step.
  // Also "write data", before bytes are written by ReplaceFileAtomic or a
  // ScratchFile: refused, the write fails as on a full disk (ENOSPC); and
  // "delete", before Unlink removes a file: refused as without the rights
  // (EACCES); and "read", before ReadWholeFile opens a file: refused as
  // without the rights.
  static void SetFaultInjector(std::function<bool(std::string_view step)> injector);

private:
  // The two whole-file reads as spelled; mapped null: never mapped.
  [[nodiscard]] static bool ReadOrMapAsSpelled(std::string_view path, std::string& out, MappedFile* mapped,
                                               uint64_t maxBytes);

  int m_fd = -1;
  std::string m_path;
};

// 0 when the path names an existing file or folder, -1 otherwise.
int FileExists(std::string_view path);

// The on-disk spelling of an existing path: "\\" and "/" both separate, and
// each component matches without regard to case (the exact spelling wins when
// several differ only in case). Empty when a component is missing.
std::optional<std::string> ResolvePath(std::string_view path);
// ResolvePath of base/relative where base is already an on-disk spelling: only the
// components of relative are matched without regard to case, so a missing name costs a
// look into its own folders, never a search of base's parents.
std::optional<std::string> ResolvePathBelow(std::string_view base, std::string_view relative);
// name, the last components of path (matched without regard to case, either
// separator), as the file system spells them, for messages: files are looked up
// case-blind but named as they are. name as given when path does not resolve or
// does not end in it.
std::string SpelledOnDisk(std::string_view path, std::string_view name);
// As ResolvePath for every folder; the last component keeps its given
// spelling when no file of that name exists yet. Empty when a folder is missing.
std::optional<std::string> ResolvePathForCreate(std::string_view path);

// True when a name stays inside the folder it is taken from: not empty, not
// absolute, no drive or stream (":"), and no ".." that climbs above its start.
[[nodiscard]] bool IsNameInsideFolder(std::string_view name);

// True when the real location of path (every link followed) lies inside the real
// location of folder: IsNameInsideFolder of the one taken relative to the other. False
// when either does not exist.
[[nodiscard]] bool IsInsideFolderResolved(std::string_view folder, std::string_view path);
// True when one of the components of path after its leading part base (the last one
// included) is a symbolic link. path is an on-disk spelling (see ResolvePath).
[[nodiscard]] bool PassesThroughLink(std::string_view base, std::string_view path);

// The path made absolute against the working folder with "." and ".."
// components resolved, without a trailing separator (the root keeps its own);
// the path as given, trimmed the same way, when the working folder is unknown.
std::string AbsolutePath(std::string_view path);
// True when the path is already in the form AbsolutePath gives and every normalising
// step would keep: absolute, "/" separators only, no empty, "." or ".." component and
// no trailing separator.
[[nodiscard]] bool IsPlainAbsolutePath(std::string_view path);

// The process's working folder; empty (and File::LastError) when unknown.
std::string CurrentFolder();
// Changes the process's working folder; false (and File::LastError) when it
// cannot.
[[nodiscard]] bool SetCurrentFolder(std::string_view path);
// The path of the running program itself; empty when the system cannot say.
std::string RunningProgramPath();

// A file made to replace another whole (or to be created), written by the
// caller in any order: the bytes go to a file without a name in the target's
// folder, which takes the name only at Commit, so a failure leaves the old file
// whole. File::ReplaceFileAtomic writes its pieces through one. Abandoned when
// destroyed without a Commit.
class ReplacingFile {
public:
  // Fd() is -1 (File::LastError says why) when the file cannot be made.
  // asSpelled: the file's own name is taken as given, not matched without
  // regard to case (its folders still are).
  explicit ReplacingFile(std::string_view path, bool asSpelled = false);
  ~ReplacingFile();
  ReplacingFile(const ReplacingFile&) = delete;
  ReplacingFile& operator=(const ReplacingFile&) = delete;
  int Fd() const;
  // The path it replaces, as resolved.
  const std::string& Target() const;
  // Syncs the bytes first when asked, keeps the old file's permissions and
  // gives the new file the name; false, with File::LastError, when it cannot.
  [[nodiscard]] bool Commit(bool sync);
  // Drops the new file now; returns `result`.
  [[nodiscard]] bool Abandon(bool result);

private:
  struct State;
  std::unique_ptr<State> m_state;
};

// A file without a name, seen only by this process (in memory where the
// system allows), for bytes on their way into another file: a large file is
// written out as it is made instead of being held whole until its start is
// known. Closed when destroyed.
class ScratchFile {
public:
  ScratchFile() = default;
  ScratchFile(const ScratchFile&) = delete;
  ScratchFile& operator=(const ScratchFile&) = delete;
  ~ScratchFile();
  // Adds bytes at the end (the file is made by the first call); false, with
  // File::LastError, when they could not be written.
  [[nodiscard]] bool Append(const void* data, size_t size);
  // Overwrites bytes already appended.
  [[nodiscard]] bool WriteAt(uint64_t offset, const void* data, size_t size);
  // The open file (-1 before the first Append) and the bytes appended.
  int Fd() const { return m_fd; }
  uint64_t Size() const { return m_size; }
  // Puts the bytes into a file the caller has open (not closed here), from
  // `base` on, instead of a file of its own; before the first Append. `name`:
  // the file's, for the reason a failed write gives.
  void Place(int fd, uint64_t base, std::string_view name = {}) {
    m_fd = fd;
    m_base = base;
    m_own = false;
    m_name = name;
  }
  uint64_t Base() const { return m_base; }

private:
  int m_fd = -1;
  uint64_t m_size = 0;
  uint64_t m_base = 0;
  bool m_own = true;
  std::string m_name;
};

// A regular file's bytes mapped read-only from the system's file cache, for
// reading a large file once: nothing is copied and no memory is cleared first.
// A page of zero bytes follows the file's last page, so the bytes are always
// followed by a zero byte. Should the file shrink while mapped, its pages past
// the new end read as zero bytes instead of ending the process, and Shrank()
// says so: the caller then has not read the file it opened. Unmapped when
// destroyed.
class MappedFile {
public:
  // Smaller files are better read: mapping one costs more than copying it.
  static constexpr int64_t kWorthFromBytes = 64 << 10;

  MappedFile() = default;
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;
  ~MappedFile() { Unmap(); }
  // Maps the file at exactly this path (no case matching, links followed).
  // False, with File::LastError, when it cannot be opened or mapped, is not a
  // regular file, or is larger than maxBytes.
  [[nodiscard]] bool Map(std::string_view path, uint64_t maxBytes);
  void Unmap();
  // The bytes (null when nothing is mapped, also for an empty file) and their count.
  const char* Data() const { return m_data; }
  size_t Size() const { return m_size; }
  [[nodiscard]] bool Shrank() const;

private:
  friend class File;
  // Maps the open regular file of that size (not 0); the caller closes fd.
  [[nodiscard]] bool MapOpenFile(int fd, const std::string& name, size_t size);

  char* m_data = nullptr;
  size_t m_size = 0;
  size_t m_mapped = 0;  // the bytes' pages and the zero page after them
  int m_slot = -1;      // in the table the bus-error handler reads
};

// A path value with no length limit. Both separators are understood; joins
// add "/" unless the text already ends in a separator.
class File::Path {
public:
  Path() = default;
  Path(const char* text) : m_text(text ? text : "") {}
  Path(std::string_view text) : m_text(text) {}
  Path(std::string text) : m_text(std::move(text)) {}

  const char* c_str() const noexcept { return m_text.c_str(); }
  const std::string& Str() const noexcept { return m_text; }
  std::string_view View() const noexcept { return m_text; }
  size_t Length() const noexcept { return m_text.size(); }
  [[nodiscard]] bool IsEmpty() const noexcept { return m_text.empty(); }
  [[nodiscard]] bool IsAbsolute() const noexcept;

  Path& Join(std::string_view part);
  // Appends text to the last component ("a/b" + "_x" gives "a/b_x").
  Path& AddToLast(std::string_view text);
  // Extension of the last component without the dot; "" when it has none.
  std::string GetExt() const;
  // Replaces the extension (given with or without the dot); "" removes it.
  Path& SetExt(std::string_view ext);
  // True when the last component ends with "." + ext, ignoring case; ext may
  // hold dots ("lm.txt") and may be given with its leading dot.
  [[nodiscard]] bool IsExt(std::string_view ext) const;
  // The last component.
  std::string GetFileName() const;
  // Drops the last component and the separator before it.
  Path& RemoveFileName();
  // "/" becomes "\\", the form stored in configs.
  Path& ReplaceForwardSlashes();
  // "\\" becomes "/", repeated separators and "." components go, and ".."
  // removes the component before it where there is one.
  Path& Normalise();
  // Removes the first component (and its separator) and returns it.
  std::string ExtractFirstPath();
  // Makes the path relative to base when it lies under it (components
  // compared without regard to case); false and unchanged otherwise.
  [[nodiscard]] bool MakeRelativeTo(const Path& base);

  friend bool operator==(const Path& a, const Path& b) noexcept { return a.m_text == b.m_text; }

private:
  std::string m_text;
};

// Entries of one folder whose names match a wildcard ("*" and "?", without
// regard to case; "*.*" matches every name). The folder part of the pattern is
// resolved like any path. Entries come sorted by name, "." and ".." skipped.
class File::Find {
public:
  explicit Find(std::string_view pattern);
  // Moves to the next entry; false when there are no more.
  [[nodiscard]] bool Next();
  // The current entry; empty before the first successful Next.
  const std::string& Name() const noexcept;
  std::string FullPath() const;
  [[nodiscard]] bool IsDirectory() const noexcept { return HasEntry() && m_entries[m_index].directory; }
  size_t Count() const noexcept { return m_entries.size(); }

private:
  struct Entry {
    std::string name;
    bool directory;
  };
  [[nodiscard]] bool HasEntry() const noexcept { return m_started && m_index < m_entries.size(); }
  std::string m_folder;
  std::vector<Entry> m_entries;
  size_t m_index = 0;
  bool m_started = false;
};

// Keeps the work of other processes off a folder tree while this one changes
// files in it: the folder is locked for this holder alone and each folder above
// it shared, so two holders of one tree, or of a tree and a tree inside it, take
// turns, while holders of trees side by side do not wait. The locks are the
// system's own on the folders (no lock file): they go with their process, so a
// process that was killed holds none.
class FolderTreeLock {
public:
  // Locks the tree of an existing folder, waiting while another holder has it;
  // IsLocked false (File::LastError says why) when the folder cannot be locked.
  explicit FolderTreeLock(std::string_view folder);
  ~FolderTreeLock();  // unlocks
  FolderTreeLock(const FolderTreeLock&) = delete;
  FolderTreeLock& operator=(const FolderTreeLock&) = delete;
  [[nodiscard]] bool IsLocked() const noexcept { return m_locked; }

private:
  std::vector<int> m_fds;  // the folders above, then the folder itself
  bool m_locked = false;
};

// Wildcard match of a name against "*" and "?", ignoring ASCII case.
[[nodiscard]] bool MatchWildcard(std::string_view pattern, std::string_view name);

}  // namespace Kiv
