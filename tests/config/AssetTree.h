#pragma once
// A scratch user-data folder ("user/") and installation ("install/") with the
// folder asset database opened over them and a fresh spec registry, as one run
// of the program has them. Closing (or the end of the object) points the
// program back at no folders.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "config/AssetSpec.h"
#include "foundation/Soup.h"
#include "foundation/Stream.h"
#include "kiv/File.h"
#include "kiv/TempFolder.h"
#include "umbclient/AssetTypes.h"
#include "umbclient/ContentFolders.h"
#include "umbclient/OpenDatabase.h"

class AssetTree : public Kiv::TempFolder {
public:
  explicit AssetTree(std::string_view prefix) : Kiv::TempFolder(prefix) {}
  ~AssetTree() { Close(); }

  // Writes the soup as config text to the file below the root.
  void WriteConfig(std::string_view relative, const SoupRef& soup) const {
    std::string text;
    EXPECT_TRUE(WriteSoupText(soup, text));
    Write(relative, text);
  }

  // Points the program at the tree's user data and installation.
  void UseFolders() const {
    EXPECT_TRUE(Kiv::File::CreateDirectories(Path("user/settings")));
    SetUserDataFolder(Path("user"));
    SetInstallationRoot(Path("install"));
    AssetTables::Reload();
  }
  // Opens the database over the tree as it is now; a new registry each time,
  // as a new run of the program would have.
  [[nodiscard]] bool Open() {
    CloseDatabase();
    UseFolders();
    UMBSetDatabaseHooks([this] { m_registry = std::make_unique<SpecRegistry>(); },
                        [this] { m_registry.reset(); });
    return UMBOpenDatabase() && SpecRegistry::Instance() != nullptr;
  }
  static void CloseDatabase() {
    if (UMBIsDatabaseOpen()) UMBCloseDatabase();
    UMBSetDatabaseHooks(nullptr, nullptr);
  }
  // Closes the database and points the program at no folders.
  static void Close() {
    CloseDatabase();
    SetUserDataFolder("");
    SetInstallationRoot("");
    AssetTables::Reload();
  }

  // How many requests of the kind the open database has answered.
  static uint64_t Requests(uint32_t id) {
    uint64_t n = 0;
    // Set-up; the checks below show a failure.
    (void)UMBWithDatabase([&](AssetDatabase& d) { n = d.RequestCount(id); });
    return n;
  }
  static SpecRegistry& Registry() { return *SpecRegistry::Instance(); }

private:
  std::unique_ptr<SpecRegistry> m_registry;
};
