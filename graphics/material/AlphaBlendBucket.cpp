#include "graphics/material/AlphaBlendBucket.h"

namespace Kiv {

AlphaBlendItem* AlphaBlendItemPool::Take() {
  if (m_free.empty()) {
    m_items.push_back(std::make_unique<AlphaBlendItem>());
    return m_items.back().get();
  }
  AlphaBlendItem* item = m_free.back();
  m_free.pop_back();
  *item = AlphaBlendItem{};
  return item;
}

void AlphaBlendItemPool::Give(AlphaBlendItem* item) {
  item->material.reset();
  item->chunk = nullptr;
  std::vector<uint16_t>().swap(item->ownIndices);
  item->sortedIndices = nullptr;
  m_free.push_back(item);
}

AlphaBlendBucket::AlphaBlendBucket(AlphaBlendItemPool& pool) : m_pool(pool) {
  m_sentinel = m_pool.Take();
  m_sentinel->left = m_sentinel->right = m_sentinel;
  m_header = m_pool.Take();
  m_header->left = m_header->right = m_sentinel;
}

AlphaBlendBucket::~AlphaBlendBucket() {
  Clear();
  m_pool.Give(m_header);
  m_pool.Give(m_sentinel);
}

bool AlphaBlendBucket::GoesLeft(const AlphaBlendItem* node, float distance) const {
  // The header sorts before everything, so the first step always leads right
  // to the root whatever the distance (negative or NaN included).
  return node != m_header && distance < node->distance;
}

void AlphaBlendBucket::GiveSubtree(AlphaBlendItem* node) {
  // Iterative so a degenerate shape cannot exhaust the stack.
  std::vector<AlphaBlendItem*> pending;
  if (node != m_sentinel) pending.push_back(node);
  while (!pending.empty()) {
    AlphaBlendItem* item = pending.back();
    pending.pop_back();
    if (item->left != m_sentinel) pending.push_back(item->left);
    if (item->right != m_sentinel) pending.push_back(item->right);
    m_pool.Give(item);
  }
}

void AlphaBlendBucket::Clear() {
  GiveSubtree(m_header->right);
  m_header->left = m_header->right = m_sentinel;
  m_count = 0;
}

AlphaBlendItem* AlphaBlendBucket::Rotate(float distance, AlphaBlendItem* parent) {
  AlphaBlendItem*& link = GoesLeft(parent, distance) ? parent->left : parent->right;
  AlphaBlendItem* child = link;
  if (GoesLeft(child, distance)) {
    AlphaBlendItem* lifted = child->left;
    child->left = lifted->right;
    lifted->right = child;
    link = lifted;
  } else {
    AlphaBlendItem* lifted = child->right;
    child->right = lifted->left;
    lifted->left = child;
    link = lifted;
  }
  return link;
}

void AlphaBlendBucket::Split(float distance) {
  m_current->red = true;
  m_current->left->red = false;
  m_current->right->red = false;
  if (m_parent->red) {
    m_grand->red = true;
    if (GoesLeft(m_grand, distance) != GoesLeft(m_parent, distance)) m_parent = Rotate(distance, m_grand);
    m_current = Rotate(distance, m_great);
    m_current->red = false;
  }
  m_header->right->red = false;
  m_sentinel->red = false;
}

AlphaBlendItem* AlphaBlendBucket::Insert(float distance) {
  m_current = m_parent = m_grand = m_great = m_header;
  while (true) {
    AlphaBlendItem* next = GoesLeft(m_current, distance) ? m_current->left : m_current->right;
    if (next == m_sentinel) break;
    m_great = m_grand;
    m_grand = m_parent;
    m_parent = m_current;
    m_current = next;
    if (m_current->left->red && m_current->right->red) Split(distance);
  }
  AlphaBlendItem* item = m_pool.Take();
  item->distance = distance;
  item->left = item->right = m_sentinel;
  m_great = m_grand;
  m_grand = m_parent;
  m_parent = m_current;
  if (GoesLeft(m_parent, distance))
    m_parent->left = item;
  else
    m_parent->right = item;
  m_current = item;
  Split(distance);
  ++m_count;
  return item;
}

void AlphaBlendBucket::WalkFarToNear(const std::function<void(const AlphaBlendItem&)>& visit) const {
  std::vector<const AlphaBlendItem*> path;
  const AlphaBlendItem* node = m_header->right;
  while (node != m_sentinel || !path.empty()) {
    while (node != m_sentinel) {
      path.push_back(node);
      node = node->right;
    }
    node = path.back();
    path.pop_back();
    visit(*node);
    node = node->left;
  }
}

}  // namespace Kiv
