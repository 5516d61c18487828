#pragma once
// The results of one command: messages with a severity (1 information,
// 2 warning, 3 error, 4 success) and an optional asset property, collected
// under the log's own lock and printed by the front end in order.
#include <array>
#include <cstddef>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/KUID.h"
#include "foundation/Soup.h"
#include "kiv/PString.h"
#include "kiv/RefCount.h"

// A property attached to a result. Counted like every engine object: no
// holder after construction; RovanaPropertyRef holds it.
class RovanaProperty : public Kiv::ReferenceCountMP {
public:
  explicit RovanaProperty(const Kiv::PString& name) : m_name(name) {}
  const Kiv::PString& Name() const { return m_name; }

protected:
  ~RovanaProperty() override = default;

private:
  Kiv::PString m_name;
};

// The asset a result concerns.
class RovanaPropertyAssetID final : public RovanaProperty {
public:
  RovanaPropertyAssetID(const Kiv::PString& name, const KUID& kuid) : RovanaProperty(name), m_kuid(kuid) {}
  const KUID& GetKUID() const { return m_kuid; }

private:
  ~RovanaPropertyAssetID() override = default;
  KUID m_kuid;
};

// A counted reference to a property.
class RovanaPropertyRef {
public:
  RovanaPropertyRef() = default;
  RovanaPropertyRef(const RovanaPropertyRef& other) : m_p(other.m_p) {
    if (m_p) m_p->AddReference();
  }
  RovanaPropertyRef(RovanaPropertyRef&& other) noexcept : m_p(other.m_p) { other.m_p = nullptr; }
  RovanaPropertyRef& operator=(RovanaPropertyRef other) noexcept {
    std::swap(m_p, other.m_p);
    return *this;
  }
  ~RovanaPropertyRef() { Reset(); }

  // Shares a property (adds a reference).
  void Set(RovanaProperty* property) {
    if (property) property->AddReference();
    Reset();
    m_p = property;
  }
  void Reset() {
    if (m_p) m_p->ReleaseReference();
    m_p = nullptr;
  }
  RovanaProperty* Get() const { return m_p; }
  // The KUID when the property is an asset id, else null.
  const KUID* AssetKUID() const;

private:
  RovanaProperty* m_p = nullptr;
};

class ResultsLog {
public:
  enum Severity { kInformation = 1, kWarning = 2, kError = 3, kSuccess = 4 };

  struct Entry {
    int severity;
    RovanaPropertyRef asset;  // may be empty
    std::string text;         // final text, placeholders filled
    // Offsets of the line breaks the result was built with, in order; any
    // other control byte of the text came with the values put into it.
    std::vector<size_t> lineBreaks;
  };

  ResultsLog() = default;
  ResultsLog(const ResultsLog&) = delete;
  ResultsLog& operator=(const ResultsLog&) = delete;

  // Appends an entry. A text that is a single message key ("$" and no blank)
  // is first replaced by its interface text. Then every "$(NAME)" placeholder
  // whose name equals, without regard to case, a tag name of params is replaced
  // by that tag's value as text; inserted values are not searched again and
  // unmatched placeholders stay. A severity outside 1..4 is recorded as an
  // error. asset may be null; the log keeps its own reference.
  void AddResult(int severity, RovanaProperty* asset, std::string_view text,
                 const SoupRef& params = SoupRef());

  // Appends an entry of several lines, joined by line breaks that are the
  // entry's own; the lines are taken as they are (no message key, no
  // placeholders).
  void AddResultLines(int severity, RovanaProperty* asset, const std::vector<std::string>& lines);

  // Entries in the order they were added (a copy, safe while others add).
  std::vector<Entry> Entries() const;
  size_t Size() const;
  int Count(int severity) const;
  int InformationCount() const { return Count(kInformation); }
  int WarningCount() const { return Count(kWarning); }
  int ErrorCount() const { return Count(kError); }
  int SuccessCount() const { return Count(kSuccess); }
  void Clear();

  // The text with the placeholders of params filled, as AddResult does it.
  static std::string FillPlaceholders(std::string_view text, const SoupRef& params);

private:
  void Append(Entry entry);

  mutable std::mutex m_lock;
  std::vector<Entry> m_entries;
  std::array<int, 5> m_counts{};
};
