#pragma once
// Collector of the findings that the config-schema library makes while it
// imports, checks and exports asset configs. One instance per process.
//
// Entries are attributed to containers and tags by their serial id, never by
// address: a tag or container made later at a reused address must not see the
// findings of an earlier one.
#include <cstdint>
#include <list>
#include <vector>

#include "config/CompactList.h"
#include "config/KeyTable.h"
#include "kiv/PString.h"

namespace OBLLib {

class Container;
class Tag;

class ErrorHandler {
public:
  enum Severity : int { kMessage = 0, kWarning = 2, kError = 3 };

  struct Entry {
    Entry() = default;
    Entry(uint64_t c, uint64_t t, Kiv::PString x, int s)
        : container(c), tag(t), text(std::move(x)), severity(s) {}

    uint64_t container = 0;  // serial id of the container, 0 when none
    uint64_t tag = 0;        // serial id of the tag, 0 when none
    Kiv::PString text;       // the message as the caller built it
    int severity = kMessage;
    Kiv::PString note;  // shown after the finding: the value, file or tag it is about
  };
  using EntryList = std::list<Entry>;

  // Makes the singleton (echo off, no entries); true.
  [[nodiscard]] static bool Create();
  // Clears and deletes the singleton; nothing when there is none.
  static void Destroy();
  // The singleton, or null before Create and after Destroy.
  static ErrorHandler* Instance();

  ErrorHandler() = default;
  virtual ~ErrorHandler();
  ErrorHandler(const ErrorHandler&) = delete;
  ErrorHandler& operator=(const ErrorHandler&) = delete;

  // Drops every entry.
  void Clear();

  // Records a finding; false when the same text is already recorded for the
  // same owner (for the unattributed form: for any owner). A repeat is no
  // failure: callers that do not count findings drop the result.
  bool Error(const Kiv::PString& text, const Container* container);
  bool Error(const Kiv::PString& text, const Tag* tag);
  bool Error(const Kiv::PString& text);
  bool Warning(const Kiv::PString& text, const Container* container);
  bool Warning(const Kiv::PString& text, const Tag* tag);
  bool Warning(const Kiv::PString& text);
  bool Message(const Kiv::PString& text, const Container* container);
  bool Message(const Kiv::PString& text, const Tag* tag);
  bool Message(const Kiv::PString& text);

  // Gives the finding recorded last a note naming what it is about; for use
  // right after a report that returned true.
  void NoteLast(const Kiv::PString& note);

  // Progress notes of the import and export: recorded nowhere, always true.
  bool Trace(const Kiv::PString& text, const Container* container);
  bool Trace(const Kiv::PString& text, const Tag* tag);

  // False when any entry holds this text, whatever its owner.
  [[nodiscard]] bool IsNotReported(const Kiv::PString& text) const;

  // Replaces the list by a copy of another.
  void SetEntries(const EntryList& entries);
  void SetEcho(bool echo) { m_echo = echo; }
  [[nodiscard]] bool Echo() const { return m_echo; }

  // Removes the first entry attributed to this owner (only that one).
  void ForgetTag(const Tag* tag);
  void ForgetContainer(const Container* container);
  // The same for each owner id in turn. A large tree deleted together takes
  // back its tags' findings long after their table slots and entries left
  // the cache: those of the owners a few places on are asked for while one is
  // taken back, so that the misses overlap.
  void ForgetOwners(const uint64_t* ids, size_t count);
  // Owners mark themselves when reported against, so a deleted owner that was
  // never reported need not be looked up; entries put in by SetEntries carry
  // no such mark, so then every owner is.
  [[nodiscard]] bool HoldsUnmarkedOwners() const { return m_unmarkedOwners; }

  // The list itself, in the order of reporting.
  const EntryList& GetEntries() const { return m_entries; }

private:
  enum class Form : uint8_t { kContainer, kTag, kUnattributed };
  [[nodiscard]] bool Report(int severity, const Kiv::PString& text, uint64_t container, uint64_t tag,
                            Form form);
  void Index(EntryList::iterator it);
  void Unindex(EntryList::iterator it);
  void ForgetOwner(uint64_t id);

  bool m_echo = false;
  bool m_unmarkedOwners = false;
  EntryList m_entries;
  // Behind the repeat test, so a report costs O(1) however long the list.
  // Each owner (by id) keeps its entries in list order; an owner has a few.
  KeyTable<CompactList<EntryList::iterator>> m_byOwner;
  // Per text (by its interned handle): the entries holding it, and those of
  // them without a container or without a tag (what a null owner matches).
  struct TextUse {
    int all = 0;
    int noContainer = 0;
    int noTag = 0;
  };
  KeyTable<TextUse> m_text;
};

}  // namespace OBLLib
