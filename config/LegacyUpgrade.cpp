#include "config/LegacyUpgrade.h"

#include <cmath>
#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

#include "config/DataManager.h"
#include "kiv/File.h"
#include "kiv/String.h"
#include "umbclient/AssetTypes.h"

namespace OBLLib {

namespace {

using P = Kiv::PString;

const P kUsername("username"), kName("name"), kAssetFilename("asset-filename"), kKind("kind"),
    kRegion("region"), kCategoryRegion("category-region"), kCategoryEra("category-era"),
    kCategoryClass("category-class"), kLicense("license"), kRgb("rgb"), kScript("script"),
    kScriptLibrary("scriptlibrary"), kClass("class"), kClassLibrary("classlibrary"), kMeshTable("mesh-table"),
    kLight("light"), kIconTexture("icon-texture"), kThumbnails("thumbnails"), kTexture("texture"),
    kTrack("track"), kRoad("road"), kBogeys("bogeys"), kRunningNumbers("running-numbers"), kHeight("height"),
    kMini("mini"), kBendy("bendy"), kCamera("camera"), kCameraList("cameralist"),
    kCameraDefault("cameradefault"), kFontSize("fontsize"), kFontColor("fontcolor"), kNight("night"),
    kEffects("effects"), kType("type"), kSoundScript("soundscript"), kSound("sound"), kFunction("function"),
    kTrackside("trackside"), kImage("image"), kWidth("width"), kDescription("description"), kAsset("asset"),
    kAuthor("author"), kAuteur("auteur"), kOrganisation("organisation"), kOrganization("organization"),
    kUserName("user-name"), kDescriptionColon("description:"), kRovanaBuild("rovana-build"),
    kTopLevel("top-level"), kSubpossibilities("subpossibilities"), kInherit("inherit");

bool KindIs(std::string_view kind, std::string_view word) { return Kiv::CompareNoCase(kind, word) == 0; }

// Names interned once per process, so the removals below compare handles.
struct NameList {
  std::vector<P> names;
  NameList(std::initializer_list<const char*> list) {
    for (const char* name : list) names.emplace_back(name);
  }
};

// The first tag of each name goes.
void RemoveAll(SoupRef& c, const NameList& list) {
  ACSChunk* node = c.Get();
  if (!node) return;
  for (const P& name : list.names) {
    for (size_t i = 0; i < node->CountChildren(); ++i) {
      if (!(node->GetTag(i).GetName() == name)) continue;
      node->RemoveTag(i);
      break;
    }
  }
}

// "category-region-%d" / "category-era-%d": index 0 may be missing; the scan
// ends at the first missing or empty tag after it. Each value found is taken
// out of the config and added to the list.
std::string CollectNumbered(SoupRef& c, const char* prefix, bool upper, bool plural) {
  std::string list;
  for (int n = 0;; ++n) {
    const P name(prefix + std::to_string(n));
    std::string value = c.GetNamedTagString(name);
    if (value.empty()) {
      if (n == 0) continue;
      break;
    }
    if (upper) value = Kiv::ToUpperAscii(value);
    if (plural && value.back() != 's') value += 's';
    if (!list.empty()) list += ';';
    list += value;
    c.RemoveNamedTag(name);
  }
  return list;
}

void ConvertThumbnail(SoupRef& c) {
  if (!c.HasNamedTag(kIconTexture) || c.HasNamedTag(kThumbnails)) return;
  SoupRef entry = SoupRef::NewContainer();
  entry.SetNamedTag(kImage, c.GetNamedTagString(kIconTexture));
  entry.SetNamedTagInt(kWidth, 64);
  entry.SetNamedTagInt(kHeight, 64);
  SoupRef thumbnails = SoupRef::NewContainer();
  // A child made here cannot hold the soup it enters.
  (void)thumbnails.SetNamedSoup(P("0"), entry);
  // A child made here cannot hold the soup it enters.
  (void)c.SetNamedSoup(kThumbnails, thumbnails);
  c.RemoveNamedTag(kIconTexture);
}

// Moves "from" into "to" when "to" is missing (or always, with replace).
void Rename(SoupRef& c, const P& from, const P& to, bool replace) {
  if (!c.HasNamedTag(from)) return;
  if (replace || !c.HasNamedTag(to)) c.SetNamedTag(to, c.GetNamedTagString(from));
  c.RemoveNamedTag(from);
}

bool OnlyOf(std::string_view name, bool (*accept)(char)) {
  for (char ch : name)
    if (!accept(ch)) return false;
  return true;
}

// Top-level tag names of a schema, built once per schema soup.
struct TopLevelNames {
  std::mutex lock;
  SoupRef schema;  // held, so its node cannot be reused by another schema
  std::unordered_set<P> names;
};

TopLevelNames& TopLevel() {
  static auto* names = new TopLevelNames;
  return *names;
}

}  // namespace

bool IsKnownTopLevelTag(const P& name) {
  DataManager* dm = DataManager::Instance();
  TopLevelNames& top = TopLevel();
  std::lock_guard<std::mutex> guard(top.lock);
  if (!(top.schema == dm->Schema())) {
    top.schema = dm->Schema();
    top.names.clear();
    // A top-level definition offers its own entries and those of the
    // definitions it inherits, at every level (each definition read once).
    std::unordered_set<const ACSChunk*> read;
    std::vector<SoupRef> work;
    for (size_t i = 0; i < top.schema.CountTags(); ++i) {
      SoupRef def = top.schema.GetIndexedSoup(i);
      if (def.GetNamedTagAsInt(kTopLevel, 0) != 0) work.push_back(def);
    }
    while (!work.empty()) {
      SoupRef def = work.back();
      work.pop_back();
      if (!def || !read.insert(def.Get()).second) continue;
      SoupRef subs = def.GetNamedSoup(kSubpossibilities);
      for (size_t j = 0; j < subs.CountTags(); ++j) top.names.insert(subs.GetIndexedTagName(j));
      SoupRef inherit = def.GetNamedSoup(kInherit);
      for (size_t j = 0; j < inherit.CountTags(); ++j)
        work.push_back(top.schema.GetNamedSoup(inherit.GetIndexedTagName(j)));
    }
  }
  return top.names.count(name) != 0;
}

void RemoveDescriptionOverflowTags(SoupRef& c) {
  ACSChunk* node = c.Get();
  if (!node) return;
  const long d = node->FindTag(kDescription);
  if (d < 0) return;
  size_t end = static_cast<size_t>(d) + 1;
  while (end < node->CountChildren()) {
    const TDBDataTag& tag = node->GetTag(end);
    if (tag.GetDataType() == kSoupContainer || IsKnownTopLevelTag(tag.GetName())) break;
    ++end;
  }
  // The run itself goes, by position: a tag of the same name elsewhere in
  // the config is not touched.
  size_t index = 0;
  const size_t first = static_cast<size_t>(d) + 1;
  node->RemoveTagsIf([&](const TDBDataTag&) {
    const size_t at = index++;
    return at >= first && at < end;
  });
}

void RemoveUnknownAssetTags(SoupRef& c) {
  c.RemoveNamedTag(kAsset);
  if (ACSChunk* node = c.Get())
    node->RemoveTagsIf([](const TDBDataTag& tag) {
      return tag.GetName().View().starts_with("asset-") && !IsKnownTopLevelTag(tag.GetName());
    });
}

bool BuildIsUpgradedInMemory(float build) {
  const float hundredths = build * 100.0f;
  // A build that is not a finite number counts as old.
  return !(std::isfinite(hundredths) && hundredths >= 290.0f);
}

void UpgradeContainerBuild(SoupRef& config) {
  if (!BuildIsUpgradedInMemory(DataManager::Instance()->build)) return;
  UpgradeLegacyAsset(config);
  config.SetNamedTagFloat(kRovanaBuild, 2.9f);
}

void UpgradeLegacyAsset(SoupRef& c) {
  if (!c) return;
  // 1. User name.
  if (c.GetNamedTagString(kUsername).empty()) {
    if (!c.GetNamedTagString(kName).empty()) {
      c.SetNamedTag(kUsername, c.GetNamedTagString(kName));
      c.RemoveNamedTag(kName);
    } else if (!c.GetNamedTagString(kAssetFilename).empty()) {
      c.SetNamedTag(kUsername, c.GetNamedTagString(kAssetFilename));
    }
  }
  // 2. A map's region must be a KUID.
  if (c.GetNamedTagString(kKind) == "map" && c.GetNamedTagType(kRegion) != kSoupKUID)
    c.RemoveNamedTag(kRegion);
  // 3.
  static const NameList kLeftovers{"thumbnail", ".cache", "__filename", "__dir"};
  RemoveAll(c, kLeftovers);
  // 4, 5. Numbered regions and eras.
  if (std::string regions = CollectNumbered(c, "category-region-", true, false); !regions.empty())
    c.SetNamedTag(kCategoryRegion, regions);
  if (std::string eras = CollectNumbered(c, "category-era-", false, true); !eras.empty())
    c.SetNamedTag(kCategoryEra, eras);
  // 6.
  if (c.HasNamedTag(kLicense) && c.GetNamedTagString(kLicense).empty()) c.RemoveNamedTag(kLicense);
  // 7. "rgb" needs three comma-separated parts.
  if (c.HasNamedTag(kRgb)) {
    const std::string rgbText = c.GetNamedTagString(kRgb);
    std::string_view rgb = rgbText;
    size_t first = rgb.find(',');
    size_t second = first == std::string_view::npos ? first : rgb.find(',', first + 1);
    if (second == std::string_view::npos || second + 1 >= rgb.size()) c.RemoveNamedTag(kRgb);
  }
  // 8.
  Rename(c, kScriptLibrary, kScript, true);
  Rename(c, kClassLibrary, kClass, true);
  // 9. A script without an extension is a ".gs" source.
  if (std::string script = c.GetNamedTagString(kScript); !script.empty()) {
    Kiv::File::Path path(script);
    if (path.GetExt().empty()) c.SetNamedTag(kScript, path.SetExt("gs").View());
  }
  // 10.
  const std::string F = c.GetNamedTagString(kAssetFilename);
  c.RemoveNamedTag(kAssetFilename);
  const bool hasF = !F.empty();
  const std::string kind = c.GetNamedTagString(kKind);
  auto noMeshTable = [&] { return hasF && !c.HasNamedTag(kMeshTable); };

  // 11-22. Kinds with layouts of their own.
  if (KindIs(kind, "bogey")) {
    if (noMeshTable()) BuildBogeyMeshTable(c, F);
    c.RemoveNamedTag(kLight);
  }
  if (KindIs(kind, "behavior")) ConvertThumbnail(c);
  if (KindIs(kind, "groundtexture") || KindIs(kind, "texture")) {
    c.RemoveNamedTag(kRgb);
    if (hasF && !c.HasNamedTag(kTexture)) c.SetNamedTag(kTexture, F + ".texture");
    c.RemoveNamedTag(kLight);
  }
  if (KindIs(kind, "mesh")) c.RemoveNamedTag(kLight);
  if (KindIs(kind, "mojunction") && noMeshTable()) BuildJunctionMeshTable(c);
  if (KindIs(kind, "mocrossing")) {
    if (noMeshTable()) BuildCrossingMeshTable(c);
    c.RemoveNamedTag(kTrack);
    c.RemoveNamedTag(kRoad);
  }
  if (KindIs(kind, "turntable") && noMeshTable()) BuildTurntableMeshTable(c);
  if (KindIs(kind, "traincar")) {
    if (noMeshTable()) BuildTraincarMeshTable(c, F);
    if (!c.HasNamedTag(kBogeys)) BuildBogeyList(c);
    c.RemoveNamedTag(kRunningNumbers);
  }
  if (hasF) {
    if (KindIs(kind, "track")) c.RemoveNamedTag(kHeight);
    if (KindIs(kind, "track") || KindIs(kind, "bridge")) c.RemoveNamedTag(kMini);
  }
  if (KindIs(kind, "scenery")) {
    if (noMeshTable()) BuildSceneryMeshTable(c, F);
    c.RemoveNamedTag(kBendy);
  }
  if (KindIs(kind, "buildable") && noMeshTable()) BuildSceneryMeshTable(c, F);
  if (KindIs(kind, "interior")) {
    if (noMeshTable()) BuildInteriorMeshTable(c);
    std::vector<float> camera;
    if (c.HasNamedTag(kCamera)) {
      SoupRef list = c.GetNamedSoup(kCameraList);
      if (!list) {
        list = SoupRef::NewContainer();
        // A child made here cannot hold the soup it enters.
        (void)c.SetNamedSoup(kCameraList, list);
      }
      // An empty camera tag gives no floats; the two added below stand alone.
      (void)c.GetCameraFloats(camera);
      camera.push_back(0.0f);
      camera.push_back(0.0f);
      list.SetNamedTagFloatArray(P("camera" + std::to_string(list.CountTags())), camera.data(),
                                 camera.size());
      c.RemoveNamedTag(kCamera);
    }
    if (!c.HasNamedTag(kCameraDefault)) c.SetNamedTagInt(kCameraDefault, 0);
  }
  // 23.
  static const NameList kFontTags{"fontsize", "fontcolor"};
  RemoveAll(c, kFontTags);
  // 24. Name effects without a name take their own tag name.
  if (SoupRef table = c.GetNamedSoup(kMeshTable)) {
    c.RemoveNamedTag(kNight);
    for (size_t i = 0; i < table.CountTags(); ++i) {
      SoupRef effects = table.GetIndexedSoup(i).GetNamedSoup(kEffects);
      for (size_t j = 0; j < effects.CountTags(); ++j) {
        SoupRef effect = effects.GetIndexedSoup(j);
        if (effect && effect.GetNamedTagString(kKind) == "name" && effect.GetNamedTagString(kName).empty())
          effect.SetNamedTag(kName, effects.GetIndexedTagName(j).View());
      }
    }
  }
  // 25.
  c.RemoveNamedTag(kType);
  if (!KindIs(kind, "map")) c.RemoveNamedTag(kRegion);
  // 26. Sound lists: a bare word becomes a numbered entry.
  if (SoupRef scripts = c.GetNamedSoup(kSoundScript)) {
    for (size_t i = 0; i < scripts.CountTags(); ++i) {
      SoupRef script = scripts.GetIndexedSoup(i);
      SoupRef old = script.GetNamedSoup(kSound);
      if (!old) continue;
      SoupRef fresh = SoupRef::NewContainer();
      for (size_t t = 0; t < old.CountTags(); ++t) {
        const TDBDataTag& tag = old.Get()->GetTag(t);
        std::string text;
        if (tag.GetDataType() != kSoupContainer && tag.ToText(text) && text.empty())
          fresh.SetNamedTag(P(std::to_string(t)), tag.GetName().View());
        else
          // A child made here cannot hold the soup it enters.
          (void)fresh.Get()->AppendTag(tag);
      }
      script.RemoveNamedTag(kSound);
      // A child made here cannot hold the soup it enters.
      (void)script.SetNamedSoup(kSound, fresh);
    }
  }
  // 27.
  if (KindIs(kind, "mospeedboard"))
    c.RemoveNamedTag(kFunction);
  else if (!KindIs(kind, "mosignal") && c.HasNamedTag(kTrackside))
    c.RemoveNamedTag(kFunction);
  // 28. Category defaults.
  if (c.GetNamedTagString(kCategoryEra).empty()) c.SetNamedTag(kCategoryEra, "1800s");
  if (MapLegacyCategoryClass(kind, c.GetNamedTagString(kCategoryClass)).empty())
    c.SetNamedTag(kCategoryClass, "ZX");
  {
    const std::string regionText = c.GetNamedTagString(kCategoryRegion);
    std::string_view region = regionText;
    bool world = region.empty();
    for (const char* word : {"EU", "any region in the world", "World Trees", "ALL"})
      world = world || Kiv::CompareNoCase(region, word) == 0;
    if (world) c.SetNamedTag(kCategoryRegion, "00");
  }
  // 29.
  ConvertThumbnail(c);
  // 30, 31.
  static const NameList kComments{";", "\"", "rem"};
  RemoveAll(c, kComments);
  static const NameList kRetired{
      "licence", "disclaimer:",  "licence:",    "licence:-", "name-ru",  "name-es", "name-fr",
      "name-pl", "name-de",      "name-it",     "name-cz",   "name-cn",  "name-nl", "name-hu",
      "origin",  "objremarks",   "origregion",  "orgname",   "origname", "melko",   "company",
      "rovana",  "rovana_build", "train-build", "version",   "obsolete"};
  RemoveAll(c, kRetired);
  // 32. Renames.
  Rename(c, kAuteur, kAuthor, true);
  Rename(c, kOrganization, kOrganisation, false);
  Rename(c, kUserName, kUsername, false);
  Rename(c, kName, kUsername, false);
  Rename(c, kDescriptionColon, kDescription, false);
  // 33, 34.
  RemoveDescriptionOverflowTags(c);
  RemoveUnknownAssetTags(c);
  // 35. Stray words of free text.
  static const NameList kStrayWords{"by",   "you",  "this",    "the",     "these", "-",   "all", "copyright",
                                    "use",  "have", "check",   "only",    "keep",  "for", "in",  "alternate",
                                    "feel", "no",   "contact", "created", "//",    ";",   "*"};
  RemoveAll(c, kStrayWords);
  // 36. Names no tag can have.
  c.Get()->RemoveTagsIf([](const TDBDataTag& tag) {
    std::string_view name = tag.GetName().View();
    return name.empty() || name.find_first_of("\"'{}") != std::string_view::npos ||
           OnlyOf(name, [](char ch) { return ch == '_'; }) ||
           OnlyOf(name, [](char ch) { return ch >= '0' && ch <= '9'; });
  });
  // 37. One line of user name.
  if (c.HasNamedTag(kUsername)) {
    std::string name = c.GetNamedTagString(kUsername);
    if (size_t cr = name.find('\r'); cr != std::string::npos) name.resize(cr);
    if (size_t lf = name.find('\n'); lf != std::string::npos) name.resize(lf);
    c.SetNamedTag(kUsername, name);
  }
}

}  // namespace OBLLib
