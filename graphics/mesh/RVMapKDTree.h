#pragma once
// A point tree with values: points are appended, and a build sorts the node
// array in place into a balanced tree (each range's median node splits it on
// the axis of largest extent). Box queries walk the built part by subdivision
// and test nodes added since the last build one by one.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

// When a tree rebuilds on its own.
enum RVRebuildMode : int {
  kRebuildNever = -1,
  kRebuildEveryInsert = -2,
  // After more than 1000 new nodes, or more than 10 that are over an eighth of
  // the nodes of the last build. Modes of 0 or more: after more new nodes than the mode.
  kRebuildAutomatic = -3,
};

// GrowStep: the node array grows by at least this many nodes at a time.
template <class Value, class Coord, int Dim, int GrowStep>
class RVMapKDTree {
  static_assert(Dim > 0 && Dim <= 255, "axis numbers fit a byte");

public:
  struct Node {
    Coord p[Dim];
    uint8_t axis;  // 255: not split (not built yet)
    uint8_t removed;
    Value value;
  };

  explicit RVMapKDTree(int rebuildMode = kRebuildAutomatic) : m_rebuildMode(rebuildMode) {}
  virtual ~RVMapKDTree() = default;

  void SetRebuildMode(int mode) { m_rebuildMode = mode; }
  // Deferred: the rebuild rule is applied before each query instead of after each insert.
  void SetDeferredRebuild(bool deferred) { m_deferred = deferred; }

  // Adds a point; a point with a non-finite coordinate is refused (false).
  [[nodiscard]] bool Insert(const Coord p[Dim], Value value) {
    for (int i = 0; i < Dim; ++i)
      if (!std::isfinite(p[i])) return false;
    if (m_nodes.size() == m_nodes.capacity())
      m_nodes.reserve(m_nodes.size() + std::max<size_t>(GrowStep, m_nodes.size() / 2));
    Node node{};
    std::copy(p, p + Dim, node.p);
    node.axis = 255;
    node.value = value;
    m_nodes.push_back(node);
    if (!m_deferred && ShouldRebuild()) Build();
    return true;
  }

  // Marks the first node at exactly p with this value removed; it is dropped
  // at the next build. False when there is none.
  [[nodiscard]] bool Remove(const Coord p[Dim], Value value) {
    Node* found = nullptr;
    Visit(p, p, [&](Node& n) {
      if (!found && n.value == value) found = &n;
    });
    if (!found) return false;
    found->removed = 1;
    return true;
  }

  [[nodiscard]] bool ShouldRebuild() const {
    const size_t added = AddedSinceBuild();
    switch (m_rebuildMode) {
      case kRebuildNever: return false;
      case kRebuildEveryInsert: return added > 0;
      case kRebuildAutomatic: return added > 1000 || (added > 10 && 8 * added > m_built);
      default: return m_rebuildMode >= 0 && added > static_cast<size_t>(m_rebuildMode);
    }
  }

  // Drops removed nodes and sorts the whole array into a tree.
  void Build() {
    for (size_t i = 0; i < m_nodes.size();) {
      if (m_nodes[i].removed) {
        m_nodes[i] = m_nodes.back();
        m_nodes.pop_back();
      } else {
        ++i;
      }
    }
    if (!m_nodes.empty()) BuildRange(0, m_nodes.size() - 1);
    m_built = m_nodes.size();
  }

  // Appends to out the value of every node with min <= p <= max on every axis.
  void Query(const Coord min[Dim], const Coord max[Dim], std::vector<Value>& out) {
    if (m_deferred && ShouldRebuild()) Build();
    Visit(min, max, [&](Node& n) { out.push_back(n.value); });
  }

  size_t Size() const { return m_nodes.size(); }
  size_t BuiltCount() const { return m_built; }
  size_t AddedSinceBuild() const { return m_nodes.size() - m_built; }
  void Clear() {
    m_nodes.clear();
    m_built = 0;
  }

private:
  // Calls f for every node (not removed) inside the box.
  template <class F>
  void Visit(const Coord min[Dim], const Coord max[Dim], F&& f) {
    if (m_built) WalkRange(0, m_built - 1, min, max, f);
    for (size_t i = m_built; i < m_nodes.size(); ++i)
      if (Inside(m_nodes[i], min, max)) f(m_nodes[i]);
  }

  [[nodiscard]] static bool Inside(const Node& n, const Coord min[Dim], const Coord max[Dim]) {
    if (n.removed) return false;
    for (int i = 0; i < Dim; ++i)
      if (!(min[i] <= n.p[i] && n.p[i] <= max[i])) return false;
    return true;
  }

  template <class F>
  void WalkRange(size_t lo, size_t hi, const Coord min[Dim], const Coord max[Dim], F& f) {
    for (;;) {
      const size_t mid = lo + (hi - lo) / 2;
      Node& node = m_nodes[mid];
      const int axis = node.axis;
      const Coord c = node.p[axis];
      if (mid > lo && min[axis] <= c) WalkRange(lo, mid - 1, min, max, f);
      if (Inside(node, min, max)) f(node);
      if (mid < hi && max[axis] >= c) {
        lo = mid + 1;
        continue;
      }
      return;
    }
  }

  void BuildRange(size_t lo, size_t hi) {
    for (;;) {
      if (lo == hi) {
        m_nodes[lo].axis = 0;
        return;
      }
      Coord bmin[Dim], bmax[Dim];
      std::copy(m_nodes[lo].p, m_nodes[lo].p + Dim, bmin);
      std::copy(m_nodes[lo].p, m_nodes[lo].p + Dim, bmax);
      for (size_t i = lo + 1; i <= hi; ++i)
        for (int a = 0; a < Dim; ++a) {
          bmin[a] = std::min(bmin[a], m_nodes[i].p[a]);
          bmax[a] = std::max(bmax[a], m_nodes[i].p[a]);
        }
      int axis = 0;
      for (int a = 1; a < Dim; ++a)
        if (bmax[a] - bmin[a] > bmax[axis] - bmin[axis]) axis = a;
      const size_t mid = lo + (hi - lo) / 2;
      std::nth_element(m_nodes.begin() + static_cast<ptrdiff_t>(lo),
                       m_nodes.begin() + static_cast<ptrdiff_t>(mid),
                       m_nodes.begin() + static_cast<ptrdiff_t>(hi) + 1,
                       [axis](const Node& a, const Node& b) { return a.p[axis] < b.p[axis]; });
      m_nodes[mid].axis = static_cast<uint8_t>(axis);
      if (mid > lo) BuildRange(lo, mid - 1);
      if (mid == hi) return;
      lo = mid + 1;
    }
  }

  std::vector<Node> m_nodes;
  size_t m_built = 0;  // nodes [0, m_built) form the tree
  int m_rebuildMode;
  bool m_deferred = false;
};

// The tree the collision and skinning code use.
using RVPointTree = RVMapKDTree<int, float, 3, 4000>;
