// Asset query filters: a tree of elements (texts, state flags, groups) that selects
// assets, its binary form (the body of query command 2) and UMBRunQuery.
//
// Binary form: u8 element type, then
//   string (1): u8 kind, string text
//   bool   (5): u8 flag index (0..21)
//   group  (6): u8 first flag (1 = every element must match, 0 = any), u8 second flag
//               (1 = the group's result is negated), u32 count, the elements.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/KUID.h"
#include "umbclient/AssetDatabase.h"

class TStream;

// What a filter sees of one asset.
struct UMBFilterSubject {
  const UMBAssetInfo& info;   // the KUID, name, categories, kind and state flags at least
  std::string_view keywords;  // the config's "keywords" (items separated by ';' or ',')
};

class UMBFilterElement {
public:
  enum Type : uint8_t { kTypeString = 1, kTypeBool = 5, kTypeGroup = 6 };
  // Deepest group nesting the reader accepts.
  static constexpr int kMaxDepth = 32;

  virtual ~UMBFilterElement() = default;
  virtual Type GetType() const = 0;
  [[nodiscard]] virtual bool Matches(const UMBFilterSubject& subject) const = 0;
  virtual void Write(TStream& s) const = 0;
  virtual std::unique_ptr<UMBFilterElement> Clone() const = 0;

  // Reads one element; null (and a log line) on a malformed, truncated or over-deep form.
  static std::unique_ptr<UMBFilterElement> Read(TStream& s);

protected:
  static std::unique_ptr<UMBFilterElement> ReadAt(TStream& s, int depth);
};

// A text element. Kinds: 0 asset-name (the text is found in the name, ignoring case);
// 1 category-list, 2 era-list, 3 keyword-list, 4 region-list (';'-separated items compared
// ignoring case with the asset's items: the asset must hold at least one plain item, when
// there are any, and every item written with a leading "#").
class UMBFilterElementString : public UMBFilterElement {
public:
  enum Kind : uint8_t { kAssetName = 0, kCategoryList = 1, kEraList = 2, kKeywordList = 3, kRegionList = 4 };
  UMBFilterElementString(uint8_t kind, std::string text);

  Type GetType() const override { return kTypeString; }
  [[nodiscard]] bool Matches(const UMBFilterSubject& subject) const override;
  void Write(TStream& s) const override;
  std::unique_ptr<UMBFilterElement> Clone() const override;

  uint8_t Kind() const { return m_kind; }
  const std::string& Text() const { return m_text; }

private:
  uint8_t m_kind;
  std::string m_text;
};

// Matches assets whose state flag (UMBAssetState, 0..21) is set.
class UMBFilterElementBool : public UMBFilterElement {
public:
  explicit UMBFilterElementBool(uint8_t flag);

  Type GetType() const override { return kTypeBool; }
  [[nodiscard]] bool Matches(const UMBFilterSubject& subject) const override;
  void Write(TStream& s) const override;
  std::unique_ptr<UMBFilterElement> Clone() const override;

  uint8_t Flag() const { return m_flag; }

private:
  uint8_t m_flag;
};

class UMBFilterElementGroup : public UMBFilterElement {
public:
  // first: 1 = all elements must match, 0 = any; second: 1 = negate the result.
  // An empty group matches every asset (before negation).
  UMBFilterElementGroup(uint8_t first = 1, uint8_t second = 0);

  Type GetType() const override { return kTypeGroup; }
  [[nodiscard]] bool Matches(const UMBFilterSubject& subject) const override;
  void Write(TStream& s) const override;
  std::unique_ptr<UMBFilterElement> Clone() const override;

  void Add(std::unique_ptr<UMBFilterElement> element);
  // Wraps the element in a nested group (first flag 1, second flag 1) and appends it:
  // the group then excludes the assets the element matches.
  static void AddGroup(UMBFilterElementGroup& group, std::unique_ptr<UMBFilterElement> element);

  uint8_t First() const { return m_first; }
  uint8_t Second() const { return m_second; }
  const std::vector<std::unique_ptr<UMBFilterElement>>& Elements() const { return m_elements; }

private:
  uint8_t m_first;
  uint8_t m_second;
  std::vector<std::unique_ptr<UMBFilterElement>> m_elements;
};

// Sends the group as query command 2 to the open database; the matching KUIDs in KUID
// order. Empty on failure. `rowsWalked`, when given, receives the asset rows the
// query read (AssetDatabase::RowsWalked).
std::vector<KUID> UMBRunQuery(const UMBFilterElementGroup& group, uint64_t* rowsWalked = nullptr);
