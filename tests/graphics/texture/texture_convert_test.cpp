// Folder conversion end to end: generated texture descriptions become
// ".texture" files that decode close to their sources, and bad input gives
// results without touching the user's files.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <filesystem>

#include "foundation/InterfaceTextDB.h"
#include "TextureTestSupport.h"
#include "foundation/ResultsLog.h"
#include "kiv/File.h"
#include "graphics/texture/TextureConvert.h"

namespace {

bool AnyEntryContains(const ResultsLog& log, const std::string& needle, int severity) {
  for (const ResultsLog::Entry& e : log.Entries())
    if (e.severity == severity && e.text.find(needle) != std::string::npos) return true;
  return false;
}

std::string Dump(const ResultsLog& log) {
  std::string out;
  for (const ResultsLog::Entry& e : log.Entries()) out += std::to_string(e.severity) + " " + e.text + "\n";
  return out;
}

bool NoConversionNamesLeft(const TextureDir& dir) {
  for (const auto& e : std::filesystem::recursive_directory_iterator(dir.Root()))
    if (e.path().filename().string().find("convert-tex") != std::string::npos) return false;
  return true;
}

struct Case {
  const char* name;
  int w, h;
  uint8_t alpha;         // 255 opaque; 0 gives a masked edge; other values graded
  const char* settings;  // extra description lines
  uint32_t format;       // expected format code
  int outW, outH;        // expected level-0 size
};

// One description per compression word, with and without alpha, a normal
// map, a texture above the size limit and sizes that are not powers of two.
const Case kCases[] = {
    {"auto_opaque", 128, 64, 255, "", 10, 128, 64},
    {"auto_masked", 64, 64, 0, "", 10, 64, 64},
    {"auto_graded", 64, 64, 128, "", 12, 64, 64},
    {"hint_dxt1", 32, 32, 255, "Hint=dxt1\n", 10, 32, 32},
    {"hint_dxt1a", 32, 32, 0, "Hint=dxt1\n", 10, 32, 32},
    {"hint_dxt3", 32, 32, 128, "Hint=dxt3\n", 11, 32, 32},
    {"hint_dxt5", 32, 32, 128, "Hint=dxt5\n", 12, 32, 32},
    {"hint_none_opaque", 64, 64, 255, "Hint=none\n", 3, 64, 64},
    {"hint_none_alpha", 64, 64, 128, "Hint=none\n", 1, 64, 64},
    {"normal_map", 64, 64, 255, "NormalMap=1\n", 10, 64, 64},
    {"too_wide", 4096, 32, 255, "", 10, 2048, 16},
    {"npot_blocks", 100, 60, 255, "", 10, 100, 60},
    {"npot_odd", 100, 30, 255, "", 3, 100, 30},
    {"small_alpha", 30, 30, 128, "", 1, 30, 30},
};

uint32_t CasePixel(const Case& c, int x, int y) {
  if (std::string_view(c.name) == "normal_map") return NormalPixel(x, y, c.w, c.h);
  uint8_t a = c.alpha;
  if (c.alpha == 0)
    a = (x < c.w / 2) ? 255 : 0;  // masked: two values only
  else if (c.alpha != 255)
    a = static_cast<uint8_t>(x * 255 / std::max(1, c.w - 1));  // graded
  return Smooth(x, y, c.w, c.h, a);
}

class TextureFolder : public ::testing::Test {
protected:
  void SetUp() override {
    for (const Case& c : kCases) {
      ASSERT_TRUE(dir.Image(std::string("set/") + c.name + ".png", c.w, c.h,
                            [&](int x, int y) { return CasePixel(c, x, y); }));
      dir.Write(std::string("set/") + (c.name[0] == 'n' ? "sub/" : "") + c.name + ".texture.txt",
                std::string("Primary=") + (c.name[0] == 'n' ? "../" : "") + c.name + ".png\n" + c.settings);
    }
  }
  TextureDir dir;
};

}  // namespace

TEST_F(TextureFolder, EveryDescriptionConvertsAndDecodesCloseToItsSource) {
  // "../" climbs out of sub/, so those two descriptions are refused; put them
  // beside their images instead.
  for (const Case& c : kCases)
    if (c.name[0] == 'n') {
      std::filesystem::remove(dir.Path(std::string("set/sub/") + c.name + ".texture.txt"));
      dir.Write(std::string("set/") + c.name + ".texture.txt",
                std::string("Primary=") + c.name + ".png\n" + c.settings);
    }
  const auto before = dir.Snapshot();
  ResultsLog log;
  EXPECT_EQ(ConvertTexturesInFolder("", dir.Path("set"), log), kTextureConvertDone) << Dump(log);
  EXPECT_EQ(log.Size(), 0u) << Dump(log);
  EXPECT_TRUE(NoConversionNamesLeft(dir));

  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    TextureFile t;
    ASSERT_TRUE(ReadTextureFile(dir.Path(std::string("set/") + c.name + ".texture"), t));
    EXPECT_EQ(t.format, c.format);
    EXPECT_EQ(t.faces, 1u);
    ASSERT_EQ(t.width, static_cast<uint32_t>(c.outW));
    ASSERT_EQ(t.height, static_cast<uint32_t>(c.outH));
    // A full chain down to 1 x 1.
    EXPECT_EQ(t.levels, Kiv::TextureResource::MipCountForSize(t.width, t.height, true));
    EXPECT_EQ(t.mips.back().width, 1u);
    EXPECT_EQ(t.mips.back().height, 1u);
    // The probe of the checks takes what the converter wrote, and not a byte less.
    Kiv::TextureFileFacts facts;
    std::string why;
    const std::string path = dir.Path(std::string("set/") + c.name + ".texture");
    EXPECT_TRUE(Kiv::ProbeTextureFile(path, facts, &why)) << why;
    EXPECT_EQ(facts.format, t.format);
    EXPECT_EQ(facts.levels, t.levels);
    std::vector<uint8_t> bytes;
    ASSERT_TRUE(Kiv::File::ReadWholeFile(path, bytes));
    EXPECT_FALSE(Kiv::ProbeTextureMemory(bytes.data(), bytes.size() - 1, facts));
    std::vector<uint8_t> rgba = DecodeLevel(t.format, t.mips[0]);
    ASSERT_FALSE(rgba.empty());
    // The reference is the source scaled to the stored size.
    Kiv::Bitmap src;
    ASSERT_TRUE(src.Create(c.w, c.h, Kiv::Bitmap::FormatRGBA32));
    for (int y = 0; y < c.h; ++y)
      for (int x = 0; x < c.w; ++x) src.SetPixel(x, y, CasePixel(c, x, y));
    auto ref = Kiv::ScaleBitmap(src, c.outW, c.outH);
    ASSERT_TRUE(ref);
    const bool withAlpha = c.alpha != 255 && c.format != 3 && !(c.format == 10 && c.alpha == 255);
    double error = MeanError(
        rgba, c.outW, c.outH, [&](int x, int y) { return ref->GetPixel(x, y); }, withAlpha);
    EXPECT_LT(error, c.format < 10 ? 0.01 : 6.0);
    if (c.format == 10 && c.alpha == 0) {
      // DXT1a keeps the masked half transparent.
      EXPECT_EQ(rgba[3], 255);
      EXPECT_EQ(rgba[(static_cast<size_t>(c.outW) - 1) * 4 + 3], 0);
    }
  }

  // The user's files are as they were, byte for byte.
  auto after = dir.Snapshot();
  after.erase(
      std::remove_if(after.begin(), after.end(),
                     [](const auto& f) { return f.first.size() > 8 && f.first.ends_with(".texture"); }),
      after.end());
  EXPECT_EQ(after, before);
}

TEST_F(TextureFolder, OutputBytesDoNotDependOnTheWorkerCount) {
  // Noise gives blocks of 16 different colours, where the block coder alone
  // would leave an index to chance.
  const char* noisy[] = {"Hint=dxt1\n", "Hint=dxt1\nAlphaHint=masked\n", "Hint=dxt3\n", "Hint=dxt5\n"};
  for (int i = 0; i < 4; ++i) {
    uint32_t seed = static_cast<uint32_t>(i) + 1;
    ASSERT_TRUE(dir.Image("set/noisy" + std::to_string(i) + ".png", 96, 64, [&](int x, int y) {
      seed = seed * 1103515245u + 12345u;
      return Smooth(x, y, 96, 64, i == 1 && x < 20 ? 0 : 255 - static_cast<uint8_t>(x)) ^
             (seed >> 8 & 0x1f1f1f);
    }));
    dir.Write("set/noisy" + std::to_string(i) + ".texture.txt",
              "Primary=noisy" + std::to_string(i) + ".png\n" + noisy[i]);
  }
  ResultsLog one, many;
  SetTextureConversionWorkers(1);
  ASSERT_EQ(ConvertTexturesInFolder("", dir.Path("set"), one), kTextureConvertFailed);  // the "../" ones fail
  std::vector<std::pair<std::string, std::string>> first = dir.Snapshot();
  for (const auto& f : first)
    if (f.first.ends_with(".texture")) std::filesystem::remove(f.first);
  SetTextureConversionWorkers(8);
  ASSERT_EQ(ConvertTexturesInFolder("", dir.Path("set"), many), kTextureConvertFailed);
  SetTextureConversionWorkers(0);
  const auto second = dir.Snapshot();
  ASSERT_EQ(second.size(), first.size());
  for (size_t i = 0; i < first.size(); ++i) {
    EXPECT_EQ(second[i].first, first[i].first);
    EXPECT_TRUE(second[i].second == first[i].second) << first[i].first << " differs";
  }
  EXPECT_EQ(Dump(one), Dump(many));
}

// The message for a missing folder is checked where the command host prints it.
TEST(TextureConvert, EmptyAndMissingFolders) {
  TextureDir dir;
  dir.Write("empty/readme.txt", "no textures here");
  ResultsLog log;
  EXPECT_EQ(ConvertTexturesInFolder("", dir.Path("empty"), log), kTextureConvertDone);
  EXPECT_EQ(log.Size(), 0u);
  EXPECT_EQ(ConvertTexturesInFolder("", dir.Path("gone"), log), kTextureConvertFailed);
  EXPECT_EQ(log.ErrorCount(), 1);
}

TEST(TextureConvert, BadInputGivesResultsAndLeavesFilesAlone) {
  TextureDir dir;
  ASSERT_TRUE(dir.Image("t/good.png", 64, 64, [](int x, int y) { return Smooth(x, y, 64, 64); }));
  dir.Write("t/missing.texture.txt", "Primary=nothere.png\n");
  dir.Write("t/corrupt.png", std::string("\x89PNG\r\n\x1a\n", 8) + std::string(40, 'x'));
  dir.Write("t/corrupt.texture.txt", "Primary=corrupt.png\n");
  dir.Write("t/zero.png", std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR\0\0\0\0\0\0\0\0\x08\x06\0\0\0", 29));
  dir.Write("t/zero.texture.txt", "Primary=zero.png\n");
  dir.Write("t/unknown.texture.txt", "Primary=good.png\nSparkle=yes\n");
  dir.Write("t/badvalue.texture.txt", "Primary=good.png\nHint=dxt9\n");
  dir.Write("t/outside.texture.txt", "Primary=../../etc/passwd\n");
  dir.Write("t/absolute.texture.txt", "Primary=/etc/passwd\n");
  dir.Write("t/noprimary.texture.txt", "Hint=dxt1\n");
  ASSERT_TRUE(dir.Image("t/wide_alpha.png", 32, 16, [](int, int) { return 0xff000000u; }));
  dir.Write("t/sizes.texture.txt", "Primary=good.png\nAlpha=wide_alpha.png\n");
  dir.Write("t/ok.texture.txt", "Primary=good.png\n");
  const auto before = dir.Snapshot();

  const std::string savedTexts = InterfaceTextDB::Folder();
  InterfaceTextDB::SetFolder(std::string(ROVANA_SOURCE_DIR) + "/samples/install/strings");
  ResultsLog log;
  EXPECT_EQ(ConvertTexturesInFolder("", dir.Path("t"), log), kTextureConvertFailed);
  InterfaceTextDB::SetFolder(savedTexts);
  const char* failing[] = {"missing", "corrupt",  "zero",      "unknown", "badvalue",
                           "outside", "absolute", "noprimary", "sizes"};
  EXPECT_EQ(log.ErrorCount(), 9) << Dump(log);
  for (const char* name : failing) {
    SCOPED_TRACE(name);
    // Each job names its own file in its own reason.
    EXPECT_TRUE(AnyEntryContains(log, std::string(name) + ".texture.txt: ", ResultsLog::kInformation))
        << Dump(log);
    EXPECT_FALSE(Kiv::File::Exists(dir.Path(std::string("t/") + name + ".texture")));
  }
  EXPECT_TRUE(AnyEntryContains(log, "unknown setting 'Sparkle'", ResultsLog::kInformation));
  // A walk without a set names the folder it converts in.
  EXPECT_TRUE(AnyEntryContains(
      log, "Unable to load texture 'corrupt.texture.txt' in '" + dir.Path("t") + "'.", ResultsLog::kError))
      << Dump(log);
  EXPECT_TRUE(AnyEntryContains(log, "not inside the texture's folder", ResultsLog::kInformation));
  EXPECT_TRUE(Kiv::File::Exists(dir.Path("t/ok.texture")));
  EXPECT_TRUE(NoConversionNamesLeft(dir));
  auto after = dir.Snapshot();
  after.erase(std::remove_if(after.begin(), after.end(),
                             [](const auto& f) { return f.first.ends_with("ok.texture"); }),
              after.end());
  EXPECT_EQ(after, before);
}

TEST(TextureConvert, FailedWriteKeepsTheOldOutputWhole) {
  TextureDir dir;
  ASSERT_TRUE(dir.Image("t/a.png", 64, 64, [](int x, int y) { return Smooth(x, y, 64, 64); }));
  dir.Write("t/a.texture.txt", "Primary=a.png\n");
  dir.Write("t/a.texture", "old output");
  Kiv::File::SetFaultInjector([](std::string_view step) { return step != "rename"; });
  ResultsLog log;
  uint32_t result = ConvertTexturesInFolder("", dir.Path("t"), log);
  Kiv::File::SetFaultInjector(nullptr);
  EXPECT_EQ(result, kTextureConvertFailed);
  EXPECT_TRUE(AnyEntryContains(log, "Unable to write output file 'a.texture'", ResultsLog::kError))
      << Dump(log);
  std::string old;
  ASSERT_TRUE(Kiv::File::ReadWholeFile(dir.Path("t/a.texture"), old));
  EXPECT_EQ(old, "old output");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path("t")), {}), 3);  // no temporary left
  std::string desc;
  ASSERT_TRUE(Kiv::File::ReadWholeFile(dir.Path("t/a.texture.txt"), desc));
  EXPECT_EQ(desc, "Primary=a.png\n");
}

TEST(TextureConvert, LeftoverConversionNameIsNeverOverwritten) {
  // A conversion name left by an earlier crash beside its description: it is
  // neither overwritten nor taken for the description, which converts.
  TextureDir dir;
  ASSERT_TRUE(dir.Image("t/a.png", 16, 16, [](int x, int y) { return Smooth(x, y, 16, 16); }));
  dir.Write("t/a.texture.txt", "Primary=a.png\n");
  dir.Write("t/a.texture.convert-tex.txt", "Primary=other.png\n");
  const auto before = dir.Snapshot();
  ResultsLog log;
  EXPECT_EQ(ConvertTexturesInFolder("", dir.Path("t"), log), kTextureConvertDone) << Dump(log);
  auto after = dir.Snapshot();
  EXPECT_EQ(std::erase_if(after, [&](const auto& f) { return f.first == dir.Path("t/a.texture"); }), 1u);
  EXPECT_EQ(after, before);
}

TEST(TextureConvert, NestedFoldersAndNamedSets) {
  TextureDir dir;
  ASSERT_TRUE(dir.Image("root/local/a/b/c.png", 8, 8, [](int x, int y) { return Smooth(x, y, 8, 8); }));
  dir.Write("root/local/a/b/c.texture.txt", "Primary=c.png\n");
  dir.Write("root/local/a/empty/.keep", "");
  // A set that does not exist holds nothing.
  ResultsLog named;
  EXPECT_EQ(ConvertTexturesInFolder("no-such-set", dir.Path("root/local/a"), named), kTextureConvertFailed);
  EXPECT_EQ(named.ErrorCount(), 1) << Dump(named);
  EXPECT_FALSE(Kiv::File::Exists(dir.Path("root/local/a/b/c.texture")));

  ResultsLog plain;
  EXPECT_EQ(ConvertTexturesInFolder("", dir.Path("root/local/a"), plain), kTextureConvertDone) << Dump(plain);
  TextureFile t;
  ASSERT_TRUE(ReadTextureFile(dir.Path("root/local/a/b/c.texture"), t));
  EXPECT_EQ(t.format, 3u);  // too small to compress, opaque
  EXPECT_EQ(t.levels, 4u);
}

TEST(TextureConvert, FailedMoveBackIsReportedAndNothingIsLost) {
  TextureDir dir;
  ASSERT_TRUE(dir.Image("t/a.png", 16, 16, [](int x, int y) { return Smooth(x, y, 16, 16); }));
  dir.Write("t/a.texture.txt", "Primary=a.png\n");
  // Nothing is moved to be moved back: whenever a file is read, the
  // description is under its own name and no conversion name exists.
  int reads = 0, aside = 0;
  Kiv::File::SetFaultInjector([&](std::string_view step) {
    if (step == "read") {
      ++reads;
      if (!Kiv::File::Exists(dir.Path("t/a.texture.txt")) || NoConversionNamesLeft(dir) == false) ++aside;
    }
    return true;
  });
  ResultsLog log;
  const uint32_t result = ConvertTexturesInFolder("", dir.Path("t"), log);
  Kiv::File::SetFaultInjector(nullptr);
  EXPECT_EQ(result, kTextureConvertDone) << Dump(log);
  EXPECT_GT(reads, 0);
  EXPECT_EQ(aside, 0);
}

TEST(TextureConvert, LeftoverConversionNameIsRestoredWithAWarning) {
  TextureDir dir;
  ASSERT_TRUE(dir.Image("t/sub/a.png", 16, 16, [](int x, int y) { return Smooth(x, y, 16, 16); }));
  dir.Write("t/sub/a.texture.convert-tex.txt", "Primary=a.png\n");
  ResultsLog log;
  EXPECT_EQ(ConvertTexturesInFolder("", dir.Path("t"), log), kTextureConvertDone) << Dump(log);
  EXPECT_EQ(log.WarningCount(), 1) << Dump(log);
  EXPECT_TRUE(AnyEntryContains(log, "Restored texture description '" + dir.Path("t/sub/a.texture.txt") + "'",
                               ResultsLog::kWarning))
      << Dump(log);
  std::string desc;
  ASSERT_TRUE(Kiv::File::ReadWholeFile(dir.Path("t/sub/a.texture.txt"), desc));
  EXPECT_EQ(desc, "Primary=a.png\n");
  EXPECT_TRUE(Kiv::File::Exists(dir.Path("t/sub/a.texture")));
  EXPECT_TRUE(NoConversionNamesLeft(dir));
}

TEST(TextureConvert, ImagesLinkedFromOutsideTheFolderAreRefused) {
  TextureDir dir;
  ASSERT_TRUE(dir.Image("outside/secret.png", 16, 16, [](int x, int y) { return Smooth(x, y, 16, 16); }));
  ASSERT_TRUE(dir.Image("t/own.png", 16, 16, [](int x, int y) { return Smooth(x, y, 16, 16); }));
  std::filesystem::create_symlink(dir.Path("outside/secret.png"), dir.Path("t/linked.png"));
  std::filesystem::create_symlink(dir.Path("outside"), dir.Path("t/linkdir"));
  std::filesystem::create_symlink(dir.Path("t/own.png"), dir.Path("t/inside.png"));
  dir.Write("t/linked.texture.txt", "Primary=linked.png\n");
  dir.Write("t/viadir.texture.txt", "Primary=linkdir/secret.png\n");
  dir.Write("t/alpha.texture.txt", "Primary=own.png\nAlpha=linked.png\n");
  dir.Write("t/inside.texture.txt", "Primary=inside.png\n");
  ResultsLog log;
  EXPECT_EQ(ConvertTexturesInFolder("", dir.Path("t"), log), kTextureConvertFailed);
  EXPECT_EQ(log.ErrorCount(), 3) << Dump(log);
  for (const char* name : {"linked", "viadir", "alpha"}) {
    SCOPED_TRACE(name);
    EXPECT_TRUE(
        AnyEntryContains(log, std::string(name) + ".texture.txt: image name", ResultsLog::kInformation))
        << Dump(log);
    EXPECT_FALSE(Kiv::File::Exists(dir.Path(std::string("t/") + name + ".texture")));
  }
  EXPECT_TRUE(AnyEntryContains(log, "leads outside the converted folder", ResultsLog::kInformation));
  EXPECT_TRUE(Kiv::File::Exists(dir.Path("t/inside.texture")));  // a link that stays inside is fine
}

// A conversion killed at random moments loses nothing: the next run puts
// every description back, converts everything and leaves no temporary file.
// The conversions run in fresh copies of this test program (a fork alone
// would inherit the block decoder's idle threads).
TEST(TextureConvert, KilledConversionsLoseNothing) {
  if (const char* folder = std::getenv("ROVANA_KILLED_CONVERSION")) {  // the copy that gets killed
    ResultsLog log;
    std::_Exit(ConvertTexturesInFolder("", folder, log) == kTextureConvertDone ? 0 : 1);
  }
  TextureDir dir;
  for (int i = 0; i < 12; ++i) {
    const std::string name = "k/" + std::string(i % 3 ? "" : "sub/") + "t" + std::to_string(i);
    uint32_t seed = static_cast<uint32_t>(i) + 7;
    ASSERT_TRUE(dir.Image(name + ".png", 128, 128, [&](int x, int y) {
      seed = seed * 1103515245u + 12345u;
      return Smooth(x, y, 128, 128) ^ (seed >> 8 & 0x0f0f0f);
    }));
    dir.Write(name + ".texture.txt", "Primary=t" + std::to_string(i) + ".png\n");
  }
  const auto sources = dir.Snapshot();
  std::vector<std::string> environment;
  for (char** e = environ; *e; ++e) environment.emplace_back(*e);
  environment.push_back("ROVANA_KILLED_CONVERSION=" + dir.Path("k"));
  std::vector<char*> envp;
  for (std::string& e : environment) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::string self = "/proc/self/exe", filter = "--gtest_filter=TextureConvert.KilledConversionsLoseNothing";
  char* argv[] = {self.data(), filter.data(), nullptr};
  posix_spawn_file_actions_t quiet;  // the copy's own test output is not ours
  ::posix_spawn_file_actions_init(&quiet);
  ::posix_spawn_file_actions_addopen(&quiet, 1, "/dev/null", O_WRONLY, 0);
  ::posix_spawn_file_actions_addopen(&quiet, 2, "/dev/null", O_WRONLY, 0);
  auto runChild = [&](int killAfterMicroseconds) {
    pid_t pid = 0;
    if (::posix_spawn(&pid, "/proc/self/exe", &quiet, nullptr, argv, envp.data()) != 0) return -1;
    if (killAfterMicroseconds >= 0) {
      ::usleep(static_cast<useconds_t>(killAfterMicroseconds));
      ::kill(pid, SIGKILL);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return status;
  };
  // One whole run gives the time scale of the kills.
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(runChild(-1), 0);
  const auto whole =
      std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start).count();
  for (const auto& f : dir.Snapshot())
    if (f.first.ends_with(".texture")) std::filesystem::remove(f.first);
  std::mt19937 random(19);
  for (int i = 0; i < 20; ++i)
    runChild(static_cast<int>(std::uniform_int_distribution<long>(0, whole)(random)));
  ResultsLog log;
  EXPECT_EQ(ConvertTexturesInFolder("", dir.Path("k"), log), kTextureConvertDone) << Dump(log);
  auto after = dir.Snapshot();
  size_t outputs = 0;
  for (auto it = after.begin(); it != after.end();)
    if (it->first.ends_with(".texture")) {
      TextureFile t;
      EXPECT_TRUE(ReadTextureFile(it->first, t)) << it->first;
      ++outputs;
      it = after.erase(it);
    } else {
      ++it;
    }
  EXPECT_EQ(outputs, 12u);
  EXPECT_EQ(after, sources);  // descriptions back, images untouched, no temporary left
  ::posix_spawn_file_actions_destroy(&quiet);
}
