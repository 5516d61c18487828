#include "foundation/Identifiable.h"

int NuMessageRecipient::ReceiveMessage(const Kiv::PString& name, const void* target) {
  return m_target ? m_target->ReceiveMessage(name, target) : 1;
}

bool NuMessageRecipient::SetTarget(NuMessageRecipient* target) {
  // A chain that comes back here would forward for ever.
  for (NuMessageRecipient* r = target; r; r = r->m_target)
    if (r == this) return false;
  m_target = target;
  return true;
}

LinkedListHead<AutoReleasingResource>& AutoReleasingResources() {
  static LinkedListHead<AutoReleasingResource> head;
  return head;
}
