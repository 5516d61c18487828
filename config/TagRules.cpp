#include "config/TagRules.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <string>

#include "config/AssetPaths.h"
#include "config/DataManager.h"
#include "config/ErrorHandler.h"
#include "config/Messages.h"
#include "config/MeshProbe.h"
#include "foundation/KUID.h"
#include "kiv/File.h"
#include "kiv/String.h"

namespace OBLLib {

namespace {

const Kiv::PString kEmptyField("$obl_val_emptyfield");
const Kiv::PString kNotPositive("$obl_val_notpositive");
const Kiv::PString kNotZero("$obl_val_notzero");
const Kiv::PString kNotWithinRange("$obl_val_notwithinrange");
const Kiv::PString kArrayWrongSize("$obl_val_arraywrongsize");
const Kiv::PString kNotOwnParent("$obl_val_notownparent");
const Kiv::PString kNoCollateMeshes("$obl_val_nocollatemeshes");
const Kiv::PString kNotType("$obl_val_not_type");
const Kiv::PString kNoType("$obl_val_notype");
const Kiv::PString kWrongType("$obl_val_wrongtype");
const Kiv::PString kMustBePaired("$obl_val_mustbepaired");
const Kiv::PString kMustHaveLightContainer("$obl_val_musthavealightcontainer");
const Kiv::PString kMustBeInLightContainer("$obl_val_mustbeinlightcontainer");
const Kiv::PString kMustBeOwnParent("$obl_val_mustbeownparent");
const Kiv::PString kFileDne("$obl_val_file_dne");
const Kiv::PString kScriptFileDne("$obl_val_scriptfiledne");
const Kiv::PString kNullKUIDWarn("$obl_val_nullkuidwarn");

const Kiv::PString kCollateMeshes("collate-meshes");
const Kiv::PString kKind("kind");
const Kiv::PString kTraincar("traincar");
const Kiv::PString kType("type");
const Kiv::PString kTrackside("trackside");
const Kiv::PString kInitialCount("initial-count");
const Kiv::PString kZero("0");
const Kiv::PString kOne("1");
const Kiv::PString kLights("lights");
const Kiv::PString kMin("min");
const Kiv::PString kMax("max");
const Kiv::PString kSize("size");
const Kiv::PString kObsoleteTable("obsolete-table");

float AssetBuild() {
  const DataManager* dm = DataManager::Existing();
  return dm ? dm->build : 3.4f;
}

void ErrorByTag(const Kiv::PString& key, std::initializer_list<FormatArg> args, const Tag& tag) {
  if (ErrorHandler* eh = ErrorHandler::Instance()) eh->Error(FormatMessage(key, args), &tag);
}

const Tag* FindOwnTag(const Tag& tag, const Kiv::PString& name) {
  if (!tag.owner) return nullptr;
  for (const Tag* t : tag.owner->tags)
    if (t->name == name) return t;
  return nullptr;
}

// The owner's parent's parent; null when the tag sits too near the root.
Container* Grandparent(const Tag& tag) {
  return tag.owner && tag.owner->parent ? tag.owner->parent->parent : nullptr;
}

template <class T>
void ForEachPiece(std::string_view text, T fn) {
  while (!text.empty()) {
    size_t cut = text.find_first_of(" \t,");
    if (cut != 0) fn(text.substr(0, cut));
    if (cut == std::string_view::npos) break;
    text.remove_prefix(cut + 1);
  }
}

// Shared first step of the number rules: false (no report) for an empty
// value; an empty list reported as an empty field.
bool ReadNumbers(Tag& tag, std::vector<float>& numbers) {
  if (tag.value.IsEmpty()) return false;
  numbers = ParseFloatList(tag.value.View());
  if (numbers.empty()) {
    ErrorByTag(kEmptyField, {tag.name}, tag);
    return false;
  }
  return true;
}

bool RuleIsPositive(Tag& tag, const SoupRef&) {
  std::vector<float> numbers;
  if (!ReadNumbers(tag, numbers)) return false;
  for (float v : numbers) {
    if (v < 0.0f) {
      ErrorByTag(kNotPositive, {tag.name}, tag);
      return false;
    }
  }
  return true;
}

bool RuleIsNotZero(Tag& tag, const SoupRef&) {
  std::vector<float> numbers;
  if (!ReadNumbers(tag, numbers)) return false;
  for (float v : numbers) {
    if (v == 0.0f) {
      ErrorByTag(kNotZero, {tag.name}, tag);
      return false;
    }
  }
  return true;
}

bool RuleRange(Tag& tag, const SoupRef& parameters) {
  std::vector<float> numbers;
  if (!ReadNumbers(tag, numbers)) return false;
  const float min = ParseLeadingFloat(parameters.GetNamedTagString(kMin));
  const float max = ParseLeadingFloat(parameters.GetNamedTagString(kMax));
  for (float v : numbers) {
    if (v < min || v > max) {
      ErrorByTag(kNotWithinRange, {tag.name, static_cast<double>(min), static_cast<double>(max)}, tag);
      return false;
    }
  }
  return true;
}

bool RuleArraySize(Tag& tag, const SoupRef& parameters) {
  if (!parameters.HasNamedTag(kSize)) return false;
  const std::vector<int> size = ParseIntList(parameters.GetNamedTagString(kSize));
  return CheckArraySize(tag, size.empty() ? 0 : size.front());
}

// A mesh cannot name itself as its parent: the tag (or the container it
// names) must not be the container that holds it.
bool RuleNotOwnParent(Tag& tag, const SoupRef&) {
  if (tag.owner && (tag.name == tag.owner->name || tag.value == tag.owner->name)) {
    ErrorByTag(kNotOwnParent, {}, tag);
    return false;
  }
  return true;
}

bool RuleNeedCollateMeshes(Tag& tag, const SoupRef&) {
  if (FindOwnTag(tag, kCollateMeshes)) return true;
  ErrorByTag(kNoCollateMeshes, {tag.name, kCollateMeshes}, tag);
  return false;
}

bool RuleIsNotTraincar(Tag& tag, const SoupRef&) {
  // The asset's kind, wherever in its config the tag lies.
  if (!tag.owner || !(tag.owner->AssetConfig().GetNamedTag(kKind) == kTraincar)) return true;
  if (ErrorHandler* eh = ErrorHandler::Instance()) eh->Error(FormatMessage(kNotType, {tag.name, kTraincar}));
  return false;
}

bool RuleIsTracksideType(Tag& tag, const SoupRef&) {
  const Tag* type = FindOwnTag(tag, kType);
  if (!type) {
    ErrorByTag(kNoType, {tag.name, kType, kTrackside}, tag);
    return false;
  }
  if (type->value == kTrackside) return true;
  ErrorByTag(kWrongType, {type->name, kTrackside, tag.name}, *type);
  return false;
}

bool RuleMustBePaired(Tag& tag, const SoupRef& parameters) {
  if (tag.name == kInitialCount && tag.value == kZero) return true;
  const Kiv::PString first = parameters.GetNamedTag(kZero);
  const Kiv::PString second = parameters.GetNamedTag(kOne);
  bool ok = true;
  if (!FindOwnTag(tag, first)) {
    ErrorByTag(kMustBePaired, {first, second}, tag);
    ok = false;
  }
  if (!FindOwnTag(tag, second)) {
    ErrorByTag(kMustBePaired, {second, first}, tag);
    ok = false;
  }
  return ok;
}

bool RuleMustBeInLightContainer(Tag& tag, const SoupRef&) {
  const std::vector<int> numbers = ParseIntList(tag.value.View());
  const Container* lights = nullptr;
  if (const Container* top = Grandparent(tag)) {
    for (const Container* child : top->children)
      if (child->name == kLights) {
        lights = child;
        break;
      }
  }
  if (!lights) {
    ErrorByTag(kMustHaveLightContainer, {}, tag);
    return false;
  }
  bool ok = true;
  for (int n : numbers) {
    const std::string wanted = std::to_string(n);
    bool found = false;
    for (const Container* light : lights->children)
      if (light->name.View() == wanted) {
        found = true;
        break;
      }
    if (!found) {
      ErrorByTag(kMustBeInLightContainer, {n}, tag);
      ok = false;
    }
  }
  return ok;
}

bool RuleMustBeOwnParent(Tag& tag, const SoupRef&) {
  const Container* top = Grandparent(tag);
  DataManager* dm = DataManager::Existing();
  if (!top || !dm) return false;
  const auto* mesh = dynamic_cast<const LoadedMesh*>(dm->GetLiveObject(top));
  if (!mesh) return false;
  for (const Kiv::PString& name : mesh->Info().namedEntries)
    if (name == tag.value) return true;
  ErrorByTag(kMustBeOwnParent, {tag.value.View(), dm->PathInAsset(mesh->Info().filePath)}, tag);
  return false;
}

// Files are looked for in the asset folder inside its content folder, like
// every other file check.
bool RuleFileExists(Tag& tag, const SoupRef&) {
  if (tag.value.IsEmpty()) return false;
  if (CurrentAssetFileExists(Kiv::ToLowerAscii(tag.value.View()))) return true;
  if (ErrorHandler* eh = ErrorHandler::Instance()) {
    Kiv::PString text = FormatMessage(kFileDne, {tag.value.View()});
    if (AssetBuild() >= 3.4f)
      eh->Error(text, &tag);
    else
      eh->Warning(text, &tag);
  }
  return false;
}

bool RuleScriptFileExists(Tag& tag, const SoupRef&) {
  if (tag.value.IsEmpty()) return false;
  if (tag.value.View().front() == '/') return true;
  if (CurrentContentFolderIsPacked()) return true;
  Kiv::File::Path path(Kiv::ToLowerAscii(tag.value.View()));
  for (const char* ext : {"gse", "gs"}) {
    path.SetExt(ext);
    if (CurrentAssetFileExists(path.View())) return true;
  }
  ErrorByTag(kScriptFileDne, {tag.value.View()}, tag);
  return false;
}

constexpr NamedTagRule kRules[] = {
    {"istracksidetype", &RuleIsTracksideType},
    {"isnottraincar", &RuleIsNotTraincar},
    {"needcollatemeshes", &RuleNeedCollateMeshes},
    {"ispositive", &RuleIsPositive},
    {"isnotzero", &RuleIsNotZero},
    {"scriptfileexists", &RuleScriptFileExists},
    {"fileexists", &RuleFileExists},
    {"range", &RuleRange},
    {"arraysize", &RuleArraySize},
    {"notownparent", &RuleNotOwnParent},
    {"mustbeownparent", &RuleMustBeOwnParent},
    {"mustbeinlightcontainer", &RuleMustBeInLightContainer},
    {"mustbepaired", &RuleMustBePaired},
};

}  // namespace

std::span<const NamedTagRule> NamedTagRules() { return kRules; }

bool CheckArraySize(Tag& tag, long expected) {
  if (tag.value.IsEmpty()) return false;
  if (AssetBuild() < 2.89f) return true;
  if (static_cast<long>(ParseFloatList(tag.value.View()).size()) != expected) {
    ErrorByTag(kArrayWrongSize, {tag.name}, tag);
    return false;
  }
  return true;
}

bool WarnNullKUID(Tag& tag) {
  if (tag.owner && tag.owner->name == kObsoleteTable) return true;
  if (ParseKUID(tag.value.View(), false).IsNull())
    if (ErrorHandler* eh = ErrorHandler::Instance())
      eh->Warning(FormatMessage(kNullKUIDWarn, {tag.name}), &tag);
  return true;
}

float ParseLeadingFloat(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  // Hexadecimal forms are not decimal numbers: "0x10" reads as 0.
  double v = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v, std::chars_format::general);
  if (ec == std::errc::result_out_of_range) {
    // Too large gives infinity, too small zero, as the C library does.
    bool large = false;
    for (const char* p = text.data(); p != end; ++p)
      if (*p == 'e' || *p == 'E') {
        large = p + 1 != end && p[1] != '-';
        break;
      }
    v = large || end == text.data() ? std::numeric_limits<double>::infinity() : 0.0;
  } else if (ec != std::errc()) {
    v = 0;
  }
  // Beyond the float range the value is infinite (a double-to-float
  // conversion of such a value would be undefined).
  float f = std::fabs(v) > std::numeric_limits<float>::max() ? std::numeric_limits<float>::infinity()
                                                             : static_cast<float>(v);
  return negative ? -f : f;
}

std::vector<float> ParseFloatList(std::string_view text) {
  std::vector<float> out;
  ForEachPiece(text, [&](std::string_view piece) { out.push_back(ParseLeadingFloat(piece)); });
  return out;
}

std::vector<int> ParseIntList(std::string_view text) {
  std::vector<int> out;
  ForEachPiece(text, [&](std::string_view piece) {
    bool negative = false;
    if (piece.front() == '+' || piece.front() == '-') {
      negative = piece.front() == '-';
      piece.remove_prefix(1);
    }
    long long v = 0;
    auto [end, ec] = std::from_chars(piece.data(), piece.data() + piece.size(), v);
    if (ec == std::errc::result_out_of_range)
      v = std::numeric_limits<long long>::max();
    else if (ec != std::errc())
      v = 0;
    if (negative) v = -v;
    v = std::clamp<long long>(v, std::numeric_limits<int>::min(), std::numeric_limits<int>::max());
    out.push_back(static_cast<int>(v));
  });
  return out;
}

}  // namespace OBLLib
