// The folder-backed asset database: indexes the asset folders of the user-data tree by the
// "kuid" tag of each config and answers the requests from that index.
#pragma once

#include <memory>
#include <string>

#include "umbclient/AssetDatabase.h"
#include "umbclient/AssetIndex.h"

// The folder-backed database over a user-data folder and an installation root. Indexes
// "local" and "editing" of the user data and "base" of the installation root (built-in).
// The index is kept between runs in the user data's "cache" folder (AssetIndex.h), so a
// rescan re-reads only the configs that changed; in memory when that cannot be written.
class FolderAssetDatabase : public AssetDatabase {
public:
  enum class IndexKeeping { kCacheFile, kInMemory };
  FolderAssetDatabase(std::string userDataFolder, std::string installationRoot, UMBStandIns standIns = {},
                      IndexKeeping keeping = IndexKeeping::kCacheFile);
  ~FolderAssetDatabase() override;

  // Brings the index up to date with the asset folders. Two assets with one KUID: a log
  // line; the one in the folder that sorts first (editing before local before base, then
  // by path) is kept. A config that is malformed, has no KUID or is larger than
  // kMaxConfigFileBytes: the asset is skipped with a log line.
  void Rescan();
  size_t AssetCount() const;
  // True while the index is kept in its file in the cache folder.
  [[nodiscard]] bool IsIndexKeptInFile() const;
  // The folders that share the KUID of an asset folder (AssetIndex::FindSharedKUID).
  [[nodiscard]] bool FindSharedKUID(const std::string& folder, AssetIndex::SharedKUID& out);

  [[nodiscard]] bool Execute(uint32_t commandId, TBuffer& body, TBuffer& reply) override;
  [[nodiscard]] bool Post(uint32_t commandId, TBuffer& body) override;
  uint64_t RequestCount(uint32_t commandId) const override;
  void ResetRequestCounts() override;
  uint64_t RowsWalked() const override;
  SoupRef GetSettingsRecord(std::string_view name) override;
  [[nodiscard]] bool SetSettingsRecord(std::string_view name, const SoupRef& record) override;

  struct Impl;

private:
  std::unique_ptr<Impl> m_impl;
};
