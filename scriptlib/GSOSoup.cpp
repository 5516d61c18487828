#include "scriptlib/GSOSoup.h"

#include <algorithm>
#include <string>

#include "gamescript/runtime/GameObject.h"
#include "scriptlib/GSOKUID.h"
#include "scriptlib/NativeBinding.h"
#include "scriptlib/ScriptNatives.h"

using namespace GSRuntime;
using namespace ScriptNatives;

GSOSoup::GSOSoup(GSContext* context, const SoupRef& soup, bool locked) : m_soup(soup), m_locked(locked) {
  // A failed bind leaves no handle, which NewScriptObject tests.
  (void)BindScriptClass(ScriptClasses().soup, context);
  if (!m_locked) ACSChunk::CountMemory(m_soup.Get());
}

void GSOSoup::SetSoup(const SoupRef& soup) {
  m_soup = soup;
  if (!m_locked) ACSChunk::CountMemory(m_soup.Get());
}

bool GSOSoup::Fits(uint64_t bytes, const char* native) {
  if (m_locked || ScriptMemory::Fits(bytes)) return true;
  Raise((std::string(native) + "> the soup would pass the script memory limit").c_str());
  return false;
}

bool GSOSoup::Counted(const char* native) {
  if (!m_locked) ACSChunk::CountMemory(m_soup.Get());
  if (!ScriptMemory::Passed()) return true;
  Raise((std::string(native) + "> the soup passes the script memory limit").c_str());
  return false;
}

GSOSoup* GSOSoup::Create(GSContext* context, const SoupRef& soup, bool locked) {
  return NewScriptObject<GSOSoup>(context, soup, locked);
}

bool GSOSoup::Unlocked(const char* text) const {
  if (m_locked) Raise(text);
  return !m_locked;
}

void GSOSoup::PushChild(GSStack& stack, const SoupRef& soup) {
  PushObject(stack, Create(Context(), soup, m_locked), false);
}

void GSOSoup::EnterChild(const Kiv::PString& name, GSOSoup& child, const char* native) {
  m_soup.EnsureContainer();
  child.m_soup.EnsureContainer();
  // Whether the child holds this soup is found by a walk through the child.
  PayRunBudget(SoupBytes(child.m_soup));
  if (!m_soup.SetNamedSoup(name, child.m_soup))
    return Raise((std::string(native) + "> sub-soup contains parent soup").c_str());
  Counted(native);
}

void GSOSoup::PayLookup(const Kiv::PString& name) const {
  PayRunBudget(m_soup.TagsWalked(name) * sizeof(TDBDataTag));
}

void GSOSoup::PaySet(const Kiv::PString& name) const {
  // Setting a name the soup holds removes every tag of it: a walk of them all.
  PayRunBudget((m_soup.TagsWalked(name) ? m_soup.CountTags() : 0) * sizeof(TDBDataTag));
}

void GSOSoup::IsLocked(GSStack& stack) { PushNativeBoolResult(stack, m_locked); }

void GSOSoup::CountTags(GSStack& stack) { PushNativeResult(stack, uint32_t(m_soup.CountTags())); }

void GSOSoup::GetNamedTag(GSStack& stack) {
  Kiv::PString name;
  if (!GetNativePStringParameter(stack, 1, name, false)) return PushNativeResult(stack, 0);
  PayLookup(name);
  PushNativeStringResult(stack, Context(), m_soup.GetNamedTag(name).View());
}

void GSOSoup::GetNamedSoup(GSStack& stack) {
  Kiv::PString name;
  if (!GetNativePStringParameter(stack, 1, name, false)) return PushNativeResult(stack, 0);
  PayLookup(name);
  PushChild(stack, m_soup.GetNamedSoup(name));
}

void GSOSoup::GetNamedSoupAdd(GSStack& stack) {
  if (!Unlocked("Soup.GetNamedSoupAdd> parent soup is locked")) return PushNativeResult(stack, 0);
  Kiv::PString name;
  if (!GetNativePStringParameter(stack, 1, name, false)) return PushNativeResult(stack, 0);
  PayLookup(name);
  SoupRef child = m_soup.GetNamedSoup(name);
  if (!child) {
    child = SoupRef::NewContainer();
    // A child made here cannot hold the soup it enters.
    (void)m_soup.SetNamedSoup(name, child);
    if (!Counted("Soup.GetNamedSoupAdd")) return PushNativeResult(stack, 0);
  }
  PushChild(stack, child);
}

void GSOSoup::GetIndexedTagName(GSStack& stack) {
  const int32_t index = GetNativeIntParameter(stack, 1);
  PushNativeStringResult(stack, Context(),
                         index < 0 ? std::string_view() : m_soup.GetIndexedTagName(size_t(index)).View());
}

// What a look-up by name takes besides the tags it walks, as bytes copied:
// the name interned (made and let go again when no soup holds it) and the
// soup's name index asked under its lock, a quarter of a microsecond.
constexpr uint64_t kNameLookupBytes = 4096;

void GSOSoup::GetIndexForNamedTag(GSStack& stack) {
  Kiv::PString name;
  if (!GetNativePStringParameter(stack, 1, name, false)) return PushNativeResult(stack, 0);
  // The soup's name index answers a name it does not hold without a walk.
  const long found = m_soup ? m_soup.Get()->FindTag(name) : -1;
  PayRunBudget(kNameLookupBytes +
               (found >= 0 ? size_t(found) + 1 : m_soup.TagsWalked(name)) * sizeof(TDBDataTag));
  PushNativeResult(stack, uint32_t(found));
}

void GSOSoup::GetNamedTagAsKUID(GSStack& stack) {
  Kiv::PString name;
  if (!GetNativePStringParameter(stack, 1, name, false)) return PushNativeResult(stack, 0);
  PayLookup(name);
  const KUID kuid = m_soup.GetNamedTagAsKUID(name);
  PushObject(stack, kuid.IsNull() ? nullptr : GetKUIDObject(Context(), kuid), false);
}

void GSOSoup::GetNamedTagAsInt(GSStack& stack) {
  Kiv::PString name;
  if (!GetNativePStringParameter(stack, 1, name, false)) return PushNativeResult(stack, 0);
  PayLookup(name);
  PushNativeResult(stack, uint32_t(m_soup.GetNamedTagAsInt(name, 0)));
}

void GSOSoup::GetNamedTagAsIntDefault(GSStack& stack) {
  Kiv::PString name;
  if (!GetNativePStringParameter(stack, 1, name, false)) return PushNativeResult(stack, 0);
  PayLookup(name);
  PushNativeResult(stack, uint32_t(m_soup.GetNamedTagAsInt(name, GetNativeIntParameter(stack, 2))));
}

void GSOSoup::GetNamedTagAsFloat(GSStack& stack) {
  Kiv::PString name;
  if (!GetNativePStringParameter(stack, 1, name, false)) return PushNativeResult(stack, 0);
  PayLookup(name);
  // The frame has room for the result.
  (void)PushNativeFloatResult(stack, m_soup.GetNamedTagAsFloat(name, 0.0f));
}

void GSOSoup::GetNamedTagAsFloatDefault(GSStack& stack) {
  Kiv::PString name;
  if (!GetNativePStringParameter(stack, 1, name, false)) return PushNativeResult(stack, 0);
  PayLookup(name);
  // The frame has room for the result.
  (void)PushNativeFloatResult(stack, m_soup.GetNamedTagAsFloat(name, GetNativeFloatParameter(stack, 2)));
}

void GSOSoup::SetNamedTagText(GSStack& stack) {
  if (!Unlocked("Soup.SetNamedTag> parent soup is locked")) return;
  Kiv::PString name, text;
  if (!GetNativePStringParameter(stack, 1, name, false) || !GetNativePStringParameter(stack, 2, text, true))
    return;
  PaySet(name);
  PayRunBudget(text.View().size());
  if (!Fits(text.View().size() + name.View().size() + sizeof(TDBDataTag), "Soup.SetNamedTag")) return;
  m_soup.SetNamedTag(name, text.View());
  Counted("Soup.SetNamedTag");
}

void GSOSoup::SetNamedTagFloat(GSStack& stack) {
  if (!Unlocked("Soup.SetNamedTag> parent soup is locked")) return;
  Kiv::PString name;
  if (!GetNativePStringParameter(stack, 1, name, false)) return;
  PaySet(name);
  m_soup.SetNamedTagFloat(name, GetNativeFloatParameter(stack, 2));
  Counted("Soup.SetNamedTag");
}

void GSOSoup::SetNamedTagInt(GSStack& stack) {
  if (!Unlocked("Soup.SetNamedTag> parent soup is locked")) return;
  Kiv::PString name;
  if (!GetNativePStringParameter(stack, 1, name, false)) return;
  PaySet(name);
  m_soup.SetNamedTagInt(name, GetNativeIntParameter(stack, 2));
  Counted("Soup.SetNamedTag");
}

void GSOSoup::SetNamedTagKUID(GSStack& stack) {
  if (!Unlocked("Soup.SetNamedKUID> parent soup is locked")) return;
  Kiv::PString name;
  GSOKUID* kuid = nullptr;
  if (!GetNativePStringParameter(stack, 1, name, false) || !GetNativeParameter(stack, 2, kuid, true)) return;
  PaySet(name);
  m_soup.SetNamedTagKUID(name, kuid ? kuid->Kuid() : KUID::Null());
  Counted("Soup.SetNamedKUID");
}

void GSOSoup::SetNamedSoup(GSStack& stack) {
  if (!Unlocked("Soup.SetNamedTag> parent soup is locked")) return;
  Kiv::PString name;
  GSOSoup* child = nullptr;
  if (!GetNativePStringParameter(stack, 1, name, false) || !GetNativeParameter(stack, 2, child, false))
    return;
  if (child->m_locked) return Raise("Soup.SetNamedTag> sub-soup parameter is locked");
  PaySet(name);
  EnterChild(name, *child, "Soup.SetNamedTag");
}

void GSOSoup::RemoveNamedTag(GSStack& stack) {
  if (!Unlocked("Soup.RemoveNamedTag> parent soup is locked")) return;
  Kiv::PString name;
  if (!GetNativePStringParameter(stack, 1, name, false)) return;
  PaySet(name);  // the tags after it move down
  m_soup.RemoveNamedTag(name);
}

void GSOSoup::Copy(GSStack& stack) {
  if (!Unlocked("Soup.Copy> parent soup is locked")) return;
  GSOSoup* source = nullptr;
  if (!GetNativeParameter(stack, 1, source, false)) return;
  const uint64_t bytes = SoupBytes(source->m_soup);
  PayRunBudget(bytes);
  if (!Fits(bytes, "Soup.Copy")) return;
  m_soup.Copy(source->m_soup);  // copies before it lets go, so a self-copy keeps the data
  Counted("Soup.Copy");
}

void GSOSoup::Clear(GSStack&) {
  if (!Unlocked("Soup.Clear> parent soup is locked")) return;
  PayRunBudget(m_soup.CountTags() * sizeof(TDBDataTag));
  m_soup.Clear();
}

void GSOSoup::GetLockedReference(GSStack& stack) {
  m_soup.EnsureContainer();
  if (m_locked) return PushObject(stack, this, true);
  // The new reference is locked: it is the read-only view of this soup that
  // one script hands to another.
  PushObject(stack, Create(Context(), m_soup, true), false);
}

void GSOSoup::AddUniqueNamedSoup(GSStack& stack) {
  if (!Unlocked("Soup.AddUniqueNamedSoup> parent soup is locked")) return;
  GSOSoup* child = nullptr;
  if (!GetNativeParameter(stack, 1, child, false)) return;
  if (child->m_locked) return Raise("Soup.AddUniqueNamedSoup> sub-soup parameter is locked");
  PayRunBudget(m_soup.CountTags() * sizeof(TDBDataTag));  // the unique name is found by a walk
  EnterChild(m_soup.GetUniqueTagName(), *child, "Soup.AddUniqueNamedSoup");
}

const char* GSOSoup::WriteRefusal(uint64_t size, int depth) {
  if (depth > kMaxSoupDepth) return "> the soup is nested too deeply to write";
  if (!ScriptMemory::Fits(size)) return "> the soup's text would pass the script memory limit";
  if (size > RunBudgetBytesLeft()) return "> the soup's text would pass the run budget";
  return nullptr;
}

void GSOSoup::LogForScript(const SoupRef& soup, const char* who) {
  // Counted before anything is made: a soup that holds one container under
  // many names spells it out once per name, so a few nodes can stand for
  // terabytes of text. The count walks the soup once.
  PayRunBudget(SoupBytes(soup));
  int depth = 0;
  const uint64_t size = SoupTextSize(soup, &depth);
  const char* refusal = WriteRefusal(size, depth);
  // Logged text stays with the host: it pays a budget byte per byte, as World.Log does.
  if (!refusal && !PayForOutput(size)) refusal = "> the soup's text would pass the run budget";
  uint64_t made = 0;
  if (!refusal && !soup.Log(size, &made)) refusal = "> the soup could not be written";
  if (refusal) Raise((std::string(who) + refusal).c_str());
}

void GSOSoup::Log(GSStack&) { LogForScript(m_soup, "Soup.Log"); }

void GSOSoup::RegisterNatives(GSMachine& machine) {
  SetSoupMemoryHook({[](uint64_t bytes) { ScriptMemory::Charge(bytes); },
                     [](uint64_t bytes) { ScriptMemory::Give(bytes); }});
  const char* const s = "Soup";
  AddNative(machine, s, "$bool@Soup::IsLocked()", &GSOSoup::IsLocked);
  AddNative(machine, s, "$int@Soup::CountTags()", &GSOSoup::CountTags);
  AddNative(machine, s, "$string@Soup::GetNamedTag(string)", &GSOSoup::GetNamedTag);
  AddNative(machine, s, "$Soup@Soup::GetNamedSoup(string)", &GSOSoup::GetNamedSoup);
  AddNative(machine, s, "$Soup@Soup::GetNamedSoupAdd(string)", &GSOSoup::GetNamedSoupAdd);
  AddNative(machine, s, "$string@Soup::GetIndexedTagName(int)", &GSOSoup::GetIndexedTagName);
  AddNative(machine, s, "$int@Soup::GetIndexForNamedTag(string)", &GSOSoup::GetIndexForNamedTag);
  AddNative(machine, s, "$KUID@Soup::GetNamedTagAsKUID(string)", &GSOSoup::GetNamedTagAsKUID);
  AddNative(machine, s, "$int@Soup::GetNamedTagAsInt(string)", &GSOSoup::GetNamedTagAsInt);
  AddNative(machine, s, "$int@Soup::GetNamedTagAsInt(string,int)", &GSOSoup::GetNamedTagAsIntDefault);
  AddNative(machine, s, "$float@Soup::GetNamedTagAsFloat(string)", &GSOSoup::GetNamedTagAsFloat);
  AddNative(machine, s, "$float@Soup::GetNamedTagAsFloat(string,float)", &GSOSoup::GetNamedTagAsFloatDefault);
  AddNative(machine, s, "$void@Soup::SetNamedTag(string,string)", &GSOSoup::SetNamedTagText);
  AddNative(machine, s, "$void@Soup::SetNamedTag(string,float)", &GSOSoup::SetNamedTagFloat);
  AddNative(machine, s, "$void@Soup::SetNamedTag(string,int)", &GSOSoup::SetNamedTagInt);
  AddNative(machine, s, "$void@Soup::SetNamedTag(string,KUID)", &GSOSoup::SetNamedTagKUID);
  AddNative(machine, s, "$void@Soup::SetNamedSoup(string,Soup)", &GSOSoup::SetNamedSoup);
  AddNative(machine, s, "$void@Soup::RemoveNamedTag(string)", &GSOSoup::RemoveNamedTag);
  AddNative(machine, s, "$void@Soup::Copy(Soup)", &GSOSoup::Copy);
  AddNative(machine, s, "$void@Soup::Clear()", &GSOSoup::Clear);
  AddNative(machine, s, "$Soup@Soup::GetLockedReference()", &GSOSoup::GetLockedReference);
  AddNative(machine, s, "$void@Soup::AddUniqueNamedSoup(Soup)", &GSOSoup::AddUniqueNamedSoup);
  AddNative(machine, s, "$void@Soup::Log()", &GSOSoup::Log);
}
