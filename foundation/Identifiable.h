#pragma once
// Small base classes: identifiable objects, engine message recipients and the
// intrusive list of auto-releasing resources.
#include "kiv/PString.h"

// Base of objects the engine identifies by type; only a virtual destructor.
class IdentifiableType {
public:
  virtual ~IdentifiableType() = default;
};

// Receives engine messages (a name and a target). The default forwards to the
// recipient's target recipient, or returns 1 when it has none.
class NuMessageRecipient {
public:
  virtual ~NuMessageRecipient() = default;
  virtual int ReceiveMessage(const Kiv::PString& name, const void* target);

  NuMessageRecipient* GetTarget() const { return m_target; }
  // Refused (false, nothing changed) when it would make a forwarding cycle.
  [[nodiscard]] bool SetTarget(NuMessageRecipient* target);

private:
  NuMessageRecipient* m_target = nullptr;
};

template <class T>
class LinkedListHead;

// A link of an intrusive list; its item is the object that contains it.
template <class T>
class LinkedListNode {
public:
  explicit LinkedListNode(T* item) : m_item(item) {}
  virtual ~LinkedListNode() {
    if (m_owner) m_owner->Unlink(this);
  }
  LinkedListNode(const LinkedListNode&) = delete;
  LinkedListNode& operator=(const LinkedListNode&) = delete;

  T* Item() const { return m_item; }
  LinkedListHead<T>* Owner() const { return m_owner; }
  LinkedListNode* Next() const { return m_next; }
  LinkedListNode* Prev() const { return m_prev; }

private:
  friend class LinkedListHead<T>;
  T* m_item;
  LinkedListNode* m_prev = nullptr;
  LinkedListNode* m_next = nullptr;
  LinkedListHead<T>* m_owner = nullptr;
};

// The head of an intrusive list. Destroying it detaches every node still
// linked (each is left with no owner and no links).
template <class T>
class LinkedListHead {
public:
  LinkedListHead() = default;
  virtual ~LinkedListHead() {
    while (m_first) Unlink(m_first);
  }
  LinkedListHead(const LinkedListHead&) = delete;
  LinkedListHead& operator=(const LinkedListHead&) = delete;

  // Links node at the end; a node linked elsewhere is moved here.
  void PushBack(LinkedListNode<T>* node) {
    if (node->m_owner) node->m_owner->Unlink(node);
    node->m_owner = this;
    node->m_prev = m_last;
    node->m_next = nullptr;
    if (m_last)
      m_last->m_next = node;
    else
      m_first = node;
    m_last = node;
  }

  // Unlinks a node of this list; a node of another list is left alone.
  virtual void Unlink(LinkedListNode<T>* node) {
    if (!node || node->m_owner != this) return;
    if (node->m_prev)
      node->m_prev->m_next = node->m_next;
    else
      m_first = node->m_next;
    if (node->m_next)
      node->m_next->m_prev = node->m_prev;
    else
      m_last = node->m_prev;
    node->m_prev = node->m_next = nullptr;
    node->m_owner = nullptr;
  }

  LinkedListNode<T>* First() const { return m_first; }
  LinkedListNode<T>* Last() const { return m_last; }
  [[nodiscard]] bool IsEmpty() const { return m_first == nullptr; }

private:
  LinkedListNode<T>* m_first = nullptr;
  LinkedListNode<T>* m_last = nullptr;
};

// A holder of a resource that lets go of it when asked (Release). It unlinks
// itself from its list when destroyed.
class AutoReleasingResource {
public:
  AutoReleasingResource() : m_node(this) {}
  virtual ~AutoReleasingResource() = default;
  virtual void Release() = 0;

  LinkedListNode<AutoReleasingResource>& Node() { return m_node; }
  [[nodiscard]] bool IsLinked() const { return m_node.Owner() != nullptr; }

private:
  LinkedListNode<AutoReleasingResource> m_node;
};

// The process's list of auto-releasing resources.
LinkedListHead<AutoReleasingResource>& AutoReleasingResources();
