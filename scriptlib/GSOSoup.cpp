#include "scriptlib/GSOSoup.h"

#include "gamescript/runtime/GameObject.h"
#include "scriptlib/GSOKUID.h"
#include "scriptlib/NativeBinding.h"
#include "scriptlib/ScriptNatives.h"

using namespace GSRuntime;
using namespace ScriptNatives;

GSOSoup::GSOSoup(GSContext* context, const SoupRef& soup, bool locked) : m_soup(soup), m_locked(locked) {
  // A failed bind leaves no handle, which NewScriptObject tests.
  (void)BindScriptClass(ScriptClasses().soup, context);
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

void GSOSoup::EnterChild(const Kiv::PString& name, GSOSoup& child, const char* cycleText) {
  m_soup.EnsureContainer();
  child.m_soup.EnsureContainer();
  // Whether the child holds this soup is found by a walk through the child.
  PayRunBudget(SoupBytes(child.m_soup));
  if (!m_soup.SetNamedSoup(name, child.m_soup)) Raise(cycleText);
}

void GSOSoup::IsLocked(GSStack& stack) { PushNativeBoolResult(stack, m_locked); }

void GSOSoup::CountTags(GSStack& stack) { PushNativeResult(stack, uint32_t(m_soup.CountTags())); }

void GSOSoup::GetNamedTag(GSStack& stack) {
  Kiv::PString name;
  if (!GetNativePStringParameter(stack, 1, name, false)) return PushNativeResult(stack, 0);
  PushNativeStringResult(stack, Context(), m_soup.GetNamedTag(name).View());
}

void GSOSoup::GetNamedSoup(GSStack& stack) {
  Kiv::PString name;
  if (!GetNativePStringParameter(stack, 1, name, false)) return PushNativeResult(stack, 0);
  PushChild(stack, m_soup.GetNamedSoup(name));
}

void GSOSoup::GetNamedSoupAdd(GSStack& stack) {
  if (!Unlocked("Soup.GetNamedSoupAdd> parent soup is locked")) return PushNativeResult(stack, 0);
  Kiv::PString name;
  if (!GetNativePStringParameter(stack, 1, name, false)) return PushNativeResult(stack, 0);
  SoupRef child = m_soup.GetNamedSoup(name);
  if (!child) {
    child = SoupRef::NewContainer();
    // A child made here cannot hold the soup it enters.
    (void)m_soup.SetNamedSoup(name, child);  // a new empty container never holds this soup
  }
  PushChild(stack, child);
}

void GSOSoup::GetIndexedTagName(GSStack& stack) {
  const int32_t index = GetNativeIntParameter(stack, 1);
  PushNativeStringResult(stack, Context(),
                         index < 0 ? std::string_view() : m_soup.GetIndexedTagName(size_t(index)).View());
}

void GSOSoup::GetIndexForNamedTag(GSStack& stack) {
  Kiv::PString name;
  if (!GetNativePStringParameter(stack, 1, name, false)) return PushNativeResult(stack, 0);
  int32_t found = -1;
  for (size_t i = 0; i < m_soup.CountTags(); ++i)
    if (m_soup.GetIndexedTagName(i) == name) {
      found = int32_t(i);
      break;
    }
  PushNativeResult(stack, uint32_t(found));
}

void GSOSoup::GetNamedTagAsKUID(GSStack& stack) {
  Kiv::PString name;
  if (!GetNativePStringParameter(stack, 1, name, false)) return PushNativeResult(stack, 0);
  const KUID kuid = m_soup.GetNamedTagAsKUID(name);
  PushObject(stack, kuid.IsNull() ? nullptr : GetKUIDObject(Context(), kuid), false);
}

void GSOSoup::GetNamedTagAsInt(GSStack& stack) {
  Kiv::PString name;
  if (!GetNativePStringParameter(stack, 1, name, false)) return PushNativeResult(stack, 0);
  PushNativeResult(stack, uint32_t(m_soup.GetNamedTagAsInt(name, 0)));
}

void GSOSoup::GetNamedTagAsIntDefault(GSStack& stack) {
  Kiv::PString name;
  if (!GetNativePStringParameter(stack, 1, name, false)) return PushNativeResult(stack, 0);
  PushNativeResult(stack, uint32_t(m_soup.GetNamedTagAsInt(name, GetNativeIntParameter(stack, 2))));
}

void GSOSoup::GetNamedTagAsFloat(GSStack& stack) {
  Kiv::PString name;
  if (!GetNativePStringParameter(stack, 1, name, false)) return PushNativeResult(stack, 0);
  // The frame has room for the result.
  (void)PushNativeFloatResult(stack, m_soup.GetNamedTagAsFloat(name, 0.0f));
}

void GSOSoup::GetNamedTagAsFloatDefault(GSStack& stack) {
  Kiv::PString name;
  if (!GetNativePStringParameter(stack, 1, name, false)) return PushNativeResult(stack, 0);
  // The frame has room for the result.
  (void)PushNativeFloatResult(stack, m_soup.GetNamedTagAsFloat(name, GetNativeFloatParameter(stack, 2)));
}

void GSOSoup::SetNamedTagText(GSStack& stack) {
  if (!Unlocked("Soup.SetNamedTag> parent soup is locked")) return;
  Kiv::PString name, text;
  if (!GetNativePStringParameter(stack, 1, name, false) || !GetNativePStringParameter(stack, 2, text, true))
    return;
  PayRunBudget(text.View().size());
  m_soup.SetNamedTag(name, text.View());
}

void GSOSoup::SetNamedTagFloat(GSStack& stack) {
  if (!Unlocked("Soup.SetNamedTag> parent soup is locked")) return;
  Kiv::PString name;
  if (!GetNativePStringParameter(stack, 1, name, false)) return;
  m_soup.SetNamedTagFloat(name, GetNativeFloatParameter(stack, 2));
}

void GSOSoup::SetNamedTagInt(GSStack& stack) {
  if (!Unlocked("Soup.SetNamedTag> parent soup is locked")) return;
  Kiv::PString name;
  if (!GetNativePStringParameter(stack, 1, name, false)) return;
  m_soup.SetNamedTagInt(name, GetNativeIntParameter(stack, 2));
}

void GSOSoup::SetNamedTagKUID(GSStack& stack) {
  if (!Unlocked("Soup.SetNamedKUID> parent soup is locked")) return;
  Kiv::PString name;
  GSOKUID* kuid = nullptr;
  if (!GetNativePStringParameter(stack, 1, name, false) || !GetNativeParameter(stack, 2, kuid, true)) return;
  m_soup.SetNamedTagKUID(name, kuid ? kuid->Kuid() : KUID::Null());
}

void GSOSoup::SetNamedSoup(GSStack& stack) {
  if (!Unlocked("Soup.SetNamedTag> parent soup is locked")) return;
  Kiv::PString name;
  GSOSoup* child = nullptr;
  if (!GetNativePStringParameter(stack, 1, name, false) || !GetNativeParameter(stack, 2, child, false))
    return;
  if (child->m_locked) return Raise("Soup.SetNamedTag> sub-soup parameter is locked");
  EnterChild(name, *child, "Soup.SetNamedTag> sub-soup contains parent soup");
}

void GSOSoup::RemoveNamedTag(GSStack& stack) {
  if (!Unlocked("Soup.RemoveNamedTag> parent soup is locked")) return;
  Kiv::PString name;
  if (!GetNativePStringParameter(stack, 1, name, false)) return;
  m_soup.RemoveNamedTag(name);
}

void GSOSoup::Copy(GSStack& stack) {
  if (!Unlocked("Soup.Copy> parent soup is locked")) return;
  GSOSoup* source = nullptr;
  if (!GetNativeParameter(stack, 1, source, false)) return;
  PayRunBudget(SoupBytes(source->m_soup));
  m_soup.Copy(source->m_soup);  // copies before it lets go, so a self-copy keeps the data
}

void GSOSoup::Clear(GSStack&) {
  if (Unlocked("Soup.Clear> parent soup is locked")) m_soup.Clear();
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
  EnterChild(m_soup.GetUniqueTagName(), *child, "Soup.AddUniqueNamedSoup> sub-soup contains parent soup");
}

void GSOSoup::Log(GSStack&) { m_soup.Log(); }

void GSOSoup::RegisterNatives(GSMachine& machine) {
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
