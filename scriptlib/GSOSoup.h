#pragma once
// The script class "Soup": a script object wrapping a counted reference to one
// soup container (null: no soup at all). A locked object refuses every change
// with "Soup.<native>> parent soup is locked". Children taken from a soup share
// its container and its locked flag; a child of a missing name wraps no soup
// and is detached (GetNamedSoupAdd gives an attached one). Entering a soup
// into itself or into a soup below it is refused: a soup never holds itself.
#include "foundation/Soup.h"
#include "gamescript/runtime/Machine.h"
#include "gamescript/runtime/Objects.h"

class GSOSoup : public GSRuntime::GSObject {
public:
  // Takes a reference of its own to `soup`; bound to the script class Soup.
  GSOSoup(GSRuntime::GSContext* context, const SoupRef& soup, bool locked);
  // Empty and unlocked.
  explicit GSOSoup(GSRuntime::GSContext* context) : GSOSoup(context, SoupRef(), false) {}

  // A new object pushed for a script, or null when none can be made (no
  // script class, no handle); the caller owns the one reference.
  static GSOSoup* Create(GSRuntime::GSContext* context, const SoupRef& soup, bool locked);

  const SoupRef& Soup() const { return m_soup; }
  // Makes the object wrap `soup` (natives that hand a soup to a script's object).
  void SetSoup(const SoupRef& soup) { m_soup = soup; }
  [[nodiscard]] bool Locked() const { return m_locked; }

  // Appends the 23 records of "Soup" to the machine's native list.
  static void RegisterNatives(GSRuntime::GSMachine& machine);

private:
  // Natives, in the order of the table.
  void IsLocked(GSRuntime::GSStack& stack);
  void CountTags(GSRuntime::GSStack& stack);
  void GetNamedTag(GSRuntime::GSStack& stack);
  void GetNamedSoup(GSRuntime::GSStack& stack);
  void GetNamedSoupAdd(GSRuntime::GSStack& stack);
  void GetIndexedTagName(GSRuntime::GSStack& stack);
  void GetIndexForNamedTag(GSRuntime::GSStack& stack);
  void GetNamedTagAsKUID(GSRuntime::GSStack& stack);
  void GetNamedTagAsInt(GSRuntime::GSStack& stack);
  void GetNamedTagAsIntDefault(GSRuntime::GSStack& stack);
  void GetNamedTagAsFloat(GSRuntime::GSStack& stack);
  void GetNamedTagAsFloatDefault(GSRuntime::GSStack& stack);
  void SetNamedTagText(GSRuntime::GSStack& stack);
  void SetNamedTagFloat(GSRuntime::GSStack& stack);
  void SetNamedTagInt(GSRuntime::GSStack& stack);
  void SetNamedTagKUID(GSRuntime::GSStack& stack);
  void SetNamedSoup(GSRuntime::GSStack& stack);
  void RemoveNamedTag(GSRuntime::GSStack& stack);
  void Copy(GSRuntime::GSStack& stack);
  void Clear(GSRuntime::GSStack& stack);
  void GetLockedReference(GSRuntime::GSStack& stack);
  void AddUniqueNamedSoup(GSRuntime::GSStack& stack);
  void Log(GSRuntime::GSStack& stack);

  // Raises "<text>" when locked; true when the native may go on.
  [[nodiscard]] bool Unlocked(const char* text) const;
  // Pushes a new object sharing `soup` with this object's flag.
  void PushChild(GSRuntime::GSStack& stack, const SoupRef& soup);
  // Enters `child`'s soup under `name`; raises `cycleText` when it would hold this soup.
  void EnterChild(const Kiv::PString& name, GSOSoup& child, const char* cycleText);

  SoupRef m_soup;
  bool m_locked;
};
