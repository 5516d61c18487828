#pragma once
// Scene nodes: named particles in a tree with a local frame, bones with a
// visible box, structures with attachment points, and the influence records
// that bind bones to vertices. Trees never hold a cycle: Add refuses one.
#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>
#include <vector>

#include "kiv/PString.h"
#include "kiv/render/Maths.h"

namespace Kiv {

class Particle {
public:
  explicit Particle(PString name = {}) : m_name(std::move(name)) {}
  virtual ~Particle() = default;
  Particle(const Particle&) = delete;
  Particle& operator=(const Particle&) = delete;

  const PString& GetName() const { return m_name; }
  void SetName(PString name) { m_name = std::move(name); }
  Particle* GetParent() const { return m_parent; }
  const std::vector<std::shared_ptr<Particle>>& GetChildren() const { return m_children; }

  // Adds a child; refused (false) for null, a node that has a parent, this
  // node itself or one of its ancestors.
  bool Add(std::shared_ptr<Particle> child);
  bool Remove(const Particle* child);
  bool IsAncestorOf(const Particle* node) const;
  // The first node below this one (depth first) with the name.
  Particle* FindByName(const PString& name);
  // This node, then its subtree depth first.
  void EnumerateParticles(const std::function<void(Particle&)>& visit);
  // A deep copy of the subtree.
  virtual std::shared_ptr<Particle> CreateInstance() const;

  float position[3] = {0, 0, 0};
  Quaternion rotation;
  Matrix4 LocalTransform() const { return Matrix4::FromRotationTranslation(rotation, position); }
  Matrix4 WorldTransform() const;
  // Turns a frame given in world space into this node's own space. False
  // (frame unchanged) when the node's world transform cannot be inverted.
  bool GlobalToLocal(float framePosition[3], Quaternion& frameRotation) const;

protected:
  void CopyFrameTo(Particle& copy) const;
  void CopyChildrenTo(Particle& copy) const;

private:
  PString m_name;
  Particle* m_parent = nullptr;
  std::vector<std::shared_ptr<Particle>> m_children;
};

class ParticleBone : public Particle {
public:
  using Particle::Particle;
  // The visible box, corner to corner in the bone's frame.
  float boxMin[3] = {-0.01f, -0.01f, -0.01f};
  float boxMax[3] = {0.01f, 0.01f, 0.01f};
  std::shared_ptr<Particle> CreateInstance() const override;
};

class ParticleStructure : public Particle {
public:
  using Particle::Particle;
  bool AddAttachmentPoint(std::shared_ptr<Particle> point);
  const std::vector<std::shared_ptr<Particle>>& GetAttachmentPoints() const { return m_points; }

private:
  std::vector<std::shared_ptr<Particle>> m_points;
};

// A named point where other objects attach. Its name has two parts: the
// part up to the first "." and the rest (empty when there is no ".").
class AttachmentPoint : public Particle {
public:
  AttachmentPoint(PString name, PString subName) : Particle(std::move(name)), m_subName(std::move(subName)) {}
  const PString& GetSubName() const { return m_subName; }
  static void GetSubNames(std::string_view fullName, PString& name, PString& subName);

private:
  PString m_subName;
};

// A vertex an influence moves, with its weight first.
struct VertexInfluence {
  uint32_t vertex = 0;
  float values[4] = {0, 0, 0, 0};
};
struct InfluenceChunkReference {
  uint32_t chunk = 0;
  std::vector<VertexInfluence> vertices;
};
// A bone's influence: its name, its parent's name, its frame and the vertices.
struct InfluenceDefinition {
  PString name, parentName;
  float position[3] = {0, 0, 0};
  float rotation[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
  std::vector<InfluenceChunkReference> references;
};

}  // namespace Kiv
