#pragma once
// The script class "Soup": a script object wrapping a counted reference to one
// soup container (null: no soup at all). A locked object refuses every change
// with "Soup.<native>> parent soup is locked". Children taken from a soup share
// its container and its locked flag; a child of a missing name wraps no soup
// and is detached (GetNamedSoupAdd gives an attached one). Entering a soup
// into itself or into a soup below it is refused: a soup never holds itself.
// What an unlocked object's soup holds counts against the script memory
// limit (ACSChunk::CountMemory) for as long as the soup lives.
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
  void SetSoup(const SoupRef& soup);
  [[nodiscard]] bool Locked() const { return m_locked; }

  // Why a script may not have a soup's text (or other form) of `size` bytes whose
  // deepest container lies at `depth` ("> ...", to follow the native's name):
  // nested too deeply, or more than the room under the script memory limit
  // or than the run's budget still covers. Null when it may.
  static const char* WriteRefusal(uint64_t size, int depth);
  // Logs the soup's text for a script, one budget byte per byte as any log
  // line; a text WriteRefusal refuses, or one past what the run has left, is
  // not made, and "<who>> ..." is raised instead.
  static void LogForScript(const SoupRef& soup, const char* who);

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
  // Enters `child`'s soup under `name`; raises "<native>> sub-soup contains
  // parent soup" when it would hold this soup.
  void EnterChild(const Kiv::PString& name, GSOSoup& child, const char* native);
  // Pay the run budget for the tags a lookup of `name` walks, and for the
  // walk that setting or removing it makes.
  void PayLookup(const Kiv::PString& name) const;
  void PaySet(const Kiv::PString& name) const;
  // After a change: counts the soup against the script memory limit (an
  // unlocked one: a locked soup is the program's, not the script's); true
  // when within it, else raises "<native>> the soup passes the script memory limit".
  bool Counted(const char* native);
  // Before a change that adds about `bytes`: true when they fit under the
  // script memory limit, else raises "<native>> the soup would pass the
  // script memory limit".
  bool Fits(uint64_t bytes, const char* native);

  SoupRef m_soup;
  bool m_locked;
};
