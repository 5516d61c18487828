// What `validate` tells about assets and installations as users meet them: a
// schema folder that lacks files, a script that does not compile or link,
// legacy assets that the upgrade converts, a data file holding a NUL byte, a
// config file named in place of its folder, and stale or damaged libraries.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "ProgramFixture.h"
#include "config/ScriptCache.h"
#include "foundation/ScriptFileBuffer.h"
#include "kiv/File.h"
#include "tests/graphics/mesh/MeshFixture.h"

namespace {

// A mesh of one quad with the attachment points named (a skeleton takes an
// animation).
std::string MeshWith(const std::vector<std::string>& points, bool skeleton = false) {
  MeshFixture::Mesh mesh;
  mesh.chunks.push_back(MeshFixture::Quad(1.0f, "body.m.onetex"));
  if (skeleton) mesh.skeleton = MeshFixture::Bone("root");
  mesh.attachments.emplace();
  for (const std::string& point : points) mesh.attachments->push_back({point});
  const std::vector<uint8_t> bytes = MeshFixture::Write(mesh);
  return std::string(bytes.begin(), bytes.end());
}

class ValidateReports : public ProgramFixture {};

}  // namespace

// Only the schema files that are there and read count.
TEST_F(ValidateReports, ASchemaFolderOfOneFileJudgesTheAsset) {
  std::filesystem::remove_all(m_root + "/OBLData");
  m_tree.Write("install/OBLData/kind.txt",
               "shed { top-level 1 subpossibilities { kuid { kind \"value\" type \"kuid\" } username { kind "
               "\"value\" type \"string\" } kind { kind \"value\" type \"string\" } rovana-build { kind "
               "\"value\" type \"float\" } } }\n");
  const std::string shed =
      Write("shed/config.txt", "kuid <kuid:523:9001>\nkind shed\nusername \"Shed\"\nrovana-build 3.4\n");
  // The files that are not there are named, without counting against the asset.
  const std::string noInheritance = "; The installation has no schema file '" + m_root +
                                    "/OBLData/inheritance.txt'; its definitions are missing.\n";
  EXPECT_EQ(Run({"validate", shed}), 0);
  EXPECT_EQ(m_last, noInheritance + "; The installation has no schema file '" + m_root +
                        "/OBLData/container.txt'; its definitions are missing.\nOK (0 Errors,0 Warnings)\n");
  // A file that is there but does not read is named before the findings.
  m_tree.Write("install/OBLData/container.txt", "mesh-table\n{\n");
  EXPECT_EQ(Run({"validate", shed}), 0);
  EXPECT_EQ(m_last, noInheritance + "; The schema file '" + m_root +
                        "/OBLData/container.txt' does not read; its definitions are missing.\n"
                        "OK (0 Errors,0 Warnings)\n");
}

// A syntax error's lines are printed as lines, naming the file as it is on
// disk; a class the script lacks is named.
TEST_F(ValidateReports, ScriptErrorsReadAsTheCompilerWroteThem) {
  const std::string config = "kuid <kuid:523:9101>\nkind library\nusername \"Plain\"\nrovana-build 3.4\n";
  const std::string plain = Write("MyAsset/config.txt", config + "script \"plain\"\nclass \"Plain\"\n");
  Write("MyAsset/Plain.gs", "class Plain {\n  public void F(void) {\n    int x = ;\n  }\n};\n");
  EXPECT_EQ(Run({"validate", plain}), -1);
  EXPECT_NE(m_last.find("of asset '<kuid:523:9101> \"Plain\"'\n\n  " + plain + "/Plain.gs(3) : "),
            std::string::npos)
      << m_last;
  const std::string linked = Write("Linked/config.txt", config + "script \"linked\"\nclass \"Absent\"\n");
  Write("Linked/linked.gs", "class Present {\n};\n");
  EXPECT_EQ(Run({"validate", linked}), -1);
  EXPECT_NE(m_last.find("- Unable to link compiled script class 'Absent'.\n"), std::string::npos) << m_last;
}

// An installation whose standard class is not the text of the class library
// the program links says so after the link failure it causes.
TEST_F(ValidateReports, AStandardClassOtherThanTheProgramsIsNamed) {
  std::ifstream original(std::string(ROVANA_SOURCE_DIR) + "/scripts/gs.gs", std::ios::binary);
  std::ostringstream text;
  text << original.rdbuf() << "// edited\n";
  m_tree.Write("install/scripts/gs.gs", text.str());
  const std::string asset = Write("Obj/config.txt",
                                  "kuid <kuid:523:9102>\nkind library\nusername \"Obj\"\nrovana-build 3.4\n"
                                  "script \"obj\"\nclass \"Obj\"\n");
  Write("Obj/obj.gs", "include \"gs.gs\"\nclass Obj isclass GameObject {\n};\n");
  EXPECT_EQ(Run({"validate", asset}), -1);
  EXPECT_NE(m_last.find("- Unable to link compiled script class 'Obj'.\n; The standard class '" + m_root +
                        "/scripts/gs.gs' is not the text that this program's class library '"),
            std::string::npos)
      << m_last;
}

// A check after an include changed gives the verdict of the include as it is
// now, in the same run of the program (the command host, a batch), and so
// does the check of another asset whose script differs only in an include.
TEST_F(ValidateReports, ASecondCheckSeesTheIncludeAsItIsNow) {
  const std::string asset = Write("Tl/config.txt",
                                  "kuid <kuid:523:9103>\nkind library\nusername \"Tl\"\ncategory-class TO\n"
                                  "rovana-build 3.4\nscript \"tl\"\nclass \"Tl\"\n");
  Write("Tl/tl.gs", "include \"base.gs\"\nclass Tl isclass Base {\n};\n");
  Write("Tl/base.gs", "class Trackside {\n};\nclass Base isclass Trackside {\n};\n");
  EXPECT_EQ(Run({"validate", asset}), 0) << m_last;
  Write("Tl/base.gs", "class Trackside {\n};\nclass Base {\n};\n");
  EXPECT_EQ(Run({"validate", asset}), -1);
  EXPECT_NE(m_last.find("- Script class does not match asset kind (trackside).\n"), std::string::npos)
      << m_last;
  // Another asset of the same script text, whose include differs.
  const std::string other =
      Write("Other/config.txt",
            "kuid <kuid:523:9104>\nkind library\nusername \"Other\"\ncategory-class TO\n"
            "rovana-build 3.4\nscript \"tl\"\nclass \"Tl\"\n");
  Write("Other/tl.gs", "include \"base.gs\"\nclass Tl isclass Base {\n};\n");
  Write("Other/base.gs", "class Trackside {\n};\nclass Base isclass Trackside {\n};\n");
  EXPECT_EQ(Run({"validate", other}), 0) << m_last;
}

// A config of every kind the legacy upgrade rewrites, and one per legacy tag
// it handles, each as an old asset gives it: the shipped schema takes what
// the upgrade makes of them.
TEST_F(ValidateReports, TheShippedSchemaTakesWhatTheUpgradeWrites) {
  auto sample = [](const std::string& name) {
    std::ostringstream bytes;
    bytes << std::ifstream(std::string(ROVANA_SOURCE_DIR) + "/samples/" + name, std::ios::binary).rdbuf();
    return bytes.str();
  };
  using Files = std::vector<std::pair<std::string, std::string>>;
  const std::string plain = MeshWith({}), pm = sample("meshes/quad.pm"), png = sample("textures/brick.png");
  const std::string table = "mesh-table\n{\n  default\n  {\n    mesh \"m.im\"\n  }\n}\n";
  const Files grass = {{"grass.texture.txt", "Primary=grass.png\n"}, {"grass.png", png}};
  const struct {
    const char* kind;
    std::string tags;
    Files files;
  } kinds[] = {
      {"scenery",
       "asset-filename \"hut\"\nnight \"lit\"\nauto-animation 1\nbendy 1\nfontsize 2\nfontcolor \"1,2,3\"\n"
       "soundscript\n{\n  bell\n  {\n    sound\n    {\n      bell.wav \"\"\n    }\n  }\n}\n",
       {{"hut.im", MeshWith({"a.name0"}, true)}, {"anim.kin", "k"}, {"lit/lit.im", plain}}},
      {"scenery", "asset-filename \"hut\"\ntrackside 2\nfunction \"x\"\n", {{"hut.im", plain}}},
      {"buildable", "asset-filename \"shed\"\nnight \"lit\"\n", {{"shed.im", plain}, {"lit/lit.im", plain}}},
      {"bogey", "asset-filename \"b\"\nlight 1\n", {{"b.pm", pm}, {"b_shadow/b_shadow.pm", pm}}},
      {"traincar",
       "asset-filename \"car\"\nbogey <kuid:523:9901>\nbogey-1-r <kuid:523:9902>\nrunning-numbers 1\n",
       {{"car_body/car_body.pm", pm}, {"car_shadow/car_shadow.pm", pm}}},
      {"interior",
       "asset-filename \"cab\"\nmesh \"cab.im\"\ncamera \"1,2\"\nattachment\n{\n  seat\n  {\n    mesh "
       "\"seat.im\"\n"
       "    att \"a.seat\"\n  }\n}\n",
       {{"cab.im", MeshWith({"a.seat"})}, {"seat.im", plain}}},
      {"track", "asset-filename \"rail\"\nheight 1\nmini \"x\"\n" + table, {{"m.im", plain}}},
      {"bridge", "asset-filename \"span\"\nmini \"x\"\n" + table, {{"m.im", plain}}},
      {"mojunction",
       "asset-filename \"j\"\nmode0 \"left\"\nmode1 \"right\"\n",
       {{"left/left.im", plain}, {"right/right.im", plain}}},
      {"mocrossing",
       "asset-filename \"c\"\nmode0 \"x\"\ntrack <kuid:523:9903>\nroad <kuid:523:9904>\n",
       {{"x/x.im", MeshWith({"a.road0a", "a.road0b", "a.track0a", "a.track0b"}, true)}, {"x/anim.kin", "k"}}},
      {"turntable",
       "asset-filename \"t\"\nmode0 \"pit\"\nmode1 \"deck\"\ntrack <kuid:523:9903>\n",
       {{"pit/pit.im", MeshWith({"a.otrack0a", "a.otrack0b"})},
        {"deck/deck.im", MeshWith({"a.itrack0a", "a.itrack0b"})}}},
      {"groundtexture", "asset-filename \"grass\"\nrgb \"1,2,3\"\nlight 1\n", grass},
      {"texture", "asset-filename \"grass\"\n", grass},
      {"mesh", "light 1\n" + table, {{"m.im", plain}}},
      {"behavior", "icon-texture \"icon.jpg\"\n", {{"icon.jpg", png}}},
      {"map", "region <kuid:523:9905>\n", {}},
      {"mosignal", "trackside 2\nfunction \"x\"\ncategory-class \"SWA\"\n" + table, {{"m.im", plain}}},
      {"mospeedboard", "trackside 2\nfunction \"x\"\ncategory-class \"TO\"\n" + table, {{"m.im", plain}}},
  };
  // Tags any old config may hold, each upgraded away or into its place; a
  // bare name stands for a tag of that name (a word a careless editor left).
  std::istringstream tags(
      "name \"Old\"|.cache\n{\n}|category-region-0 \"au\"\ncategory-region-1 \"gb\"|category-era-0 \"1950\"|"
      "license \"\"|rgb \"255,0\"|script \"main\"\nclass \"Main\"|icon-texture \"icon.jpg\"|region "
      "\"EU\"|category-region \"EU\"|"
      "description \"A shed\"\nis \"x\"|thumbnail|__filename|__dir|type|rem|licence|disclaimer:|licence:|"
      "licence:-|name-ru|name-es|name-fr|name-pl|name-de|name-it|name-cz|name-cn|name-nl|name-hu|origin|"
      "objremarks|origregion|orgname|origname|melko|company|rovana|rovana_build|train-build|version|obsolete|"
      "auteur|organization|user-name|description:|asset|asset-kind|by|you|this|the|these|-|all|copyright|use|"
      "have|check|only|keep|for|in|alternate|feel|no|contact|created|//|*|_|123|it's");
  int number = 0;
  auto check = [&](const std::string& kind, const std::string& tags, const Files& files) {
    const std::string asset = "legacy" + std::to_string(++number);
    for (const auto& [name, bytes] : files) Write(asset + "/" + name, bytes);
    Run({"validate",
         Write(asset + "/config.txt", "kuid <kuid:523:" + std::to_string(9500 + number) + ">\nkind " + kind +
                                          "\nusername \"Legacy\"\nrovana-build 2.4\n" + tags + "\n")});
    EXPECT_EQ(m_last.find("- "), std::string::npos) << kind << "\n" << tags << "\n" << m_last;
  };
  for (const auto& [kind, tags, files] : kinds) check(kind, tags, files);
  for (std::string tag; std::getline(tags, tag, '|');)
    check("library", tag.find_first_of(" \n") == std::string::npos ? tag + " \"x\"" : tag,
          {{"icon.jpg", png}, {"main.gs", "class Main {\n};\n"}});
  // A container where the schema defines a value is named with its place.
  const std::string odd = Write("odd/config.txt",
                                "kuid <kuid:523:9204>\nkind library\nusername \"Odd\"\n"
                                "rovana-build 3.4\nauthor\n{\n  name \"x\"\n}\n");
  EXPECT_EQ(Run({"validate", odd}), -1);
  EXPECT_NE(
      m_last.find("- The schema gives the container 'author' in 'library' the unhandled kind 'value'.\n"),
      std::string::npos)
      << m_last;
}

// A NUL byte in a data file costs only the rest of its line; a config file
// named in place of its folder stands for the folder.
TEST_F(ValidateReports, DataFilesAndConfigPathsAsUsersGiveThem) {
  m_tree.Write("install/OBLData/regions.txt", std::string("00 Any region\nAustralia\0junk\nBritain\n", 38));
  const std::string shed = Write("shed/config.txt",
                                 "kuid <kuid:523:9301>\nkind library\nusername \"Shed\"\n"
                                 "rovana-build 3.4\ncategory-region \"Britain\"\n");
  for (const std::string& given : {shed, shed + "/config.txt"}) {
    EXPECT_EQ(Run({"validate", given}), 0);
    EXPECT_EQ(m_last, "OK (0 Errors,0 Warnings)\n");
  }
}

namespace {

const char* const kClib =
    "include \"helper.gs\"\nclass CLib {\n  public int F(void) { Helper h = new Helper(); "
    "return h.Get(); }\n};\n";
const std::string kHelper =
                      "include \"deep.gs\"\nclass Helper {\n  public int Get(void) { Deep d = new Deep(); "
                      "return d.Get(); }\n};\n",
                  kDeep = "class Deep {\n  public int Get(void) { return 5; }\n};\n";

// Each check in a process of its own, as users run them: nothing a run
// loaded outlives it.
class CachedLibraries : public ValidateReports {
protected:
  int Validate(const std::string& folder) {
    setenv("ROVANA_ROOT", m_root.c_str(), 1);
    setenv("ROVANA_USERDATA", m_userData.c_str(), 1);
    const int code = WaitProgram(StartProgram({"validate", folder}, m_tree.Path("out")));
    unsetenv("ROVANA_ROOT");
    unsetenv("ROVANA_USERDATA");
    EXPECT_TRUE(Kiv::File::ReadWholeFile(m_tree.Path("out"), m_last));
    return code;
  }
  // An asset whose clib.gs includes helper.gs, which includes deep.gs.
  std::string Asset(const std::string& tags = "rovana-build 3.4\nscript \"clib\"\nclass \"CLib\"\n") {
    Write("Inc/clib.gs", kClib);
    Write("Inc/helper.gs", kHelper);
    Write("Inc/deep.gs", kDeep);
    return Write("Inc/config.txt", "kuid <kuid:523:9401>\nkind library\nusername \"Inc\"\n" + tags);
  }
};

}  // namespace

// A library is made again when a source it includes changes, directly or
// through another include, by a comment as by a real change.
TEST_F(CachedLibraries, AnEditedIncludeMakesTheLibraryAgain) {
  const std::string asset = Asset();
  EXPECT_EQ(Validate(asset), 0) << m_last;
  Write("Inc/helper.gs", kHelper + "// a comment\n");
  EXPECT_EQ(Validate(asset), 0) << m_last;
  Write("Inc/deep.gs", kDeep + "// a comment\n");
  EXPECT_EQ(Validate(asset), 0) << m_last;
  Write("Inc/deep.gs", "class Deep {\n  public int Got(void) { return 5; }\n};\n");
  EXPECT_EQ(Validate(asset), 255);
  EXPECT_NE(m_last.find("/Inc/helper.gs(3) : function Get not declared"), std::string::npos) << m_last;
}

// A cached library cut short or changed after it was written is compiled again.
TEST_F(CachedLibraries, ADamagedCachedLibraryIsCompiledAgain) {
  const std::string asset = Asset();
  EXPECT_EQ(Validate(asset), 0) << m_last;
  const std::string library = m_userData + "/cache/libraries/523_9401_0/" +
                              ScriptCacheFileName(ScriptSourceChecksum(kClib), ScriptPathChecksum("clib.gs"));
  std::string whole;
  ASSERT_TRUE(Kiv::File::ReadWholeFile(library, whole));
  std::string flipped = whole;
  flipped[flipped.find("CLib")] ^= 1;
  for (const std::string& damaged : {whole.substr(0, 32), whole.substr(0, whole.size() - 1), flipped}) {
    ASSERT_TRUE(Kiv::File::WriteWholeFile(library, damaged));
    EXPECT_EQ(Validate(asset), 0) << damaged.size() << "\n" << m_last;
  }
}

// An old config's tags name the script class; a script without a class says
// which tag is missing.
TEST_F(CachedLibraries, LegacyScriptTagsNameTheClass) {
  EXPECT_EQ(Run({"validate", Asset("rovana-build 2.8\nscriptlibrary \"clib\"\nclasslibrary \"CLib\"\n")}), 0)
      << m_last;
  EXPECT_EQ(Run({"validate", Asset("rovana-build 2.8\nscript \"clib\"\n")}), -1);
  EXPECT_NE(m_last.find("- The config names the script 'clib.gs' but no class: its tag 'class' is missing."),
            std::string::npos)
      << m_last;
}
