#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <cctype>
#include <set>
#include <sstream>

#include "ConfigFixture.h"
#include "config/TagNames.h"
#include "config/TagPrototype.h"

using OBLLib::Container;
using OBLLib::DataManager;
namespace tn = OBLLib::tn;

namespace {

const std::string kSource = ROVANA_SOURCE_DIR;

class SampleSchemaTest : public ConfigFixture {};

// The schema we ship: every kind loads without a finding, and every name it
// refers to (inherited definitions, element types, source lists) exists.
TEST_F(SampleSchemaTest, ShippedSchemaIsSelfConsistent) {
  // A copy: the schema manager writes the personal details back at the end.
  std::filesystem::copy(kSource + "/samples/install/OBLData", m_dir,
                        std::filesystem::copy_options::recursive);
  EXPECT_TRUE(DataManager::Create(Root().c_str()));
  DataManager* dm = DataManager::Instance();
  ASSERT_TRUE(dm->LoadSchema());
  const SoupRef& schema = dm->Schema();
  size_t kinds = 0;
  for (size_t i = 0; i < schema.CountTags(); ++i) {
    const Kiv::PString name = schema.GetIndexedTagName(i);
    const SoupRef def = schema.GetIndexedSoup(i);
    SoupRef inherit = def.GetNamedSoup(tn::inherit);
    for (size_t j = 0; j < inherit.CountTags(); ++j)
      EXPECT_TRUE(schema.GetNamedSoup(inherit.GetIndexedTagName(j)))
          << name.Str() << " inherits a missing definition";

    Container c;
    c.type = c.name = name;
    c.LoadDefinition(def, true);
    kinds += def.GetNamedTagAsInt(tn::top_level) != 0;
    for (size_t j = 0; j < c.elementTypeNames.size(); ++j) {
      if (c.elementTypeNames[j] == tn::element) continue;  // the "kind" word of an array element
      EXPECT_TRUE(c.elementDefinitions[j]) << name.Str() << ": no definition " << c.elementTypeNames[j].Str();
    }
    // A source list that is not a registry (where combo boxes file their
    // tags) is a data file. Inherited entries are checked with their own
    // definition.
    const SoupRef entries = def.GetNamedSoup(tn::subpossibilities);
    for (size_t j = 0; j < entries.CountTags(); ++j) {
      const OBLLib::TagPrototype entry(entries.GetIndexedSoup(j));
      const Kiv::PString& source = entry.source;
      const bool registry =
          entry.typeCode == OBLLib::Tag::kComboBox && (source == tn::attachment || source == tn::mesh_table ||
                                                       source == tn::attached_track || source == tn::queues);
      if (!source.IsEmpty() && !registry) {
        EXPECT_NE(dm->GetDataFile(source), nullptr) << name.Str() << ": no list " << source.Str();
      }
    }
  }
  EXPECT_GE(kinds, 15u);
  for (const char* kind : {"scenery", "mesh", "traincar", "track", "bogey", "bridge", "scenery-trackside"})
    EXPECT_NE(schema.GetNamedSoup(Kiv::PString(kind)).GetNamedTagAsInt(tn::top_level), 0) << kind;
  for (const char* container : {"mesh-table", "thumbnails", "kuid-table", "string-table"})
    EXPECT_TRUE(schema.GetNamedSoup(Kiv::PString(container))) << container;
  EXPECT_TRUE(EH().GetEntries().empty()) << EH().GetEntries().front().text.Str();
}

// A run that changes nothing leaves the shipped personal details as they are.
TEST_F(SampleSchemaTest, ShutDownWritesTheShippedPersonalDetailsBackUnchanged) {
  const std::string shipped = kSource + "/samples/install/OBLData/personalDetails.txt";
  std::filesystem::copy_file(shipped, m_dir / "personalDetails.txt");
  Start(false);
  DataManager::Destroy();
  const std::string before = ReadFile(shipped);
  EXPECT_FALSE(before.empty());
  EXPECT_EQ(ReadFile(m_dir / "personalDetails.txt"), before);
}

// Every message key the library reports has an English text.
TEST(SampleStrings, EveryConfigMessageKeyHasAText) {
  std::set<std::string> keys;
  for (const auto& file : std::filesystem::directory_iterator(kSource + "/config")) {
    const std::string s = ReadFile(file.path());
    for (size_t at = s.find("$obl_"); at != std::string::npos; at = s.find("$obl_", at + 1)) {
      size_t end = at + 5;
      while (end < s.size() && (std::islower(static_cast<unsigned char>(s[end])) || s[end] == '_' ||
                                std::isdigit(static_cast<unsigned char>(s[end]))))
        ++end;
      keys.insert(s.substr(at, end - at));
    }
  }
  ASSERT_GE(keys.size(), 8u);
  InterfaceTextDB::SetFolder(kSource + "/samples/install/strings");
  for (const std::string& k : keys) {
    Kiv::PString text = InterfaceTextDB::Instance().GetString(Kiv::PString(k));
    EXPECT_NE(text, Kiv::PString(k)) << k << " has no text";
  }
}

}  // namespace
