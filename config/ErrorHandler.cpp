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
  m_ownerText.clear();
  m_text.clear();
  m_byOwner.clear();
  m_unmarkedOwners = false;
}

void ErrorHandler::Index(EntryList::iterator it) {
  const void* text = it->text.Handle();
  ++m_ownerText[Key{it->container, text, kByContainer}];
  ++m_ownerText[Key{it->tag, text, kByTag}];
  ++m_text[text];
  if (it->container) m_byOwner[it->container].push_back(it);
  if (it->tag) m_byOwner[it->tag].push_back(it);
}

void ErrorHandler::Unindex(EntryList::iterator it) {
  const void* text = it->text.Handle();
  auto drop = [](auto& map, const auto& key) {
    auto found = map.find(key);
    if (found != map.end() && --found->second == 0) map.erase(found);
  };
  drop(m_ownerText, Key{it->container, text, kByContainer});
  drop(m_ownerText, Key{it->tag, text, kByTag});
  drop(m_text, text);
  for (uint64_t owner : {it->container, it->tag}) {
    if (!owner) continue;
    auto list = m_byOwner.find(owner);
    if (list == m_byOwner.end()) continue;
    auto& q = list->second;
    for (auto pos = q.begin(); pos != q.end(); ++pos) {
      if (*pos == it) {
        q.erase(pos);
        break;
      }
    }
    if (q.empty()) m_byOwner.erase(list);
  }
}

bool ErrorHandler::Report(int severity, const Kiv::PString& text, uint64_t container, uint64_t tag,
                          Form form) {
  const void* handle = text.Handle();
  // Each form compares only the owner field it names; a null owner therefore
  // matches the entries whose field is empty, as an address would.
  switch (form) {
    case Form::kUnattributed:
      if (m_text.count(handle)) return false;
      break;
    case Form::kContainer:
      if (m_ownerText.count(Key{container, handle, kByContainer})) return false;
      break;
    case Form::kTag:
      if (m_ownerText.count(Key{tag, handle, kByTag})) return false;
      break;
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

bool ErrorHandler::Trace(const Kiv::PString&, const Container*) { return true; }
bool ErrorHandler::Trace(const Kiv::PString&, const Tag*) { return true; }

bool ErrorHandler::IsNotReported(const Kiv::PString& text) const { return m_text.count(text.Handle()) == 0; }

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
  if (!id) return;
  auto list = m_byOwner.find(id);
  if (list == m_byOwner.end()) return;
  EntryList::iterator first = list->second.front();
  Unindex(first);
  m_entries.erase(first);
}

void ErrorHandler::ForgetTag(const Tag* tag) { ForgetOwner(IdOf(tag)); }
void ErrorHandler::ForgetContainer(const Container* container) { ForgetOwner(IdOf(container)); }

}  // namespace OBLLib
