// The index of asset folders behind the folder-backed database: one row per folder of
// "editing" and "local" in the user data and "base" of the installation, with what the
// requests need from its config. Kept in a database file (the user data's "cache" folder)
// between runs: a refresh looks at the folders' and configs' times and re-reads only the
// configs that changed, appeared or went away. A damaged or foreign file is rebuilt from
// the folders; when no file can be used the index lives in memory for the run.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "umbclient/AssetDatabase.h"

class AssetIndex {
public:
  // One indexed asset: the copy that wins for its KUID.
  struct Asset {
    std::string folder;
    std::string configName;  // on-disk name of "config.chump" or "config.txt"
    std::string key;         // the content folder: "editing", "local" or "base"
    UMBAssetInfo info;       // every field but the rating
    std::string keywords;
    std::string description;
    std::vector<KUID> dependencies;
    std::vector<KUID> obsoletes;  // the "obsolete-table" entries
  };

  // file empty: in memory only.
  AssetIndex(std::string userData, std::string installRoot, std::string file);
  ~AssetIndex();

  // The file the index is kept in for this user data.
  static std::string DefaultFile(const std::string& userData);

  // Brings the index up to date with the folders. Two assets with one KUID: a log line;
  // the one in the folder that sorts first (editing before local before base, then by
  // path) wins. A config that is malformed, has no KUID or is larger than
  // kMaxConfigFileBytes: the asset is skipped with a log line (on every refresh).
  void Refresh();
  // True while the index is kept in its file (false: in memory).
  [[nodiscard]] bool IsPersistent() const;
  // How many configs the last refresh read (the others were known unchanged).
  size_t ConfigsRead() const;
  // True when a lookup met a damaged file; the next Refresh rebuilds it.
  [[nodiscard]] bool IsDamaged() const;

  size_t Count();
  // The exact KUID when indexed, else the newest indexed version at least as new; null
  // when none.
  KUID Resolve(const KUID& k);
  // The newest indexed version of the asset; null when none.
  KUID Newest(const KUID& k);
  // The asset Resolve(k) names; false when none.
  [[nodiscard]] bool Find(const KUID& k, Asset& out);
  // Every asset, in KUID order.
  void ForEach(const std::function<void(const Asset&)>& visit);
  // What a query tests of an asset: the KUID, name, categories, kind and state flags in
  // info (nothing else filled), and the keywords. Both are valid during the visit only.
  using QueryVisit = std::function<void(const UMBAssetInfo& info, std::string_view keywords)>;
  // Every asset, in no particular order: read in the order the file keeps them, without
  // a lookup per asset, and only the columns a query tests.
  void ForEachForQuery(const QueryVisit& visit);

  // The folders that share the KUID of an indexed asset folder.
  struct SharedKUID {
    KUID kuid;
    std::string folder;               // the asset folder as indexed
    std::string winner;               // the copy the requests answer from
    std::vector<std::string> others;  // the other folders with that KUID, in the order that decides
  };
  // False when `folder` (any spelling that leads to the same folder on disk) is not an
  // indexed asset or no other folder has its KUID. An editing copy of an asset of
  // "local" or "base" is expected and not counted.
  [[nodiscard]] bool FindSharedKUID(const std::string& folder, SharedKUID& out);

  struct Impl;

private:
  std::unique_ptr<Impl> m_impl;
};
