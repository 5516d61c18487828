#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "kiv/File.h"
#include "kiv/Status.h"
#include "kiv/String.h"
#include "kiv/TempFolder.h"

namespace fs = std::filesystem;
using Kiv::File;

namespace {

class FileTest : public ::testing::Test {
protected:
  void SetUp() override { ASSERT_FALSE(root.empty()); }
  void TearDown() override { File::SetFaultInjector(nullptr); }
  void Put(const std::string& rel, const std::string& text) {
    fs::create_directories((fs::path(root) / rel).parent_path());
    std::ofstream(fs::path(root) / rel, std::ios::binary) << text;
  }
  std::string Slurp(const std::string& rel) {
    std::string out;
    EXPECT_TRUE(File::ReadWholeFile(root + "/" + rel, out)) << File::LastError();
    return out;
  }
  Kiv::TempFolder m_temp{"kivfile"};
  std::string root = m_temp.Root();
};

TEST_F(FileTest, ResolvesEachComponentWithoutRegardToCaseAndEitherSeparator) {
  Put("Foo/Bar.TXT", "x");
  auto r = Kiv::ResolvePath(root + "/foo\\bar.txt");
  ASSERT_TRUE(r);
  EXPECT_EQ(*r, root + "/Foo/Bar.TXT");
  EXPECT_EQ(Kiv::FileExists(root + "\\FOO\\BAR.txt"), 0);
  EXPECT_EQ(Kiv::FileExists(root + "/foo/missing.txt"), -1);
  EXPECT_EQ(Kiv::FileExists(root + "/foo/bar.txt/deeper"), -1);  // a file is not a folder
  // Relative paths resolve against the working folder and stay relative.
  std::string cwd = fs::current_path().string();
  fs::current_path(root);
  auto rel = Kiv::ResolvePath("foo//./BAR.txt");
  fs::current_path(cwd);
  ASSERT_TRUE(rel);
  EXPECT_EQ(*rel, "Foo/Bar.TXT");
}

// Below a known folder only the relative part is matched without regard to case; links
// are told apart from real folders, and a real place inside a folder from one outside.
TEST_F(FileTest, ResolveBelowAFolderAndLinksOutOfIt) {
  Put("Asset/Sub/Body.IM", "x");
  Put("outside/secret", "x");
  EXPECT_EQ(Kiv::ResolvePathBelow(root + "/Asset", "sub\\body.im").value_or(""), root + "/Asset/Sub/Body.IM");
  EXPECT_FALSE(Kiv::ResolvePathBelow(root + "/Asset", "sub/missing.im"));
  EXPECT_FALSE(Kiv::ResolvePathBelow(root + "/asset", "Sub/Body.IM"));  // the base is taken as spelled
  fs::create_directory_symlink(root + "/outside", root + "/Asset/out");
  fs::create_symlink(root + "/Asset/Sub/Body.IM", root + "/Asset/in.im");
  EXPECT_TRUE(Kiv::PassesThroughLink(root, root + "/Asset/out/secret"));
  EXPECT_FALSE(Kiv::PassesThroughLink(root, root + "/Asset/Sub/Body.IM"));
  EXPECT_TRUE(Kiv::PassesThroughLink(root + "/Asset", root + "/Asset/in.im"));
  EXPECT_FALSE(Kiv::IsInsideFolderResolved(root + "/Asset", root + "/Asset/out/secret"));
  EXPECT_TRUE(Kiv::IsInsideFolderResolved(root + "/Asset", root + "/Asset/in.im"));
  EXPECT_FALSE(Kiv::IsInsideFolderResolved(root + "/Asset", root + "/Asset"));  // not inside itself
  EXPECT_FALSE(Kiv::IsInsideFolderResolved(root + "/Asset", root + "/Asset/gone"));
  Put("AssetX/f", "x");  // a sibling that shares the folder's name as a prefix
  EXPECT_FALSE(Kiv::IsInsideFolderResolved(root + "/Asset", root + "/AssetX/f"));
}

TEST_F(FileTest, ExactCaseWinsWhenNamesDifferOnlyInCase) {
  Put("dir/Name.txt", "upper");
  Put("dir/name.txt", "lower");
  Put("Dir/other.txt", "second folder");
  EXPECT_EQ(Slurp("dir/name.txt"), "lower");
  EXPECT_EQ(Slurp("dir/Name.txt"), "upper");
  EXPECT_EQ(Slurp("Dir/other.txt"), "second folder");
  // The exact folder "dir" lacks the file: its case twin "Dir" is searched next.
  EXPECT_EQ(Slurp("dir/OTHER.txt"), "second folder");
  EXPECT_EQ(*Kiv::ResolvePathForCreate(root + "/dir/new.txt"), root + "/dir/new.txt");
  // No exact match: a stable choice, the same every time.
  std::string first = Slurp("DIR/NAME.TXT");
  EXPECT_TRUE(first == "upper" || first == "lower");
  EXPECT_EQ(Slurp("DIR/NAME.TXT"), first);
}

TEST_F(FileTest, OpenReadWriteSeekAndModes) {
  File f;
  ASSERT_TRUE(f.Open(root + "/a.bin", File::Mode::Write)) << File::LastError();
  EXPECT_EQ(f.Write("hello world", 11), 11);
  EXPECT_EQ(f.Tell(), 11);
  f.Close();
  EXPECT_FALSE(f.IsOpen());
  EXPECT_EQ(f.Read(nullptr, 1), -1);

  ASSERT_TRUE(f.Open(root + "/A.BIN", File::Mode::Append));
  EXPECT_EQ(f.Write("!", 1), 1);
  f.Close();

  ASSERT_TRUE(f.Open(root + "/a.bin", File::Mode::ReadWrite));
  EXPECT_EQ(f.Length(), 12);
  ASSERT_TRUE(f.Seek(6));
  EXPECT_EQ(f.Write("W", 1), 1);
  ASSERT_TRUE(f.Seek(-6, File::End));
  char buf[32] = {};
  EXPECT_EQ(f.Read(buf, sizeof buf), 6);  // short read at the end, not an error
  EXPECT_STREQ(buf, "World!");
  f.Close();

  ASSERT_TRUE(f.Open(root + "/a.bin", File::Mode::Write));  // truncates
  EXPECT_EQ(f.Length(), 0);
}

TEST_F(FileTest, BadPathsAndFoldersGiveFailuresNotCrashes) {
  Put("sub/file.txt", "x");
  File f;
  std::string bytes;
  EXPECT_FALSE(f.Open(root + "/missing.txt", File::Mode::Read));
  EXPECT_NE(File::LastError().find("missing.txt"), std::string::npos);
  EXPECT_FALSE(f.Open(root + "/sub", File::Mode::Read));  // a folder where a file is expected
  EXPECT_NE(File::LastError().find("is a folder"), std::string::npos) << File::LastError();
  EXPECT_FALSE(f.Open(root + "/SUB", File::Mode::Write));
  EXPECT_NE(File::LastError().find("is a folder"), std::string::npos) << File::LastError();
  EXPECT_TRUE(fs::is_directory(root + "/sub"));
  EXPECT_FALSE(File::ReadWholeFile(root + "/sub", bytes));
  EXPECT_FALSE(File::ReplaceFileAtomic(root + "/sub", "data"));
  EXPECT_FALSE(f.Open(root + "/nofolder/new.txt", File::Mode::Write));
  // A named pipe is refused at once, not waited on.
  ASSERT_EQ(::mkfifo((root + "/pipe").c_str(), 0600), 0);
  EXPECT_FALSE(f.Open(root + "/pipe", File::Mode::Read));
  EXPECT_FALSE(f.Open(root + "/PIPE", File::Mode::Write));
  EXPECT_FALSE(File::ReadWholeFile(root + "/pipe", bytes));
  EXPECT_FALSE(f.Open("", File::Mode::Read));
  EXPECT_EQ(Kiv::FileExists(""), -1);
  EXPECT_EQ(Kiv::FileExists(std::string("a\0b", 3)), -1);
  // Far beyond any system limit, in one component and in many.
  std::string longName = root + "/" + std::string(5000, 'x');
  EXPECT_EQ(Kiv::FileExists(longName), -1);
  EXPECT_FALSE(f.Open(longName, File::Mode::Write));
  std::string deep = root;
  for (int i = 0; i < 3000; ++i) deep += "/d";
  EXPECT_EQ(Kiv::FileExists(deep), -1);
  EXPECT_FALSE(File::CreateDirectories(deep));
  EXPECT_FALSE(File::ReplaceFileAtomic(deep, "x"));
  EXPECT_FALSE(File::ReadWholeFile(root + "/sub/file.txt", bytes, 0));  // above the size cap
}

TEST_F(FileTest, AtomicReplaceWritesPiecesInOrder) {
  const std::string path = root + "/lib.bin";
  const std::string head = "head|", body(100000, 'b'), tail = "|tail";
  ASSERT_TRUE(File::ReplaceFileAtomic(
      path,
      {{head.data(), head.size()}, {nullptr, 0}, {body.data(), body.size()}, {tail.data(), tail.size()}}));
  EXPECT_EQ(Slurp("lib.bin"), head + body + tail);
  File::SetFaultInjector([](std::string_view s) { return s != "write"; });
  EXPECT_FALSE(File::ReplaceFileAtomic(path, {{tail.data(), tail.size()}}, false));
  File::SetFaultInjector(nullptr);
  EXPECT_EQ(Slurp("lib.bin"), head + body + tail);
  ASSERT_TRUE(File::ReplaceFileAtomic(path, std::vector<File::Piece>{}, false));
  EXPECT_EQ(Slurp("lib.bin"), "");
}

// A scratch file's bytes go into a replaced file as a piece among the others,
// from any offset; a patch overwrites bytes already appended.
TEST_F(FileTest, ScratchFileBytesGoIntoAReplacedFile) {
  Kiv::ScratchFile scratch;
  EXPECT_EQ(scratch.Fd(), -1);
  EXPECT_FALSE(scratch.WriteAt(0, "x", 1));  // nothing appended yet
  std::string body;
  for (int i = 0; i < 300000; ++i) body += static_cast<char>('a' + i % 26);
  ASSERT_TRUE(scratch.Append(body.data(), 100000));
  ASSERT_TRUE(scratch.Append(body.data() + 100000, body.size() - 100000));
  EXPECT_EQ(scratch.Size(), body.size());
  ASSERT_TRUE(scratch.WriteAt(5, "PATCH", 5));
  body.replace(5, 5, "PATCH");
  const std::string path = root + "/lib.bin";
  const std::string head = "head|", tail = "|tail";
  ASSERT_TRUE(File::ReplaceFileAtomic(path, {{head.data(), head.size()},
                                             {nullptr, body.size(), scratch.Fd(), 0},
                                             {nullptr, 7, scratch.Fd(), 123456},
                                             {tail.data(), tail.size()}}));
  EXPECT_EQ(Slurp("lib.bin"), head + body + body.substr(123456, 7) + tail);
  // A piece past the scratch file's end fails the write and keeps the old file.
  EXPECT_FALSE(File::ReplaceFileAtomic(path, {{nullptr, 10, scratch.Fd(), body.size() - 5}}, false));
  EXPECT_EQ(Slurp("lib.bin"), head + body + body.substr(123456, 7) + tail);
}

// A mapped file reads as its bytes with a zero byte after them, also when
// they end on a page boundary; what is not a regular file, or is too large,
// is refused, and an empty file maps to nothing.
TEST_F(FileTest, MappedFileHoldsTheBytesAndAZeroAfterThem) {
  const long page = ::sysconf(_SC_PAGESIZE);
  for (std::size_t size : {std::size_t(1), std::size_t(page - 1), std::size_t(page), std::size_t(3 * page),
                           std::size_t(70001)}) {
    std::string text(size, '\0');
    for (std::size_t i = 0; i < size; ++i) text[i] = static_cast<char>('A' + i % 50);
    Put("m.bin", text);
    Kiv::MappedFile mapped;
    ASSERT_TRUE(mapped.Map(root + "/m.bin", size)) << File::LastError();
    ASSERT_EQ(mapped.Size(), size);
    EXPECT_EQ(std::string_view(mapped.Data(), size), text);
    EXPECT_EQ(mapped.Data()[size], '\0') << size;
    EXPECT_FALSE(mapped.Shrank());
    EXPECT_FALSE(mapped.Map(root + "/m.bin", size - 1));  // too large now
    EXPECT_EQ(mapped.Data(), nullptr);
  }
  Put("empty.bin", "");
  Kiv::MappedFile mapped;
  EXPECT_TRUE(mapped.Map(root + "/empty.bin", 10));
  EXPECT_EQ(mapped.Data(), nullptr);
  EXPECT_EQ(mapped.Size(), 0u);
  fs::create_directories(root + "/folder");
  EXPECT_FALSE(mapped.Map(root + "/folder", 1 << 20));
  EXPECT_FALSE(mapped.Map(root + "/missing.bin", 1 << 20));
  // Far more files than can be mapped at once, one after the other.
  Put("m.bin", "abc");
  for (int i = 0; i < 100; ++i) ASSERT_TRUE(mapped.Map(root + "/m.bin", 3)) << i << File::LastError();
}

// A small file is read and a large one mapped, with the same bytes and the
// same refusals either way.
TEST_F(FileTest, ReadOrMapGivesTheBytesEitherWay) {
  const std::size_t large = Kiv::MappedFile::kWorthFromBytes;
  for (std::size_t size : {std::size_t(0), std::size_t(100), large - 1, large, large + 4097}) {
    std::string text(size, '\0');
    for (std::size_t i = 0; i < size; ++i) text[i] = static_cast<char>('a' + i % 23);
    Put("f.txt", text);
    std::string out = "stale";
    Kiv::MappedFile mapped;
    ASSERT_TRUE(File::ReadOrMapWholeFileAsSpelled(root + "/f.txt", out, mapped, size)) << size;
    EXPECT_EQ(mapped.Data() != nullptr, size >= large) << size;
    EXPECT_EQ(mapped.Data() ? std::string_view(mapped.Data(), mapped.Size()) : std::string_view(out), text);
    if (mapped.Data()) {
      EXPECT_TRUE(out.empty());
    }
    if (size == 0) continue;
    EXPECT_FALSE(File::ReadOrMapWholeFileAsSpelled(root + "/f.txt", out, mapped, size - 1)) << size;
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(mapped.Data(), nullptr);
  }
  std::string out;
  Kiv::MappedFile mapped;
  fs::create_directories(root + "/folder.txt");
  EXPECT_FALSE(File::ReadOrMapWholeFileAsSpelled(root + "/folder.txt", out, mapped, 1 << 20));
  EXPECT_FALSE(File::ReadOrMapWholeFileAsSpelled(root + "/F.TXT", out, mapped, 1 << 20));  // as spelled only
}

// A file cut short under its mapping does not end the process: the lost pages
// read as zeros and the mapping says it shrank; another mapping of the
// same file made before is told too, one of another file is not.
TEST_F(FileTest, MappedFileCutShortReadsZerosAndSaysSo) {
  const long page = ::sysconf(_SC_PAGESIZE);
  const std::string text(std::size_t(page) * 8 + 100, 'x');
  Put("cut.bin", text);
  Put("other.bin", text);
  Kiv::MappedFile mapped, other;
  ASSERT_TRUE(mapped.Map(root + "/cut.bin", text.size()));
  ASSERT_TRUE(other.Map(root + "/other.bin", text.size()));
  ASSERT_EQ(::truncate((root + "/cut.bin").c_str(), page * 2 + 10), 0);
  EXPECT_EQ(mapped.Data()[0], 'x');
  EXPECT_EQ(mapped.Data()[page * 2 + 5], 'x');
  EXPECT_EQ(mapped.Data()[page * 5], '\0');  // past the new end
  EXPECT_EQ(mapped.Data()[text.size() - 1], '\0');
  EXPECT_TRUE(mapped.Shrank());
  EXPECT_EQ(other.Data()[page * 5], 'x');
  EXPECT_FALSE(other.Shrank());
  // A new mapping starts afresh.
  ASSERT_TRUE(mapped.Map(root + "/other.bin", text.size()));
  EXPECT_FALSE(mapped.Shrank());
}

// A replacing file written out of order, part of it through a scratch file
// placed inside it: the name shows the old bytes until the commit, and a
// file dropped without one leaves them as they were.
TEST_F(FileTest, ReplacingFileTakesTheNameOnlyWhenCommitted) {
  Put("lib.bin", "old");
  const std::string path = root + "/lib.bin";
  {
    Kiv::ReplacingFile dropped(path);
    ASSERT_GE(dropped.Fd(), 0) << File::LastError();
    ASSERT_EQ(::pwrite(dropped.Fd(), "new", 3, 0), 3);
  }
  EXPECT_EQ(Slurp("lib.bin"), "old");

  Kiv::ReplacingFile file(path);
  ASSERT_GE(file.Fd(), 0) << File::LastError();
  EXPECT_EQ(file.Target(), path);
  Kiv::ScratchFile middle;
  middle.Place(file.Fd(), 5);
  ASSERT_TRUE(middle.Append("body", 4));
  ASSERT_TRUE(middle.Append("+more", 5));
  ASSERT_TRUE(middle.WriteAt(0, "B", 1));
  EXPECT_EQ(middle.Size(), 9u);
  Kiv::ScratchFile ends;
  ends.Place(file.Fd(), 0);
  ASSERT_TRUE(ends.WriteAt(0, "head|", 5));
  ASSERT_TRUE(ends.WriteAt(14, "|tail", 5));
  EXPECT_EQ(Slurp("lib.bin"), "old");
  ASSERT_TRUE(file.Commit(false)) << File::LastError();
  EXPECT_EQ(Slurp("lib.bin"), "head|Body+more|tail");
  EXPECT_FALSE(file.Commit(false));  // once only

  // A folder in the way: nothing to write into.
  fs::create_directories(root + "/folder");
  Kiv::ReplacingFile onFolder(root + "/folder");
  EXPECT_EQ(onFolder.Fd(), -1);
}

TEST_F(FileTest, AtomicReplaceWritesAndFailedStepsLeaveTheOldFileWhole) {
  std::string path = root + "/settings.txt";
  ASSERT_TRUE(File::ReplaceFileAtomic(path, "first version"));
  EXPECT_EQ(Slurp("settings.txt"), "first version");
  ::chmod(path.c_str(), 0640);

  for (const char* step : {"open", "write", "sync", "rename"}) {
    File::SetFaultInjector([step](std::string_view s) { return s != step; });
    EXPECT_FALSE(File::ReplaceFileAtomic(path, "second version that is longer")) << step;
    EXPECT_EQ(Slurp("settings.txt"), "first version") << step;
  }
  File::SetFaultInjector(nullptr);
  // No temporary files are left behind.
  EXPECT_EQ(std::distance(fs::directory_iterator(root), fs::directory_iterator()), 1);

  ASSERT_TRUE(File::ReplaceFileAtomic(root + "/SETTINGS.TXT", "second"));  // replaces the existing spelling
  EXPECT_EQ(Slurp("settings.txt"), "second");
  EXPECT_FALSE(fs::exists(root + "/SETTINGS.TXT") && !fs::equivalent(root + "/SETTINGS.TXT", path));
  struct stat st;
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);  // permissions kept
}

TEST_F(FileTest, FolderOperations) {
  ASSERT_TRUE(File::CreateDirectories(root + "/A/b/C"));
  EXPECT_TRUE(File::CreateDirectories(root + "/a/B/c/d"));  // reuses the existing spelling
  EXPECT_TRUE(fs::is_directory(root + "/A/b/C/d"));
  EXPECT_TRUE(File::IsDirectory(root + "/a/b/c"));
  Put("A/file", "x");
  EXPECT_FALSE(File::CreateDirectories(root + "/a/file/sub"));
  EXPECT_FALSE(File::IsDirectory(root + "/a/file"));
  EXPECT_EQ(File::FileSize(root + "/a/FILE"), 1);
  EXPECT_EQ(File::FileSize(root + "/a"), -1);

  EXPECT_TRUE(File::Rename(root + "/a/FILE", root + "/a/b/moved"));
  EXPECT_TRUE(fs::exists(root + "/A/b/moved"));
  EXPECT_FALSE(File::Unlink(root + "/a/b"));  // a folder is not unlinked
  EXPECT_TRUE(File::Unlink(root + "/a/b/MOVED"));
  EXPECT_FALSE(File::Unlink(root + "/a/b/moved"));
  EXPECT_TRUE(File::Prune(root + "/a"));
  EXPECT_FALSE(fs::exists(root + "/A"));
  EXPECT_TRUE(File::Prune(root + "/a"));  // nothing left is success

  // Far past 260 characters on disk, found in another case and separator.
  std::string deep = root, asked = root;
  for (char c : std::string("vwxyz")) {
    deep += '/';
    deep.append(100, c);
    asked += '\\';
    asked.append(100, static_cast<char>(c - 'a' + 'A'));
  }
  ASSERT_TRUE(File::CreateDirectories(deep));
  ASSERT_TRUE(File::ReplaceFileAtomic(deep + "/Leaf.txt", "deep"));
  EXPECT_EQ(*Kiv::ResolvePath(asked + "/leaf.TXT"), deep + "/Leaf.txt");
}

// The kinds of entry: folder, regular file, link, pipe; and the times and
// working folder that callers outside kiv read through it.
TEST_F(FileTest, EntryKindsTimesAndTheWorkingFolder) {
  Put("Dir/File.txt", "x");
  ASSERT_EQ(::symlink((root + "/Dir").c_str(), (root + "/linkdir").c_str()), 0);
  ASSERT_EQ(::symlink((root + "/Dir/File.txt").c_str(), (root + "/linkfile").c_str()), 0);
  ASSERT_EQ(::symlink((root + "/gone").c_str(), (root + "/dangling").c_str()), 0);
  ASSERT_EQ(::mkfifo((root + "/pipe").c_str(), 0600), 0);
  struct Kind {
    const char* path;
    bool directory, regular, link;
  };
  for (const Kind& k : {Kind{"dir", true, false, false}, Kind{"dir/file.TXT", false, true, false},
                        Kind{"linkdir", true, false, true}, Kind{"linkfile", false, true, true},
                        Kind{"dangling", false, false, true}, Kind{"pipe", false, false, false},
                        Kind{"missing", false, false, false}}) {
    const std::string path = root + "/" + k.path;
    EXPECT_EQ(File::IsDirectory(path), k.directory) << k.path;
    EXPECT_EQ(File::IsRegularFile(path), k.regular) << k.path;
    EXPECT_EQ(File::IsSymlink(path), k.link) << k.path;
  }

  const auto hourAgo = fs::file_time_type::clock::now() - std::chrono::hours(1);
  fs::last_write_time(root + "/Dir/File.txt", hourAgo);
  const int64_t now = static_cast<int64_t>(std::time(nullptr));
  const int64_t stamp = File::ModificationTime(root + "/dir/FILE.txt");
  EXPECT_GE(stamp, now - 3600 - 5);
  EXPECT_LE(stamp, now - 3600 + 5);
  EXPECT_EQ(File::ModificationTime(root + "/missing"), 0);

  const std::string start = Kiv::CurrentFolder();
  ASSERT_FALSE(start.empty());
  ASSERT_TRUE(Kiv::SetCurrentFolder(root + "/Dir"));
  EXPECT_EQ(fs::path(Kiv::CurrentFolder()), fs::canonical(root + "/Dir"));
  EXPECT_TRUE(File::IsRegularFile("File.txt"));  // relative to the new folder
  EXPECT_FALSE(Kiv::SetCurrentFolder(root + "/missing"));
  EXPECT_NE(File::LastError().find("missing"), std::string::npos);
  ASSERT_TRUE(Kiv::SetCurrentFolder(start));
  EXPECT_EQ(Kiv::CurrentFolder(), start);

  EXPECT_EQ(fs::path(Kiv::RunningProgramPath()).filename(), "test_kiv");
}

// Folder listings are remembered between lookups; these pin that every
// answer still matches the disk after changes made by kiv and by others.
// All at one instant an hour ago, so two folders can carry the same time.
void SetOld(const std::string& folder) {
  static const fs::file_time_type old = fs::file_time_type::clock::now() - std::chrono::hours(1);
  fs::last_write_time(folder, old);
}

TEST_F(FileTest, LookupsFollowChangesMadeBesideKiv) {
  Put("Assets/item.txt", "lower");
  SetOld(root + "/Assets");
  EXPECT_EQ(Slurp("ASSETS/ITEM.TXT"), "lower");
  EXPECT_EQ(Kiv::FileExists(root + "/assets\\other.TXT"), -1);  // remembered listing
  // A case twin that sorts first appears: the choice moves to it.
  Put("Assets/Item.txt", "upper");
  EXPECT_EQ(Slurp("ASSETS/ITEM.TXT"), "upper");
  EXPECT_EQ(Slurp("Assets/item.txt"), "lower");  // the exact spelling still wins
  Put("Assets/Other.txt", "o");
  EXPECT_EQ(Kiv::FileExists(root + "/assets\\other.TXT"), 0);
  SetOld(root + "/Assets");
  EXPECT_EQ(Kiv::FileExists(root + "/assets/OTHER.txt"), 0);
  fs::remove(root + "/Assets/Other.txt");
  EXPECT_EQ(Kiv::FileExists(root + "/assets/OTHER.txt"), -1);
  // Changes in the same instant as the listing are seen too.
  for (int i = 0; i < 50; ++i) {
    std::string name = "burst" + std::to_string(i);
    ASSERT_EQ(Kiv::FileExists(root + "/assets/" + name), -1);
    Put("Assets/" + name + "X", "");
    ASSERT_EQ(Kiv::FileExists(root + "/assets/" + name + "x"), 0) << i;
  }
  // The same relative folder name in another working folder is another folder.
  Put("other/Assets/ITEM.TXT", "elsewhere");
  for (const char* folder : {"", "/Assets", "/other", "/other/Assets"}) SetOld(root + folder);
  std::string cwd = fs::current_path().string();
  fs::current_path(root);
  auto here = Kiv::ResolvePath("assets/Item.TXT");
  fs::current_path(root + "/other");
  auto there = Kiv::ResolvePath("assets/Item.TXT");
  fs::current_path(cwd);
  ASSERT_TRUE(here && there);
  EXPECT_EQ(*here, "Assets/Item.txt");
  EXPECT_EQ(*there, "Assets/ITEM.TXT");
}

TEST_F(FileTest, LookupsFollowChangesMadeThroughKiv) {
  ASSERT_TRUE(File::CreateDirectories(root + "/Big"));
  for (int i = 0; i < 50; ++i) Put("Big/Entry" + std::to_string(i), "");
  SetOld(root + "/Big");
  EXPECT_EQ(Kiv::FileExists(root + "/big/NEW.txt"), -1);
  ASSERT_TRUE(File::ReplaceFileAtomic(root + "/big/New.txt", "n"));
  EXPECT_EQ(*Kiv::ResolvePath(root + "/BIG/NEW.TXT"), root + "/Big/New.txt");
  // Another writer's change before ours is not covered up by our own.
  Put("Big/Outside.TXT", "");
  ASSERT_TRUE(File::ReplaceFileAtomic(root + "/big/Second.txt", "s"));
  EXPECT_EQ(Kiv::FileExists(root + "/big/outside.txt"), 0);
  EXPECT_EQ(Kiv::FileExists(root + "/big/SECOND.txt"), 0);
  EXPECT_TRUE(File::CreateDirectories(root + "/big/Sub/deeper"));
  EXPECT_TRUE(File::CreateDirectories(root + "/BIG/SUB/DEEPER/x"));  // no case twin made
  EXPECT_TRUE(fs::is_directory(root + "/Big/Sub/deeper/x"));
  File f;
  ASSERT_TRUE(f.Open(root + "/big/sub/Opened.txt", File::Mode::Append));
  f.Close();
  EXPECT_EQ(Kiv::FileExists(root + "/big/SUB/opened.TXT"), 0);
  ASSERT_TRUE(File::Rename(root + "/big/new.txt", root + "/big/sub/Moved.txt"));
  EXPECT_EQ(Kiv::FileExists(root + "/big/NEW.TXT"), -1);
  EXPECT_EQ(*Kiv::ResolvePath(root + "/big/sub/MOVED.TXT"), root + "/Big/Sub/Moved.txt");
  ASSERT_TRUE(File::Rename(root + "/big/sub", root + "/big/Renamed"));
  EXPECT_EQ(Kiv::FileExists(root + "/big/SUB/moved.txt"), -1);
  EXPECT_EQ(Kiv::FileExists(root + "/big/RENAMED/moved.txt"), 0);
  EXPECT_TRUE(File::Unlink(root + "/big/renamed/MOVED.TXT"));
  EXPECT_EQ(Kiv::FileExists(root + "/big/renamed/moved.txt"), -1);
  EXPECT_TRUE(File::Prune(root + "/BIG/renamed"));
  EXPECT_EQ(Kiv::FileExists(root + "/big/renamed/deeper"), -1);
  // A folder made again under the pruned name starts empty.
  ASSERT_TRUE(File::CreateDirectories(root + "/Big/Renamed"));
  EXPECT_EQ(Kiv::FileExists(root + "/big/renamed/OPENED.txt"), -1);
  EXPECT_EQ(std::distance(fs::directory_iterator(root + "/Big"), fs::directory_iterator()), 53);
}

TEST_F(FileTest, ThreadsAddingToOneFolderEachFindTheirOwnFiles) {
  ASSERT_TRUE(File::CreateDirectories(root + "/Shared"));
  std::vector<std::thread> threads;
  std::atomic<int> missed{0};
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 100; ++i) {
        std::string name = std::to_string(t);
        name.insert(0, 1, 'T');
        name += '_';
        name += std::to_string(i);
        if (Kiv::FileExists(root + "/shared/" + name + ".txt") == 0) ++missed;
        if (i % 2 ? !File::ReplaceFileAtomic(root + "/shared/" + name + ".Txt", "x")
                  : !File::CreateDirectories(root + "/SHARED/" + name + ".Txt"))
          ++missed;
        if (Kiv::FileExists(root + "/Shared/" + name + ".TXT") != 0) ++missed;
      }
    });
  for (auto& th : threads) th.join();
  EXPECT_EQ(missed.load(), 0);
  EXPECT_EQ(std::distance(fs::directory_iterator(root + "/Shared"), fs::directory_iterator()), 400);
}

TEST_F(FileTest, FindListsMatchingEntriesSorted) {
  Put("lib/b.GSL", "");
  Put("lib/a.gsl", "");
  Put("lib/c.gs", "");
  Put("lib/sub.gsl/x", "");
  std::vector<std::string> names;
  for (File::Find f(root + "/LIB\\*.gsl"); f.Next();) {
    names.push_back(f.Name() + (f.IsDirectory() ? "/" : ""));
    EXPECT_TRUE(fs::exists(f.FullPath()));
  }
  EXPECT_EQ(names, (std::vector<std::string>{"a.gsl", "b.GSL", "sub.gsl/"}));
  File::Find all(root + "/lib/*.*");
  EXPECT_EQ(all.Count(), 4u);
  File::Find none(root + "/nowhere/*");
  EXPECT_EQ(none.Name(), "");
  EXPECT_FALSE(none.Next());
  EXPECT_EQ(none.Name(), "");

  const struct {
    std::string pattern, name;
    bool match;
  } wild[] = {{"*.txt", "config.TXT", true},
              {"con?ig*", "config.txt", true},
              {"*a*b*c", "xxaxxbxxbc", true},
              {"*.txt", "config.txt.bak", false},
              {"?", "", false},
              {"*", "", true},
              {std::string(30, '*') + "b", std::string(200, 'a'), false}};
  for (const auto& w : wild)
    EXPECT_EQ(Kiv::MatchWildcard(w.pattern, w.name), w.match) << w.pattern << " " << w.name;
}

TEST(Path, JoinExtensionsAndComponents) {
  File::Path p("assets/loco");
  p.Join("body").AddToLast("_lod0").SetExt("im");
  EXPECT_EQ(p.Str(), "assets/loco/body_lod0.im");
  EXPECT_EQ(p.GetExt(), "im");
  EXPECT_TRUE(p.IsExt(".IM"));
  EXPECT_FALSE(p.IsExt("m"));
  EXPECT_EQ(p.GetFileName(), "body_lod0.im");
  p.SetExt(".texture.txt");
  EXPECT_EQ(p.Str(), "assets/loco/body_lod0.texture.txt");
  EXPECT_TRUE(p.IsExt("texture.txt"));
  p.SetExt("");
  EXPECT_EQ(p.Str(), "assets/loco/body_lod0.texture");
  EXPECT_EQ(File::Path("a.dir/noext").GetExt(), "");  // a dot in a folder is no extension
  EXPECT_EQ(File::Path("a.dir/noext").SetExt("gs").Str(), "a.dir/noext.gs");
  EXPECT_TRUE(File::Path("x/name").IsExt(""));

  EXPECT_EQ(File::Path("a\\").Join("b").Str(), "a\\b");
  EXPECT_EQ(File::Path("a/").Join("/b").Str(), "a/b");
  EXPECT_EQ(File::Path("").Join("/abs").Str(), "/abs");
  EXPECT_EQ(File::Path("a/b/c.txt").RemoveFileName().Str(), "a/b");
  EXPECT_EQ(File::Path("/c.txt").RemoveFileName().Str(), "/");
  EXPECT_EQ(File::Path("c.txt").RemoveFileName().Str(), "");
  EXPECT_EQ(File::Path("a/b\\c").ReplaceForwardSlashes().Str(), "a\\b\\c");
  const std::pair<const char*, const char*> normal[] = {
      {"a\\\\b/./c/../d", "a/b/d"}, {"../x/..", ".."}, {"/../x", "/x"}, {"./", "."}};
  for (const auto& [in, out] : normal) EXPECT_EQ(File::Path(in).Normalise().Str(), out) << in;

  File::Path q("\\root\\folder\\file.txt");
  EXPECT_EQ(q.ExtractFirstPath(), "root");
  EXPECT_EQ(q.ExtractFirstPath(), "folder");
  EXPECT_EQ(q.Str(), "file.txt");
  EXPECT_TRUE(File::Path("C:\\x").IsAbsolute());
  EXPECT_FALSE(File::Path("x/y").IsAbsolute());

  File::Path m("Content/Assets/KUID_1/mesh/a.im");
  EXPECT_TRUE(m.MakeRelativeTo(File::Path("content\\assets\\kuid_1")));
  EXPECT_EQ(m.Str(), "mesh/a.im");
  File::Path n("content/other/a.im");
  EXPECT_FALSE(n.MakeRelativeTo(File::Path("content/assets")));
  EXPECT_EQ(n.Str(), "content/other/a.im");

  std::string huge(100000, 'p');
  File::Path h(huge);
  h.Join("q").SetExt("txt");
  EXPECT_EQ(h.Length(), huge.size() + 6);  // no length limit
}

}  // namespace

// Paths already plain come back as given; every other form goes through the full
// normalising, and both agree with the standard library's.
TEST(Path, AbsolutePathTakesPlainPathsAsTheyAreAndNormalisesTheRest) {
  const std::string cwd = std::filesystem::current_path().generic_string();
  auto reference = [&](const std::string& p) {
    std::string t = std::filesystem::absolute(p).lexically_normal().generic_string();
    while (t.size() > 1 && t.back() == '/') t.pop_back();
    return t;
  };
  for (const std::string p : {"/a", "/a/b.c/d", "/a/.hidden/..x/x..", "/a/b c/d\\e"}) {
    EXPECT_EQ(Kiv::IsPlainAbsolutePath(p), p.find('\\') == std::string::npos) << p;
    EXPECT_EQ(Kiv::AbsolutePath(p), reference(p)) << p;
  }
  for (const std::string p :
       {"/", "", "a/b", "/a/", "/a//b", "/a/./b", "/a/../b", "/a/b/..", "/a/.", "./x", "../x", "//a"}) {
    EXPECT_FALSE(Kiv::IsPlainAbsolutePath(p)) << p;
    if (!p.empty()) {
      EXPECT_EQ(Kiv::AbsolutePath(p), reference(p)) << p;
    }
  }
  EXPECT_EQ(Kiv::AbsolutePath("x/./y"), cwd + "/x/y");
}

// A listing gives every entry once with its kind, also when the names fill the read
// buffer many times over; a missing folder or a file does not list.
TEST_F(FileTest, ListingGivesEveryEntryWithItsKind) {
  std::map<std::string, File::EntryKind> expected;
  for (int i = 0; i < 400; ++i) {
    const std::string name = "entry-with-a-rather-long-name-number-" + std::to_string(i);
    if (i % 3 == 0) {
      fs::create_directories(fs::path(root) / "many" / name);
      expected[name] = File::EntryKind::kFolder;
    } else {
      Put("many/" + name, "x");
      expected[name] = File::EntryKind::kFile;
    }
  }
  ASSERT_EQ(::symlink("entry-with-a-rather-long-name-number-1", (root + "/many/link").c_str()), 0);
  expected["link"] = File::EntryKind::kLink;
  std::vector<File::ListedEntry> listed;
  ASSERT_TRUE(File::ListFolder(root + "/many", listed));
  std::map<std::string, File::EntryKind> got;
  for (const File::ListedEntry& e : listed) EXPECT_TRUE(got.emplace(e.name, e.kind).second) << e.name;
  EXPECT_EQ(got, expected);
  EXPECT_FALSE(File::ListFolder(root + "/missing", listed));
  EXPECT_TRUE(listed.empty());
  EXPECT_FALSE(File::ListFolder(root + "/many/link", listed));
}

// A folder opened inside an open one by its name alone: its status, its listing and its
// files read through it; names that are not one component, files that are not regular or
// are too large are refused, the status of what was met still given.
TEST_F(FileTest, FolderOpenedInsideAnotherListsAndReadsItsOwnEntries) {
  Put("outer/inner/config.txt", "twelve bytes");
  Put("outer/inner/big.txt", std::string(100, 'b'));
  fs::create_directories(fs::path(root) / "outer" / "inner" / "sub");
  ASSERT_EQ(::mkfifo((root + "/outer/inner/pipe").c_str(), 0600), 0);
  const File::FolderStatus outer(root + "/outer");
  ASSERT_TRUE(outer.IsOpen());
  EXPECT_FALSE(File::FolderStatus(outer, "inner/sub").IsOpen());
  EXPECT_FALSE(File::FolderStatus(outer, "missing").IsOpen());
  EXPECT_FALSE(File::FolderStatus(File::FolderStatus(outer, "inner"), "config.txt").IsOpen());
  const File::FolderStatus inner(outer, "inner");
  ASSERT_TRUE(inner.IsOpen());
  File::Status self, byPath;
  ASSERT_TRUE(inner.GetSelf(self));
  ASSERT_TRUE(File::GetStatus(root + "/outer/inner", byPath));
  EXPECT_TRUE(self.isDirectory);
  EXPECT_EQ(self.modifiedNs, byPath.modifiedNs);
  std::vector<File::ListedEntry> listed;
  ASSERT_TRUE(inner.List(listed));
  File::SortListing(listed);
  ASSERT_EQ(listed.size(), 4u);
  EXPECT_EQ(listed[0].name, "big.txt");
  EXPECT_EQ(listed[2].name, "pipe");
  EXPECT_EQ(listed[2].kind, File::EntryKind::kOther);
  EXPECT_EQ(listed[3].kind, File::EntryKind::kFolder);

  std::string bytes(1000, 'x');  // what the buffer held before is not kept
  File::Status seen;
  ASSERT_TRUE(inner.ReadFile("config.txt", bytes, 12, seen));
  EXPECT_EQ(bytes, "twelve bytes");
  EXPECT_EQ(seen.size, 12);
  EXPECT_TRUE(seen.isRegular);
  EXPECT_FALSE(inner.ReadFile("big.txt", bytes, 99, seen));
  EXPECT_TRUE(bytes.empty());
  EXPECT_EQ(seen.size, 100);                              // what was refused is still told
  EXPECT_FALSE(inner.ReadFile("pipe", bytes, 99, seen));  // and does not wait for a writer
  EXPECT_FALSE(inner.ReadFile("sub", bytes, 99, seen));
  File::Status untouched;
  untouched.size = 7;
  EXPECT_FALSE(inner.ReadFile("missing.txt", bytes, 99, untouched));
  EXPECT_EQ(untouched.size, 7);
}

// A large listing is sorted as a small one is: without regard to case, then byte order,
// bytes above 127 as unsigned, shorter names first among equal beginnings.
TEST(FileListing, LargeListingsSortLikeSmallOnes) {
  const std::string letters[] = {"a", "A", "b", "B", "\xC3\xA9", "_", "0", "Z", "z"};
  std::vector<File::ListedEntry> large;
  uint32_t seed = 12345;
  for (int i = 0; i < 300; ++i) {
    std::string name;
    for (int n = 1 + i % 4; n > 0; --n) {
      seed = seed * 1103515245u + 12345u;
      name += letters[(seed >> 16) % 9];
    }
    large.push_back({name, File::EntryKind::kFile});
  }
  File::SortListing(large);
  for (size_t i = 1; i < large.size(); ++i) {
    const int c = Kiv::CompareNoCase(large[i - 1].name, large[i].name);
    EXPECT_TRUE(c < 0 || (c == 0 && large[i - 1].name <= large[i].name))
        << i << ": '" << large[i - 1].name << "' before '" << large[i].name << "'";
  }
  std::vector<File::ListedEntry> small(large.begin(), large.begin() + 20);
  std::reverse(small.begin(), small.end());
  File::SortListing(small);
  EXPECT_TRUE(
      std::equal(small.begin(), small.end(), large.begin(),
                 [](const File::ListedEntry& a, const File::ListedEntry& b) { return a.name == b.name; }));
}

TEST_F(FileTest, AtomicReplaceRemovesTheTemporaryOfAKilledWriter) {
  // What a writer killed between naming its finished file and renaming it
  // leaves behind: the next write to the same name removes it.
  Put("out.bin", "old");
  Put("out.bin.~replace", "new but never renamed");
  ASSERT_TRUE(File::ReplaceFileAtomic(root + "/out.bin", "newer"));
  EXPECT_EQ(Slurp("out.bin"), "newer");
  EXPECT_FALSE(fs::exists(root + "/out.bin.~replace"));
  // A new name is given to the finished file directly.
  ASSERT_TRUE(File::ReplaceFileAtomic(root + "/fresh.bin", "fresh"));
  EXPECT_EQ(Slurp("fresh.bin"), "fresh");
  EXPECT_EQ(std::distance(fs::directory_iterator(root), fs::directory_iterator()), 2);
}

TEST(TempFolder, EachGetsItsOwnFolderRemovedWholeAtTheEnd) {
  std::string kept;
  {
    Kiv::TempFolder a("kivtemp"), b("kivtemp");
    ASSERT_FALSE(a.Root().empty());
    EXPECT_NE(a.Root(), b.Root());
    EXPECT_EQ(a.Write("x/y/z.txt", "zz"), a.Root() + "/x/y/z.txt");
    std::string text;
    ASSERT_TRUE(File::ReadWholeFile(a.Path("x/y/z.txt"), text));
    EXPECT_EQ(text, "zz");
    EXPECT_TRUE(File::IsDirectory(a.MakeDir("p/q")));
    kept = a.Root();
  }
  EXPECT_FALSE(File::Exists(kept));
}

// Destructors of static objects run after the main thread's thread-local
// objects are gone, and a file call that fails there must still say why.
TEST(FileAtExit, AFailureInAStaticDestructorStillSaysWhy) {
  EXPECT_EXIT(
      {
        struct SavesAtExit {
          ~SavesAtExit() {
            // Longer than a short string holds, so a freed buffer would be written.
            File g;
            const bool failed = !g.Open("/tmp/" + std::string(200, 'x') + "-settings.txt", File::Mode::Read);
            std::fputs(File::LastError().c_str(), stderr);
            std::_Exit(failed && File::LastError().find("x-settings.txt") != std::string::npos ? 7 : 1);
          }
        };
        static SavesAtExit saver;
        File f;
        (void)f.Open("/no/such/folder/at-start.txt", File::Mode::Read);
        std::exit(0);
      },
      ::testing::ExitedWithCode(7), "");
}

// A refused "write data" step fails as a full disk does: the reason names the
// file and the system's text, a Status carries it, and the old file stays whole.
TEST_F(FileTest, FullDiskWritesSayWhichFileAndWhy) {
  const std::string path = root + "/library.gsl";
  ASSERT_TRUE(File::ReplaceFileAtomic(path, "old"));
  File::SetFaultInjector([](std::string_view s) { return s != "write data"; });
  EXPECT_FALSE(File::ReplaceFileAtomic(path, "new bytes"));
  Kiv::Status failed = Kiv::Status::FromLastFileError();
  EXPECT_TRUE(failed.IsIOError());
  EXPECT_EQ(failed.ToString(), "cannot write '" + path + "': " + std::strerror(ENOSPC));

  Kiv::ReplacingFile file(path);
  Kiv::ScratchFile placed;
  placed.Place(file.Fd(), 0, path);
  ASSERT_TRUE(File::Unlink(root + "/missing") == false);  // another reason in between
  EXPECT_FALSE(placed.WriteAt(0, "x", 1));
  EXPECT_EQ(File::LastError(), "cannot write '" + path + "': " + std::strerror(ENOSPC));
  // The first failure is kept when a later one is added.
  failed.Update(Kiv::Status::NotFound("later"));
  EXPECT_EQ(failed.ToString(), "cannot write '" + path + "': " + std::strerror(ENOSPC));
  File::SetFaultInjector(nullptr);
  EXPECT_EQ(Slurp("library.gsl"), "old");
  EXPECT_TRUE(Kiv::Status().ok());
}
