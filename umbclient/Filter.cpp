#include "umbclient/Filter.h"

#include "foundation/Stream.h"
#include "foundation/Text.h"
#include "umbclient/Internal.h"
#include "umbclient/OpenDatabase.h"

namespace {

bool ContainsText(std::string_view hay, std::string_view needle) {
  if (needle.empty()) return true;
  for (size_t i = 0; i + needle.size() <= hay.size(); ++i)
    if (SameText(hay.substr(i, needle.size()), needle)) return true;
  return false;
}

bool ListHolds(std::string_view list, std::string_view seps, std::string_view item) {
  return !ForEachListItem(list, seps, [&](std::string_view x) { return !SameText(x, item); });
}

// The filter list against the asset's list: at least one plain item (when any) and
// every "#" item.
bool ListMatches(std::string_view filter, std::string_view assetList, std::string_view seps) {
  bool anyPlain = false, plainHit = false, required = true;
  // A list item that stops the walk ends it; nothing else to do.
  (void)ForEachListItem(filter, ";", [&](std::string_view item) {
    if (item.front() == '#') {
      item.remove_prefix(1);
      if (!item.empty() && !ListHolds(assetList, seps, item)) required = false;
    } else {
      anyPlain = true;
      plainHit = plainHit || ListHolds(assetList, seps, item);
    }
    return true;
  });
  return required && (!anyPlain || plainHit);
}

}  // namespace

std::unique_ptr<UMBFilterElement> UMBFilterElement::Read(TStream& s) { return ReadAt(s, 0); }

std::unique_ptr<UMBFilterElement> UMBFilterElement::ReadAt(TStream& s, int depth) {
  uint8_t type = s.ReadU8(0xFF);
  if (s.GetError()) return nullptr;
  switch (type) {
    case kTypeString: {
      uint8_t kind = s.ReadU8(0xFF);
      std::string text = s.ReadString();
      if (s.GetError() || kind > UMBFilterElementString::kRegionList) break;
      return std::make_unique<UMBFilterElementString>(kind, std::move(text));
    }
    case kTypeBool: {
      uint8_t flag = s.ReadU8(0xFF);
      if (s.GetError() || flag >= kStateCount) break;
      return std::make_unique<UMBFilterElementBool>(flag);
    }
    case kTypeGroup: {
      uint8_t first = s.ReadU8(0xFF), second = s.ReadU8(0xFF);
      uint32_t count = s.ReadU32();
      if (s.GetError() || first > 1 || second > 1 || depth >= kMaxDepth) break;
      // Each element takes at least two bytes: a count beyond that is a lie.
      int64_t remaining = s.Remaining();
      if (remaining >= 0 && count > static_cast<uint64_t>(remaining) / 2) break;
      auto group = std::make_unique<UMBFilterElementGroup>(first, second);
      for (uint32_t i = 0; i < count; ++i) {
        auto child = ReadAt(s, depth + 1);
        if (!child) return nullptr;
        group->Add(std::move(child));
      }
      return group;
    }
    default: break;
  }
  UmbLog("UMBFilterElement::Read> malformed filter element");
  return nullptr;
}

UMBFilterElementString::UMBFilterElementString(uint8_t kind, std::string text)
    : m_kind(kind), m_text(std::move(text)) {}

bool UMBFilterElementString::Matches(const UMBFilterSubject& subject) const {
  const UMBAssetInfo& info = subject.info;
  switch (m_kind) {
    case kAssetName: return ContainsText(info.localisedName, m_text);
    case kCategoryList: return ListMatches(m_text, info.category, ";");
    case kEraList: return ListMatches(m_text, info.categoryEra, ";");
    case kKeywordList: return ListMatches(m_text, subject.keywords, ";,");
    case kRegionList: return ListMatches(m_text, info.categoryRegion, ";");
    default: return false;
  }
}

void UMBFilterElementString::Write(TStream& s) const {
  s.WriteU8(kTypeString);
  s.WriteU8(m_kind);
  s.WriteString(m_text);
}

std::unique_ptr<UMBFilterElement> UMBFilterElementString::Clone() const {
  return std::make_unique<UMBFilterElementString>(m_kind, m_text);
}

UMBFilterElementBool::UMBFilterElementBool(uint8_t flag) : m_flag(flag) {}

bool UMBFilterElementBool::Matches(const UMBFilterSubject& subject) const {
  return m_flag < kStateCount && subject.info.HasState(static_cast<UMBAssetState>(m_flag));
}

void UMBFilterElementBool::Write(TStream& s) const {
  s.WriteU8(kTypeBool);
  s.WriteU8(m_flag);
}

std::unique_ptr<UMBFilterElement> UMBFilterElementBool::Clone() const {
  return std::make_unique<UMBFilterElementBool>(m_flag);
}

UMBFilterElementGroup::UMBFilterElementGroup(uint8_t first, uint8_t second)
    : m_first(first), m_second(second) {}

bool UMBFilterElementGroup::Matches(const UMBFilterSubject& subject) const {
  bool result = m_first != 0 || m_elements.empty();
  for (const auto& e : m_elements) {
    bool hit = e->Matches(subject);
    if (m_first != 0 && !hit) {
      result = false;
      break;
    }
    if (m_first == 0 && hit) {
      result = true;
      break;
    }
  }
  return m_second != 0 ? !result : result;
}

void UMBFilterElementGroup::Write(TStream& s) const {
  s.WriteU8(kTypeGroup);
  s.WriteU8(m_first);
  s.WriteU8(m_second);
  s.WriteU32(static_cast<uint32_t>(m_elements.size()));
  for (const auto& e : m_elements) e->Write(s);
}

std::unique_ptr<UMBFilterElement> UMBFilterElementGroup::Clone() const {
  auto copy = std::make_unique<UMBFilterElementGroup>(m_first, m_second);
  for (const auto& e : m_elements) copy->Add(e->Clone());
  return copy;
}

void UMBFilterElementGroup::Add(std::unique_ptr<UMBFilterElement> element) {
  if (element) m_elements.push_back(std::move(element));
}

void UMBFilterElementGroup::AddGroup(UMBFilterElementGroup& group,
                                     std::unique_ptr<UMBFilterElement> element) {
  if (!element) return;
  auto nested = std::make_unique<UMBFilterElementGroup>(1, 1);
  nested->Add(std::move(element));
  group.Add(std::move(nested));
}

std::vector<KUID> UMBRunQuery(const UMBFilterElementGroup& group, uint64_t* rowsWalked) {
  TBuffer body, reply;
  group.Write(body);
  std::vector<KUID> out;
  uint64_t before = 0, after = 0;
  if (rowsWalked) (void)UMBWithDatabase([&](AssetDatabase& db) { before = db.RowsWalked(); });
  const bool answered = UMBExecuteTransaction(UMBRequest::RunQuery, body, reply);
  if (rowsWalked) {
    (void)UMBWithDatabase([&](AssetDatabase& db) { after = db.RowsWalked(); });
    *rowsWalked = after >= before ? after - before : 0;
  }
  if (!answered) return out;
  uint32_t count = reply.ReadU32();
  int64_t remaining = reply.Remaining();
  if (reply.GetError() || remaining < 0 || count > static_cast<uint64_t>(remaining) / 8) return out;
  out.reserve(count);
  for (uint32_t i = 0; i < count; ++i) out.push_back(reply.ReadKUID());
  if (reply.GetError()) out.clear();
  return out;
}
