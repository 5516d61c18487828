#pragma once
// The script class "Asset": what the asset database knows about one asset —
// names, categories, creator, flags, config, dependencies, string table and
// the KUIDs of its kuid-table. There is at most one object per script context
// and KUID; everything is fetched from the database on first use and kept.
//
// The objects of a context are cached until ClearAssetCache (the context's
// destructor); the cache holds one reference to each, so scripts that drop
// theirs find the same object again. Requested KUIDs that the database
// resolves to another KUID are remembered, so a lookup asks it once.
#include "config/AssetSpec.h"
#include "foundation/KUID.h"
#include "foundation/Soup.h"
#include "gamescript/runtime/Machine.h"
#include "gamescript/runtime/Objects.h"
#include "umbclient/AssetDatabase.h"

class GSOStringTable;

class GSOAsset : public GSRuntime::GSObject {
public:
  ~GSOAsset() override;

  // The Asset object of (context, kuid), with one reference for the caller;
  // null for the null KUID, a KUID the database does not resolve, one the
  // context refuses (RovanaScriptContext::AllowAsset) or no script instance.
  static GSOAsset* FindOrCreate(GSRuntime::GSContext* context, const KUID& kuid);

  const KUID& Kuid() const { return m_kuid; }
  // The info record with every field, fetched once (again after SetIsFavorite).
  const UMBAssetInfo& Info();
  // The config soup, fetched once; null when the database has none.
  const SoupRef& Config();

  // The kuid-table entry of `name` (compared in lower case); null when absent.
  KUID LookupKUIDTableEntry(std::string_view name);

  static void RegisterNatives(GSRuntime::GSMachine& machine);

private:
  friend void ClearAssetCache(GSRuntime::GSContext* context);
  GSOAsset(GSRuntime::GSContext* context, const KUID& kuid);

  void GetKUID(GSRuntime::GSStack& stack);
  void GetLocalisedName(GSRuntime::GSStack& stack);
  void GetLocalisedDescription(GSRuntime::GSStack& stack);
  void GetCreatorName(GSRuntime::GSStack& stack);
  void LookupKUIDTable(GSRuntime::GSStack& stack);
  void FindAsset(GSRuntime::GSStack& stack);
  void GetStringTable(GSRuntime::GSStack& stack);
  void GetConfigSoup(GSRuntime::GSStack& stack);
  void GetDependencyList(GSRuntime::GSStack& stack);
  void SupportsRovanaBuildVersion(GSRuntime::GSStack& stack);
  void LoadImage(GSRuntime::GSStack& stack);
  void IsLocallyModified(GSRuntime::GSStack& stack);
  void GetInfoURL(GSRuntime::GSStack& stack);
  void GetIsFavorite(GSRuntime::GSStack& stack);
  void SetIsFavorite(GSRuntime::GSStack& stack);
  void GetParent(GSRuntime::GSStack& stack);
  void GetCategoryEra(GSRuntime::GSStack& stack);
  void GetCategoryRegion(GSRuntime::GSStack& stack);
  void GetSessionRuleData(GSRuntime::GSStack& stack);
  void IsBuiltIn(GSRuntime::GSStack& stack);
  void IsOnTheVendaro(GSRuntime::GSStack& stack);

  // The kuid-table lookup of the two natives: stops the script with a text
  // listing the table's names (`prefix` starts it) when the name is absent.
  [[nodiscard]] bool KUIDTableArgument(GSRuntime::GSStack& stack, const char* prefix, KUID& out);

  SpecRef m_spec;
  KUID m_kuid;
  bool m_infoFetched = false;
  UMBAssetInfo m_info;
  float m_lastUse = 0.0f;
  SoupRef m_config;
  GSOStringTable* m_stringTable = nullptr;
};

// Deletes the context's Asset objects; scripts that still hold one keep an
// instance without a native object.
void ClearAssetCache(GSRuntime::GSContext* context);
// How many Asset objects are cached (all contexts).
size_t CountAssetObjects();

// Whether a file name given by a script stays inside the folder it is taken
// below: relative, without a drive and without a ".." component.
[[nodiscard]] bool IsNameInsideFolder(std::string_view name);

// Whether an asset of build version `assetBuild` supports build `wanted`,
// compared in hundredths truncated: 3.4 supports 3.4, 3.39 does not.
[[nodiscard]] bool SupportsBuildVersion(float assetBuild, float wanted);
