#include "config/Export.h"

#include <charconv>
#include <cstring>
#include <limits>
#include <string>
#include <unordered_set>

#include "config/DataManager.h"
#include "config/ErrorHandler.h"
#include "config/Messages.h"
#include "config/MeshProbe.h"
#include "config/TagRules.h"
#include "foundation/KUID.h"
#include "kiv/File.h"
#include "kiv/String.h"

namespace OBLLib {

namespace {

const Kiv::PString kEmptyComboBox("$obl_container_emptycombobox");
const Kiv::PString kEmptyListBox("$obl_container_emptylistbox");
const Kiv::PString kEmptyName("$obl_container_emptyname");
const Kiv::PString kEmptyStringWarn("$obl_container_emptystringwarn");
const Kiv::PString kEmptyStringErr("$obl_container_emptystringerr");
const Kiv::PString kNoMeshExt("$obl_container_nomeshext");
const Kiv::PString kNoPictureExt("$obl_container_nopictureext");
const Kiv::PString kNoAnimationExt("$obl_container_noanimationext");
const Kiv::PString kNotValidPossibility("$obl_container_notavalidpossibility");
const Kiv::PString kNoAttParent("$obl_container_noattparent");
const Kiv::PString kNotValidPossibility2("$obl_container_notavalidpossibility2");

const Kiv::PString kKind("kind");
const Kiv::PString kExtensions("extensions");
const Kiv::PString kSound("sound");
const Kiv::PString kAttachment("attachment");
const Kiv::PString kAttParent("att-parent");
const Kiv::PString kMeshElement("mesh-element");
const Kiv::PString kEffectCorona("effect-corona");
const Kiv::PString kEffectAttachment("effect-attachment");

// Appends to a fresh export soup. Names inside one container are unique after
// the import, so a tag is appended in O(1); a name written a second time (a
// lower-cased name meeting another tag) replaces the first as the setters do.
// A writer without a soup writes nothing: the writers then only check.
class SoupWriter {
public:
  explicit SoupWriter(SoupRef* soup) : m_soup(soup) {
    if (!m_soup) return;
    m_soup->EnsureContainer();
    for (size_t i = 0; i < m_soup->CountTags(); ++i) m_names.insert(m_soup->GetIndexedTagName(i));
  }
  bool Writes() const { return m_soup != nullptr; }

  void Bytes(const Kiv::PString& name, SoupDataType type, const void* data, size_t size) {
    if (!m_soup) return;
    if (!m_names.insert(name).second) m_soup->Get()->RemoveTagsNamed(name);
    // A child made here cannot hold the soup it enters.
    (void)m_soup->Get()->AppendTag(TDBDataTag::MakeBytes(name, type, data, size));
  }
  void Text(const Kiv::PString& name, std::string_view text) {
    Bytes(name, kSoupText, text.data(), text.size());
  }
  void Int(const Kiv::PString& name, int32_t value) {
    uint8_t b[4];
    for (int i = 0; i < 4; ++i) b[i] = static_cast<uint8_t>(static_cast<uint32_t>(value) >> (8 * i));
    Bytes(name, kSoupInt, b, 4);
  }
  void Floats(const Kiv::PString& name, const std::vector<float>& values) {
    std::vector<uint8_t> bytes(values.size() * 4);
    for (size_t i = 0; i < values.size(); ++i) {
      uint32_t bits;
      std::memcpy(&bits, &values[i], 4);
      for (int b = 0; b < 4; ++b) bytes[i * 4 + b] = static_cast<uint8_t>(bits >> (8 * b));
    }
    Bytes(name, kSoupFloat, bytes.data(), bytes.size());
  }
  void Kuid(const Kiv::PString& name, const KUID& value) {
    uint8_t b[8];
    value.PackSoup(b);
    Bytes(name, kSoupKUID, b, 8);
  }
  void Child(const Kiv::PString& name, const SoupRef& child) {
    if (!m_soup) return;
    if (!m_names.insert(name).second) m_soup->Get()->RemoveTagsNamed(name);
    // A child made here cannot hold the soup it enters.
    (void)m_soup->Get()->AppendTag(TDBDataTag::MakeContainer(name, child.Get()));
  }

private:
  SoupRef* m_soup;
  std::unordered_set<Kiv::PString> m_names;
};

const Kiv::PString& OwnerName(const Tag& tag) { return tag.owner ? tag.owner->name : Kiv::PString::Empty(); }

// True when the finding was recorded (not refused as a repeat).
bool Report(bool error, const Kiv::PString& key, std::initializer_list<FormatArg> args, const Tag& tag) {
  ErrorHandler* eh = ErrorHandler::Instance();
  if (!eh) return false;
  if (error) return eh->Error(FormatMessage(key, args), &tag);
  return eh->Warning(FormatMessage(key, args), &tag);
}

// An empty choice is reported; when the list lacked the value given, the
// note after the finding names it.
void ReportEmptyChoice(const Kiv::PString& key, const Tag& tag) {
  if (Report(true, key, {tag.name, OwnerName(tag)}, tag) && !tag.WhyEmptied().IsEmpty())
    ErrorHandler::Instance()->NoteLast(tag.WhyEmptied());
}

// The leading base-10 integer of the text, clamped to 32 bits; 0 when none.
int32_t ReadInt(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
  int64_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
    value = std::min<int64_t>(value * 10 + (text[i] - '0'), int64_t(1) << 32);
  if (negative) value = -value;
  return static_cast<int32_t>(
      std::clamp<int64_t>(value, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max()));
}

KUID ReadKUID(const TagValue& value) {
  return value.IsEmpty() ? KUID::Null() : ParseKUID(value.View(), false);
}

bool WriteFloatTag(Tag& tag, SoupWriter& out) {
  const bool ok = RunTagRules(tag);
  out.Floats(tag.name, {tag.value.IsEmpty() ? 0.0f : ParseLeadingFloat(tag.value.View())});
  return ok;
}

bool WriteStringTag(Tag& tag, SoupWriter& out) {
  bool ok = true;
  if (!tag.value.IsEmpty()) {
    ok = RunTagRules(tag);
  } else if (!tag.emptyIsError) {
    Report(false, kEmptyStringWarn, {tag.name, OwnerName(tag)}, tag);
  } else {
    const DataManager* dm = DataManager::Existing();
    const bool oldSound = OwnerName(tag) == kSound && dm && BuildHundredths(dm->build) < 310;
    if (!oldSound) {
      Report(true, kEmptyStringErr, {tag.name, OwnerName(tag)}, tag);
      ok = false;
    }
  }
  out.Text(tag.name, tag.value.View());
  return ok;
}

bool WriteIntTag(Tag& tag, SoupWriter& out) {
  const bool ok = RunTagRules(tag);
  out.Int(tag.name, ReadInt(tag.value.View()));
  return ok;
}

bool WriteBoolTag(Tag& tag, SoupWriter& out) {
  const bool ok = RunTagRules(tag);
  out.Int(tag.name, tag.value.View() == "1" ? 1 : 0);
  return ok;
}

bool WriteVectorTag(Tag& tag, SoupWriter& out, long count) {
  bool ok = RunTagRules(tag);
  if (count > 0) ok = CheckArraySize(tag, count) && ok;
  out.Floats(tag.name, SplitFloats(tag.value.View()));
  return ok;
}

// The container path of a tag's owner for messages: the names of the owner
// and its ancestors below the root, outermost first, joined by "\"; for a
// tag of the root, the root's name (the asset's kind), not an empty path.
std::string ContainerPath(const Tag& tag) {
  std::vector<const Container*> chain;
  for (const Container* c = tag.owner; c && c->parent; c = c->parent) chain.push_back(c);
  if (chain.empty()) return OwnerName(tag).Str();
  std::string path;
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
    if (!path.empty()) path += '\\';
    path += (*it)->name.View();
  }
  return path;
}

// The attachment check of a combo or list box value that the schema manager
// does not know under the tag's source.
bool CheckAttachment(Tag& tag, bool comboBox) {
  DataManager* dm = DataManager::Instance();
  Container* owner = tag.owner;
  if (!owner) return true;
  // A mesh container that has a loaded mesh: the value is not one of its points.
  auto notInMesh = [&](const Container* mesh) {
    const auto* loaded = mesh ? dynamic_cast<const LoadedMesh*>(dm->GetLiveObject(mesh)) : nullptr;
    if (!loaded) return true;
    Report(true, kNotValidPossibility, {tag.value.View(), tag.name, dm->PathInAsset(loaded->Info().filePath)},
           tag);
    return false;
  };
  if (owner->type == kMeshElement) {
    const Tag* parentTag = nullptr;
    for (const Tag* t : owner->tags)
      if (t->name == kAttParent) {
        parentTag = t;
        break;
      }
    if (!parentTag) {
      if (ErrorHandler* eh = ErrorHandler::Instance())
        eh->Error(FormatMessage(kNoAttParent, {owner->name}), &tag);
      return false;
    }
    const Container* mesh = nullptr;
    if (owner->parent)
      for (const Container* c : owner->parent->children)
        if (c->name == parentTag->value) {
          mesh = c;
          break;
        }
    return notInMesh(mesh);
  }
  if (comboBox && (owner->type == kEffectCorona || owner->type == kEffectAttachment))
    return notInMesh(owner->parent ? owner->parent->parent : nullptr);
  if (dm->borrowedMesh || dm->meshFailure) return true;
  Report(true, kNotValidPossibility2, {ContainerPath(tag), tag.name, tag.value.View()}, tag);
  return false;
}

bool WriteChoiceTag(Tag& tag, SoupWriter& out, bool comboBox) {
  bool ok = true;
  if (tag.value.IsEmpty()) ReportEmptyChoice(comboBox ? kEmptyComboBox : kEmptyListBox, tag);
  if (tag.hasSource && !DataManager::Instance()->IsPathRegistered(tag.value.Interned(), tag.Source()) &&
      tag.Source() == kAttachment)
    ok = CheckAttachment(tag, comboBox);
  ok = RunTagRules(tag) && ok;
  out.Text(tag.name, tag.value.View());
  return ok;
}

bool WriteIntComboBoxTag(Tag& tag, SoupWriter& out) {
  if (tag.value.IsEmpty()) ReportEmptyChoice(kEmptyComboBox, tag);
  const bool ok = RunTagRules(tag);
  out.Int(tag.name, ReadInt(tag.value.View()));
  return ok;
}

bool ReportEmptyName(const Tag& tag) {
  if (!tag.name.IsEmpty()) return false;
  Report(true, kEmptyName, {tag.name, OwnerName(tag)}, tag);
  return true;
}

bool WriteKUIDTag(Tag& tag, SoupWriter& out, bool browser) {
  bool ok = RunTagRules(tag);
  if (browser) ok = WarnNullKUID(tag) && ok;
  out.Kuid(tag.name, ReadKUID(tag.value));
  return ok;
}

bool WriteStringKUIDTag(Tag& tag, SoupWriter& out) {
  bool ok = !ReportEmptyName(tag);
  ok = RunTagRules(tag) && ok;
  out.Kuid(tag.name.ToLower(), ReadKUID(tag.value));
  return ok;
}

bool WriteStringKUIDBrowserTag(Tag& tag, SoupWriter& out) {
  bool ok = !ReportEmptyName(tag);
  ok = RunTagRules(tag) && ok;
  ok = WarnNullKUID(tag) && ok;
  out.Kuid(tag.name, ReadKUID(tag.value));
  return ok;
}

bool WriteDoubleStringTag(Tag& tag, SoupWriter& out) {
  bool ok = !ReportEmptyName(tag);
  if (tag.value.IsEmpty()) {
    Report(false, kEmptyStringWarn, {tag.name, OwnerName(tag)}, tag);
    ok = false;
  }
  ok = RunTagRules(tag) && ok;
  out.Text(tag.name.ToLower(), tag.value.View());
  return ok;
}

bool WriteFilePathTag(Tag& tag, SoupWriter& out, bool edit) {
  bool ok = true;
  Kiv::File::Path path(tag.value.View());
  if (tag.value.IsEmpty()) {
    // The empty-value text, at error severity: a file must be named.
    Report(true, kEmptyStringWarn, {tag.name, OwnerName(tag)}, tag);
    ok = false;
  } else {
    path.ReplaceForwardSlashes();
    static const char* const kMeshes[] = {"im", "lm", "lm.txt", "pm", "srt"};
    static const char* const kMeshesEdit[] = {"im", "lm", "txt", "pm", "srt"};
    static const char* const kImages[] = {"bmp", "tga", "jpg", "texture", "txt"};
    static const char* const kAnimations[] = {"kin"};
    auto accepts = [&](const auto& list) {
      for (const char* ext : list)
        if (path.IsExt(ext)) return true;
      return false;
    };
    const std::string_view type = tag.DataType().View();
    bool accepted = true;
    const Kiv::PString* key = nullptr;
    if (type == "meshes") {
      accepted = edit ? accepts(kMeshesEdit) : accepts(kMeshes);
      key = &kNoMeshExt;
    } else if (type == "image") {
      accepted = accepts(kImages);
      key = &kNoPictureExt;
    } else if (type == "animation") {
      accepted = accepts(kAnimations);
      key = &kNoAnimationExt;
    }
    if (!accepted) Report(true, *key, {tag.name, OwnerName(tag)}, tag);
  }
  ok = RunTagRules(tag) && ok;
  if (path.IsExt("txt")) path.SetExt("");
  out.Text(tag.name, path.View());
  return ok;
}

void MapKind(Tag& tag) {
  const std::string lower = Kiv::ToLowerAscii(tag.value.View());
  const std::string_view v = lower;
  if (v == "double-track" || v == "tunnel")
    tag.value = "bridge";
  else if (v == "chunky-track" || v == "mesh-reducing-track" || v == "obsolete-track")
    tag.value = "track";
  else if (v == "scenery-trackside")
    tag.value = "scenery";
  else
    tag.value = lower;
}

bool Write(Tag& tag, SoupWriter& out) {
  switch (tag.typeCode) {
    case Tag::kFloat: return WriteFloatTag(tag, out);
    case Tag::kString: return WriteStringTag(tag, out);
    case Tag::kInt: return WriteIntTag(tag, out);
    case Tag::kBool: return WriteBoolTag(tag, out);
    case Tag::kVector2: return WriteVectorTag(tag, out, 2);
    case Tag::kVector3: return WriteVectorTag(tag, out, 3);
    case Tag::kVector4: return WriteVectorTag(tag, out, 4);
    case Tag::kVector5: return WriteVectorTag(tag, out, 5);
    case Tag::kFloatList: return WriteVectorTag(tag, out, 0);
    case Tag::kComboBox: return WriteChoiceTag(tag, out, true);
    case Tag::kIntComboBox: return WriteIntComboBoxTag(tag, out);
    case Tag::kListBox: return WriteChoiceTag(tag, out, false);
    case Tag::kKUID: return WriteKUIDTag(tag, out, false);
    case Tag::kStringKUID: return WriteStringKUIDTag(tag, out);
    case Tag::kDoubleString: return WriteDoubleStringTag(tag, out);
    case Tag::kFilePath: return WriteFilePathTag(tag, out, false);
    case Tag::kFilePathEdit: return WriteFilePathTag(tag, out, true);
    case Tag::kKUIDBrowser: return WriteKUIDTag(tag, out, true);
    case Tag::kStringKUIDBrowser: return WriteStringKUIDBrowserTag(tag, out);
    case Tag::kComment: out.Text(tag.name, tag.value.View()); return true;
    default: return true;  // no value form of its own (and unclassified tags)
  }
}

bool Export(Container& container, SoupWriter& out) {
  if (container.extensions) {
    out.Child(kExtensions, *container.extensions);
    return true;
  }
  bool ok = true;
  for (Tag* tag : container.tags) {
    if (tag->name == kKind) MapKind(*tag);
    // Every writer runs, so a failed tag does not hide the findings of later
    // ones; the result is their conjunction.
    ok = Write(*tag, out) && ok;
  }
  for (Container* child : container.children) {
    SoupRef childSoup = out.Writes() ? SoupRef::NewContainer() : SoupRef();
    out.Child(child->savingName.IsEmpty() ? child->name : child->savingName, childSoup);
    SoupWriter childOut(out.Writes() ? &childSoup : nullptr);
    // (The progress trace of each child is recorded nowhere, so it is not built.)
    const bool exported = Export(*child, childOut);
    const bool checked = RunContainerRules(*child);
    ok = exported && checked && ok;
  }
  return ok;
}

}  // namespace

bool WriteTag(Tag& tag, SoupRef& soup) {
  SoupWriter out(&soup);
  return Write(tag, out);
}

bool ExportToSoup(Container& container, SoupRef& soup) {
  SoupWriter out(&soup);
  return Export(container, out);
}

bool CheckExport(Container& container) {
  SoupWriter out(nullptr);
  return Export(container, out);
}

std::vector<float> SplitFloats(std::string_view text) {
  std::vector<float> out;
  for (;;) {
    const size_t cut = text.find_first_of(" ,");
    out.push_back(ParseLeadingFloat(text.substr(0, cut)));
    if (cut == std::string_view::npos) break;
    text.remove_prefix(cut + 1);
  }
  return out;
}

}  // namespace OBLLib
