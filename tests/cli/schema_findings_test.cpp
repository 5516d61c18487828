// What `validate` makes of values as editors write them (build numbers,
// category codes, list files with a byte-order mark), and findings that name
// what they are about.
#include <gtest/gtest.h>

#include <filesystem>

#include "ProgramFixture.h"
#include "kiv/File.h"

namespace {

class SchemaFindings : public ProgramFixture {};

}  // namespace

// A build number past the float range is refused by name; a category code
// reads the same without regard to case in the config and the script check;
// a list file saved with a byte-order mark keeps its first entry.
TEST_F(SchemaFindings, BuildNumbersCategoryCaseAndMarkedListsReadAsWritten) {
  std::string list;
  ASSERT_TRUE(Kiv::File::ReadWholeFile(m_root + "/OBLData/categoryclass.txt", list));
  m_tree.Write("install/OBLData/categoryclass.txt", "\xEF\xBB\xBF" + list);
  Write("car/car.gs",
        "class Trackside {\n};\nclass Vehicle isclass Trackside {\n};\nclass Car isclass Vehicle {\n};\n");
  auto run = [&](const std::string& tags) {
    return Run({"validate",
                Write("car/config.txt", "kuid <kuid:523:9601>\nkind library\nusername \"Car\"\n" + tags)});
  };
  for (const std::string build : {"3.5e38", "inf"}) {
    EXPECT_EQ(run("rovana-build " + build + "\n"), -1);
    EXPECT_EQ(m_last, "- The build number '" + build +
                          "' in \"rovana-build\" is not a finite number.\nOK (1 Errors,0 Warnings)\n");
  }
  for (const char* tags :
       {"category-class \"tr;tv\"\nscript \"car\"\nclass \"Car\"\n", "category-class \"TR\"\n"}) {
    EXPECT_EQ(run(std::string("rovana-build 3.4\n") + tags), 0);
    EXPECT_EQ(m_last, "OK (0 Errors,0 Warnings)\n") << tags;
  }
}

// A finding whose text names no value is followed by a line naming it; a
// finding about the asset's root names its kind.
TEST_F(SchemaFindings, FindingsNameWhatTheyAreAbout) {
  // The sample quad and its texture.
  for (const char* file : {"meshes/quad.im", "textures/brick.png", "textures/brick.texture.txt"}) {
    std::string bytes;
    ASSERT_TRUE(Kiv::File::ReadWholeFile(std::string(ROVANA_SOURCE_DIR) + "/samples/" + file, bytes));
    Write("car/" + Kiv::File::Path(file).GetFileName(), bytes);
  }
  m_tree.Write("install/OBLData/kind.txt",
               "library { top-level 1 inherit { asset-base 1 } }\n"
               "traincar { top-level 1 inherit { vehicle-base 1 } }\n");
  const std::string noKind =
      "- The kind of this asset has no definition in the schema.\n; The schema has no kind '";
  const std::pair<std::string, std::string> cases[] = {
      {"kind scenry\nrovana-build 3.4\n", noKind + "scenry'.\nOK (1 Errors,0 Warnings)\n"},
      {"kind track\n",
       "! This asset is of a build older than 2.7 and is obsolete.\n" + noKind +
           "obsolete-track', which the config's kind 'track' stands for.\nOK (1 Errors,1 Warnings)\n"},
      {"kind library\nrovana-build 3.4\ncategory-class \"BS\"\n",
       "- The tag 'category-class' in 'library' has no value chosen.\n; 'BS' is not in the list "
       "'categoryclass.txt'.\nOK (1 Errors,0 Warnings)\n"},
      {"kind traincar\nrovana-build 3.4\npassenger-entry \"a.door\"\nmesh-table\n{\n  default\n  {\n    mesh "
       "\"quad.im\"\n  }\n  shadow\n  {\n    mesh \"quad.im\"\n  }\n}\n",
       "- In 'traincar' the tag 'passenger-entry' names 'a.door', which is not an attachment point of the "
       "mesh.\nOK (1 Errors,0 Warnings)\n"},
  };
  for (const auto& [config, out] : cases) {
    EXPECT_EQ(
        Run({"validate", Write("car/config.txt", "kuid <kuid:523:9701>\nusername \"Named\"\n" + config)}),
        -1);
    EXPECT_EQ(m_last, out) << config;
  }
  // Without its kinds file, the installation's missing file is named once.
  std::filesystem::remove(m_root + "/OBLData/kind.txt");
  EXPECT_EQ(Run({"validate", m_userData + "/editing/car"}), -1);
  EXPECT_EQ(m_last, "; The installation has no schema file '" + m_root +
                        "/OBLData/kind.txt'; its definitions are "
                        "missing.\n" +
                        noKind + "traincar'.\nOK (1 Errors,0 Warnings)\n");
}
