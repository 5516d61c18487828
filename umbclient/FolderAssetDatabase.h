// The folder-backed asset database: indexes the asset folders of the user-data tree by the
// "kuid" tag of each config and answers the requests from that index.
#pragma once

#include <memory>
#include <string>

#include "umbclient/AssetDatabase.h"

// The folder-backed database over a user-data folder and an installation root. Indexes
// "local" and "editing" of the user data and "base" of the installation root (built-in).
class FolderAssetDatabase : public AssetDatabase {
public:
  FolderAssetDatabase(std::string userDataFolder, std::string installationRoot, UMBStandIns standIns = {});
  ~FolderAssetDatabase() override;

  // Re-reads every asset folder. Two assets with one KUID: a log line; the one in the
  // folder that sorts first (editing before local before base, then by path) is kept.
  // A malformed config: the asset is skipped with a log line.
  void Rescan();
  size_t AssetCount() const;

  bool Execute(uint32_t commandId, TBuffer& body, TBuffer& reply) override;
  bool Post(uint32_t commandId, TBuffer& body) override;
  uint64_t RequestCount(uint32_t commandId) const override;
  void ResetRequestCounts() override;
  SoupRef GetSettingsRecord(std::string_view name) override;
  bool SetSettingsRecord(std::string_view name, const SoupRef& record) override;

  struct Impl;

private:
  std::unique_ptr<Impl> m_impl;
};
