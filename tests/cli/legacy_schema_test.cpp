// The shipped schema against what the legacy upgrade writes, and the two
// halves of an asset check reading a config the same way.
#include <gtest/gtest.h>

#include <filesystem>

#include "ProgramFixture.h"
#include "kiv/File.h"
#include "tests/graphics/mesh/MeshFixture.h"

namespace {

std::string Mesh(const std::vector<std::string>& points, bool skeleton = false) {
  MeshFixture::Mesh mesh;
  mesh.chunks.push_back(MeshFixture::Quad(1.0f, "body.m.onetex"));
  if (skeleton) mesh.skeleton = MeshFixture::Bone("root");
  mesh.attachments.emplace();
  for (const std::string& point : points) mesh.attachments->push_back({point});
  const std::vector<uint8_t> bytes = MeshFixture::Write(mesh);
  return std::string(bytes.begin(), bytes.end());
}

std::string Sample(const std::string& name) {
  std::string bytes;
  EXPECT_TRUE(Kiv::File::ReadWholeFile(std::string(ROVANA_SOURCE_DIR) + "/samples/" + name, bytes));
  return bytes;
}

class LegacySchema : public ProgramFixture {};

}  // namespace

// A config of every kind the upgrade rewrites, and one per legacy tag it
// handles, each as an old asset would give it: none is refused.
TEST_F(LegacySchema, EveryUpgradedConfigPassesTheShippedSchema) {
  using Files = std::vector<std::pair<std::string, std::string>>;
  const std::string plain = Mesh({}), pm = Sample("meshes/quad.pm"), png = Sample("textures/brick.png");
  const std::string table = "mesh-table\n{\n  default\n  {\n    mesh \"m.im\"\n    auto-create 1\n  }\n}\n";
  const struct {
    const char* kind;
    std::string tags;
    Files files;
  } kinds[] = {
      {"scenery",
       "asset-filename \"hut\"\nnight \"lit\"\nauto-animation 1\nbendy 1\nfontsize 2\nfontcolor \"1,2,3\"\n"
       "soundscript\n{\n  bell\n  {\n    sound\n    {\n      bell.wav \"\"\n    }\n  }\n}\n",
       {{"hut.im", Mesh({"a.name0"}, true)}, {"anim.kin", "k"}, {"lit/lit.im", plain}, {"bell.wav", "w"}}},
      {"scenery", "asset-filename \"hut\"\ntrackside 2\nfunction \"x\"\n", {{"hut.im", plain}}},
      {"buildable", "asset-filename \"shed\"\nnight \"lit\"\n", {{"shed.im", plain}, {"lit/lit.im", plain}}},
      {"bogey", "asset-filename \"b\"\nlight 1\n", {{"b.pm", pm}, {"b_shadow/b_shadow.pm", pm}}},
      {"traincar",
       "asset-filename \"car\"\nbogey <kuid:523:9901>\nbogey-1-r <kuid:523:9902>\nrunning-numbers\n{\n  0 "
       "\"1\"\n}\n",
       {{"car_body/car_body.pm", pm}, {"car_shadow/car_shadow.pm", pm}}},
      {"interior",
       "asset-filename \"cab\"\nattachment\n{\n  seat\n  {\n    mesh \"seat.im\"\n    att \"a.seat\"\n  "
       "}\n}\nmesh \"cab.im\"\n"
       "camera \"1,2\"\n",
       {{"cab.im", Mesh({"a.seat"})}, {"seat.im", plain}}},
      {"track", "asset-filename \"rail\"\nheight 1\nmini \"x\"\n" + table, {{"m.im", plain}}},
      {"bridge", "asset-filename \"span\"\nmini \"x\"\n" + table, {{"m.im", plain}}},
      {"mojunction",
       "asset-filename \"j\"\nmode0 \"left\"\nmode1 \"right\"\n",
       {{"left/left.im", plain}, {"right/right.im", plain}}},
      {"mocrossing",
       "asset-filename \"c\"\nmode0 \"x\"\ntrack <kuid:523:9903>\nroad <kuid:523:9904>\n",
       {{"x/x.im", Mesh({"a.road0a", "a.road0b"}, true)}, {"x/anim.kin", "k"}}},
      {"turntable",
       "asset-filename \"t\"\nmode0 \"pit\"\nmode1 \"deck\"\ntrack <kuid:523:9903>\n",
       {{"pit/pit.im", Mesh({"a.otrack0a", "a.otrack0b"})},
        {"deck/deck.im", Mesh({"a.itrack0a", "a.itrack0b"})}}},
      {"groundtexture",
       "asset-filename \"grass\"\nrgb \"1,2,3\"\nlight 1\n",
       {{"grass.texture.txt", "Primary=grass.png\n"}, {"grass.png", png}}},
      {"texture",
       "asset-filename \"grass\"\n",
       {{"grass.texture.txt", "Primary=grass.png\n"}, {"grass.png", png}}},
      {"mesh", "light 1\n" + table, {{"m.im", plain}}},
      {"behavior",
       "icon-texture \"icon.jpg\"\nscript \"behave\"\nclass \"Behave\"\n",
       {{"icon.jpg", png}, {"behave.gs", "class Behave {\n};\n"}}},
      {"map", "region <kuid:523:9905>\n", {}},
      {"mosignal", "trackside 2\nfunction \"x\"\ncategory-class \"SWA\"\n" + table, {{"m.im", plain}}},
      {"mospeedboard", "trackside 2\nfunction \"x\"\ncategory-class \"TO\"\n" + table, {{"m.im", plain}}},
  };
  // Tags any old config may hold; each is upgraded away or into its place.
  const char* const tags[] = {
      "name \"Old name\"",
      "thumbnail \"t.jpg\"",
      ".cache\n{\n}",
      "__filename \"x\"",
      "__dir \"x\"",
      "category-region-0 \"au\"\ncategory-region-1 \"gb\"",
      "category-era-0 \"1950\"",
      "license \"\"",
      "rgb \"255,0\"",
      "script \"main\"\nclass \"Main\"",
      "type \"x\"",
      "region \"Europe\"",
      "icon-texture \"icon.jpg\"",
      "rem \"x\"",
      "licence \"x\"",
      "disclaimer: \"x\"",
      "licence: \"x\"",
      "licence:- \"x\"",
      "name-de \"x\"",
      "origin \"x\"",
      "objremarks \"x\"",
      "origregion \"x\"",
      "orgname \"x\"",
      "origname \"x\"",
      "melko \"x\"",
      "company \"x\"",
      "rovana \"x\"",
      "rovana_build \"x\"",
      "train-build \"x\"",
      "version \"x\"",
      "obsolete \"x\"",
      "auteur \"Jean\"",
      "organization \"Org\"",
      "user-name \"U\"",
      "description: \"x\"",
      "description \"A shed\"\nthis \"x\"\nis \"x\"\nmy \"x\"",
      "asset \"x\"",
      "asset-kind \"x\"",
      "by \"x\"",
      "copyright \"x\"",
      "created \"x\"",
      "_ \"x\"",
      "123 \"x\"",
      "category-class \"BU\"",
      "category-region \"World Trees\"",
  };
  int number = 0;
  auto check = [&](const std::string& kind, const std::string& tags, const Files& files) {
    const std::string asset = "legacy" + std::to_string(++number);
    for (const auto& [name, bytes] : files) Write(asset + "/" + name, bytes);
    const std::string folder =
        Write(asset + "/config.txt", "kuid <kuid:523:" + std::to_string(9500 + number) + ">\nkind " + kind +
                                         "\nusername \"Legacy\"\nrovana-build 2.4\n" + tags + "\n");
    Run({"validate", folder});
    EXPECT_EQ(m_last.find("- "), std::string::npos) << kind << "\n" << tags << "\n" << m_last;
  };
  for (const auto& [kind, tags, files] : kinds) check(kind, tags, files);
  const Files scripts = {{"icon.jpg", png}, {"main.gs", "class Main {\n};\n"}};
  for (const char* tag : tags) check("library", tag, scripts);
}

// A build number past the float range is refused by name; a category code
// reads the same without regard to case in the config and the script check;
// a list file saved with a byte-order mark keeps its first entry.
TEST_F(LegacySchema, BuildNumbersCategoryCaseAndMarkedListsReadAsWritten) {
  std::string list;
  ASSERT_TRUE(Kiv::File::ReadWholeFile(m_root + "/OBLData/categoryclass.txt", list));
  m_tree.Write("install/OBLData/categoryclass.txt", "\xEF\xBB\xBF" + list);
  const std::string head = "kind library\nusername \"Car\"\n";
  Write("car/car.gs",
        "class Trackside {\n};\nclass Vehicle isclass Trackside {\n};\nclass Car isclass Vehicle {\n};\n");
  const struct {
    std::string config;
    int code;
    std::string out;
  } cases[] = {
      {head + "rovana-build 3.5e38\n", -1,
       "- The build number '3.5e38' in \"rovana-build\" is not a finite number.\nOK (1 Errors,0 Warnings)\n"},
      {head + "rovana-build inf\n", -1,
       "- The build number 'inf' in \"rovana-build\" is not a finite number.\nOK (1 Errors,0 Warnings)\n"},
      {head + "rovana-build 3.4\ncategory-class \"tr;tv\"\nscript \"car\"\nclass \"Car\"\n", 0,
       "OK (0 Errors,0 Warnings)\n"},
      {head + "rovana-build 3.4\ncategory-class \"TR\"\n", 0, "OK (0 Errors,0 Warnings)\n"},
  };
  for (const auto& [config, code, out] : cases) {
    EXPECT_EQ(Run({"validate", Write("car/config.txt", "kuid <kuid:523:9601>\n" + config)}), code) << config;
    EXPECT_EQ(m_last, out) << config;
  }
}

// A finding whose text names no value is followed by a line naming it; a
// finding about the asset's root names its kind.
TEST_F(LegacySchema, FindingsNameWhatTheyAreAbout) {
  const std::string head = "kuid <kuid:523:9701>\nusername \"Named\"\nrovana-build 3.4\n";
  const std::string mesh = Mesh({"a.x"});
  Write("car/body.im", mesh);
  Write("car/shadow.im", mesh);
  const struct {
    std::string config, out;
  } cases[] = {
      {"kind scenry\n",
       "- The kind of this asset has no definition in the schema.\n; The schema has no kind 'scenry'.\n"},
      {"kind track\n",  // an old track stands for the kind "obsolete-track" here
       "! This asset is of a build older than 2.7 and is obsolete.\n"
       "- The kind of this asset has no definition in the schema.\n"
       "; The schema has no kind 'obsolete-track', which the config's kind 'track' stands for.\n"},
      {"kind library\ncategory-class \"BS\"\n",
       "- The tag 'category-class' in 'library' has no value chosen.\n; 'BS' is not in the list "
       "'categoryclass.txt'.\n"},
      {"kind traincar\npassenger-entry \"a.door\"\nmesh-table\n{\n  default\n  {\n    mesh \"body.im\"\n  }\n"
       "  shadow\n  {\n    mesh \"shadow.im\"\n  }\n}\n",
       "- In 'traincar' the tag 'passenger-entry' names 'a.door', which is not an attachment point of the "
       "mesh.\n"},
  };
  std::filesystem::remove(m_root + "/OBLData/kind.txt");
  m_tree.Write("install/OBLData/kind.txt",
               "library { top-level 1 inherit { asset-base 1 } }\n"
               "traincar { top-level 1 inherit { vehicle-base 1 } }\n");
  for (const auto& [config, out] : cases) {
    const bool old = config == "kind track\n";
    EXPECT_EQ(
        Run({"validate", Write("car/config.txt",
                               old ? "kuid <kuid:523:9701>\nusername \"Named\"\n" + config : head + config)}),
        -1);
    EXPECT_EQ(m_last, out + "OK (1 Errors," + (old ? "1" : "0") + " Warnings)\n") << config;
  }
  // Without its kinds file, the installation's missing file is named once.
  std::filesystem::remove(m_root + "/OBLData/kind.txt");
  EXPECT_EQ(Run({"validate", Write("car/config.txt", head + "kind library\n")}), -1);
  EXPECT_EQ(m_last, "; The installation has no schema file '" + m_root +
                        "/OBLData/kind.txt'; its definitions are missing.\n"
                        "- The kind of this asset has no definition in the schema.\n"
                        "; The schema has no kind 'library'.\nOK (1 Errors,0 Warnings)\n");
}
