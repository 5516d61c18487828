#include "config/ErrorHandler.h"

#include <cstdio>

#include "config/Container.h"
#include "foundation/InterfaceTextDB.h"

namespace OBLLib {

namespace {
ErrorHandler* g_instance = nullptr;

const Kiv::PString& PrefixKey(int severity) {
  static const Kiv::PString error("$obl_eh_error");
  static const Kiv::PString warning("$obl_eh_warning");
  static const Kiv::PString message("$obl_eh_message");
  return severity == ErrorHandler::kError ? error : severity == ErrorHandler::kWarning ? warning : message;
}

uint64_t IdOf(const Container* c) { return c ? c->Id() : 0; }
uint64_t IdOf(const Tag* t) { return t ? t->Id() : 0; }
// The id of an owner reported against, which is marked so.
template <class Owner>
uint64_t MarkedId(const Owner* owner) {
  if (!owner) return 0;
  owner->reported = true;
  return owner->Id();
}
}  // namespace

bool ErrorHandler::Create() {
  delete g_instance;
  g_instance = new ErrorHandler();
  return true;
}

void ErrorHandler::Destroy() {
  if (!g_instance) return;
  g_instance->Clear();
  delete g_instance;
  g_instance = nullptr;
}

ErrorHandler* ErrorHandler::Instance() { return g_instance; }

ErrorHandler::~ErrorHandler() { Clear(); }

void ErrorHandler::Clear() {
  m_entries.clear();
  m_byOwner.Clear();
  m_text.Clear();
  m_unmarkedOwners = false;
}

namespace {
// Interned texts are told apart by their handle; one more than its address
// keeps the null text's key from 0, the table's free mark.
uint64_t TextKey(const Kiv::PString& text) { return reinterpret_cast<uintptr_t>(text.Handle()) + 1; }
}  // namespace

void ErrorHandler::Index(EntryList::iterator it) {
  TextUse& use = m_text.Insert(TextKey(it->text));
  ++use.all;
  use.noContainer += it->container == 0;
  use.noTag += it->tag == 0;
  if (it->container) m_byOwner.Insert(it->container).push_back(it);
  if (it->tag) m_byOwner.Insert(it->tag).push_back(it);
}

void ErrorHandler::Unindex(EntryList::iterator it) {
  const uint64_t text = TextKey(it->text);
  if (TextUse* use = m_text.Find(text)) {
    use->noContainer -= it->container == 0;
    use->noTag -= it->tag == 0;
    if (--use->all == 0) m_text.Erase(text);
  }
  for (uint64_t owner : {it->container, it->tag}) {
    CompactList<EntryList::iterator>* list = owner ? m_byOwner.Find(owner) : nullptr;
    if (!list) continue;
    for (size_t i = 0; i < list->size(); ++i) {
      if ((*list)[i] == it) {
        list->erase(i);
        break;
      }
    }
    if (list->empty()) m_byOwner.Erase(owner);
  }
}

bool ErrorHandler::Report(int severity, const Kiv::PString& text, uint64_t container, uint64_t tag,
                          Form form) {
  // Each form compares only the owner field it names; a null owner therefore
  // matches the entries whose field is empty, as an address would.
  const TextUse* use = m_text.Find(TextKey(text));
  if (use) {
    const uint64_t owner = form == Form::kContainer ? container : tag;
    if (form == Form::kUnattributed) return false;
    if (!owner && (form == Form::kContainer ? use->noContainer : use->noTag)) return false;
    if (const CompactList<EntryList::iterator>* list = owner ? m_byOwner.Find(owner) : nullptr) {
      for (EntryList::iterator it : *list)
        if ((form == Form::kContainer ? it->container : it->tag) == owner &&
            it->text.Handle() == text.Handle())
          return false;
    }
  }
  if (m_echo) {
    Kiv::PString prefix = InterfaceTextDB::Instance().GetString(PrefixKey(severity), true);
    std::fwrite(prefix.c_str(), 1, prefix.Length(), stdout);
    std::fwrite(text.c_str(), 1, text.Length(), stdout);
    std::fputc('\n', stdout);
  }
  m_entries.push_back(Entry{container, tag, text, severity});
  Index(std::prev(m_entries.end()));
  return true;
}

bool ErrorHandler::Error(const Kiv::PString& t, const Container* c) {
  return Report(kError, t, MarkedId(c), 0, Form::kContainer);
}
bool ErrorHandler::Error(const Kiv::PString& t, const Tag* g) {
  return Report(kError, t, 0, MarkedId(g), Form::kTag);
}
bool ErrorHandler::Error(const Kiv::PString& t) { return Report(kError, t, 0, 0, Form::kUnattributed); }
bool ErrorHandler::Warning(const Kiv::PString& t, const Container* c) {
  return Report(kWarning, t, MarkedId(c), 0, Form::kContainer);
}
bool ErrorHandler::Warning(const Kiv::PString& t, const Tag* g) {
  return Report(kWarning, t, 0, MarkedId(g), Form::kTag);
}
bool ErrorHandler::Warning(const Kiv::PString& t) { return Report(kWarning, t, 0, 0, Form::kUnattributed); }
bool ErrorHandler::Message(const Kiv::PString& t, const Container* c) {
  return Report(kMessage, t, MarkedId(c), 0, Form::kContainer);
}
bool ErrorHandler::Message(const Kiv::PString& t, const Tag* g) {
  return Report(kMessage, t, 0, MarkedId(g), Form::kTag);
}
bool ErrorHandler::Message(const Kiv::PString& t) { return Report(kMessage, t, 0, 0, Form::kUnattributed); }

void ErrorHandler::NoteLast(const Kiv::PString& note) {
  if (!m_entries.empty()) m_entries.back().note = note;
}

bool ErrorHandler::Trace(const Kiv::PString&, const Container*) { return true; }
bool ErrorHandler::Trace(const Kiv::PString&, const Tag*) { return true; }

bool ErrorHandler::IsNotReported(const Kiv::PString& text) const {
  return m_text.Find(TextKey(text)) == nullptr;
}

void ErrorHandler::SetEntries(const EntryList& entries) {
  if (&entries == &m_entries) return;
  EntryList copy(entries);
  Clear();
  m_entries.swap(copy);
  for (auto it = m_entries.begin(); it != m_entries.end(); ++it) {
    Index(it);
    if (it->container || it->tag) m_unmarkedOwners = true;
  }
}

void ErrorHandler::ForgetOwner(uint64_t id) {
  const CompactList<EntryList::iterator>* list = id ? m_byOwner.Find(id) : nullptr;
  if (!list) return;
  EntryList::iterator first = (*list)[0];
  Unindex(first);
  m_entries.erase(first);
}

void ErrorHandler::ForgetOwners(const uint64_t* ids, size_t count) {
  // Each step needs what the one before fetched: the owner's slot, its list,
  // the entry, the entry's text and its slot.
  constexpr size_t kSlotAhead = 12, kListAhead = 8, kEntryAhead = 4, kTextAhead = 2, kFetchAheadFrom = 2048;
  auto firstOf = [this](uint64_t id) -> const Entry* {
    const CompactList<EntryList::iterator>* list = m_byOwner.Find(id);
    return list ? &*(*list)[0] : nullptr;
  };
  // Few findings lie in the cache still: the look-ups ahead would only add work.
  if (m_byOwner.Size() < kFetchAheadFrom) {
    for (size_t i = 0; i < count; ++i) ForgetOwner(ids[i]);
    return;
  }
  for (size_t i = 0; i < count; ++i) {
    if (i + kSlotAhead < count) m_byOwner.Prefetch(ids[i + kSlotAhead]);
    if (i + kListAhead < count)
      if (const CompactList<EntryList::iterator>* list = m_byOwner.Find(ids[i + kListAhead]))
        __builtin_prefetch(list->begin());
    if (i + kEntryAhead < count)
      if (const Entry* entry = firstOf(ids[i + kEntryAhead])) {
        __builtin_prefetch(reinterpret_cast<const char*>(entry) - 2 * sizeof(void*), 1);  // the node's links
        __builtin_prefetch(&entry->text, 1);
      }
    if (i + kTextAhead < count)
      if (const Entry* entry = firstOf(ids[i + kTextAhead])) {
        m_text.Prefetch(TextKey(entry->text));
        __builtin_prefetch(entry->text.Handle(), 1);
      }
    ForgetOwner(ids[i]);
  }
}

void ErrorHandler::ForgetTag(const Tag* tag) { ForgetOwner(IdOf(tag)); }
void ErrorHandler::ForgetContainer(const Container* container) { ForgetOwner(IdOf(container)); }

}  // namespace OBLLib
