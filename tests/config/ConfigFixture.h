#pragma once
// A temporary schema folder with a schema manager and error handler around
// each test, and helpers to write schema files and build soups from text.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "config/Container.h"
#include "config/DataManager.h"
#include "config/ErrorHandler.h"
#include "foundation/InterfaceTextDB.h"
#include "foundation/Soup.h"
#include "kiv/TempFolder.h"

inline std::string ReadFile(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class ConfigFixture : public ::testing::Test {
protected:
  void SetUp() override {
    InterfaceTextDB::SetFolder(std::string(ROVANA_SOURCE_DIR) + "/samples/install/strings");
    m_temp = std::make_unique<Kiv::TempFolder>("obl");
    ASSERT_FALSE(m_temp->Root().empty());
    m_dir = m_temp->Root();
    EXPECT_TRUE(OBLLib::ErrorHandler::Create());
  }
  void TearDown() override {
    OBLLib::DataManager::Destroy();
    OBLLib::ErrorHandler::Destroy();
    m_temp.reset();
  }

  std::string Root() const { return m_dir.string() + "/"; }
  void Write(const std::string& file, const std::string& text) {
    std::ofstream(m_dir / file, std::ios::binary) << text;
  }
  // Creates the schema manager on the folder and loads the schema.
  OBLLib::DataManager* Start(bool loadSchema = true) {
    EXPECT_TRUE(OBLLib::DataManager::Create(Root().c_str()));
    OBLLib::DataManager* dm = OBLLib::DataManager::Instance();
    if (loadSchema) {
      EXPECT_TRUE(dm->LoadSchema());
    }
    return dm;
  }
  static SoupRef Soup(const std::string& text) {
    SoupRef s;
    std::string error;
    EXPECT_TRUE(ParseSoupText(text, s, &error)) << error;
    return s;
  }
  static OBLLib::ErrorHandler& EH() { return *OBLLib::ErrorHandler::Instance(); }
  // The findings so far, one "E text" / "W text" line each.
  static std::string FindingLines() {
    std::string out;
    for (const auto& e : EH().GetEntries())
      out += std::string(e.severity == OBLLib::ErrorHandler::kError ? "E " : "W ") + e.text.Str() + "\n";
    return out;
  }
  static size_t Findings(int severity) {
    size_t n = 0;
    for (const auto& e : EH().GetEntries()) n += e.severity == severity;
    return n;
  }

  std::unique_ptr<Kiv::TempFolder> m_temp;
  std::filesystem::path m_dir;
};
