#pragma once
// Scene nodes: named particles in a tree with a local frame, bones with a
// visible box, structures with attachment points, and the influence records
// that bind bones to vertices. Trees never hold a cycle: Add refuses one.
// A frame is culled (nodes visited and added to a view point's render list)
// and then drawn from the list; nothing is drawn, the display records it.
#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>
#include <vector>

#include "kiv/PString.h"
#include "kiv/render/Display.h"
#include "kiv/render/Maths.h"

namespace Kiv {

class ViewPoint;

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
  [[nodiscard]] bool Add(std::shared_ptr<Particle> child);
  [[nodiscard]] bool Remove(const Particle* child);
  [[nodiscard]] bool IsAncestorOf(const Particle* node) const;
  // The first node below this one (depth first) with the name.
  Particle* FindByName(const PString& name);
  // This node, then its subtree depth first.
  void EnumerateParticles(const std::function<void(Particle&)>& visit);
  // A deep copy of the subtree.
  virtual std::shared_ptr<Particle> CreateInstance() const;
  // The engine's type code of the node's class (0 for a plain node).
  virtual uint32_t GetID() const { return 0; }

  // State bit: the node and its subtree are left out of culling.
  static constexpr uint8_t kStateCulledOff = 1u << 1;
  uint8_t state = 0;
  // Visits the node and, unless it is culled off, marks it visited in the
  // view point's frame and culls its children. The stand-in has no frustum:
  // every node that is not culled off is visible.
  virtual void Cull(ViewPoint& viewPoint);
  // Draws the node with its world transform; a plain node draws nothing.
  virtual void Render(ViewPoint& viewPoint, int pass, const Matrix4& transform);
  // The frame the node was last visited in (0: never).
  uint32_t GetCulledFrame() const { return m_culledFrame; }
  void SetCulledFrame(uint32_t frame) { m_culledFrame = frame; }

  float position[3] = {0, 0, 0};
  Quaternion rotation;
  Matrix4 LocalTransform() const { return Matrix4::FromRotationTranslation(rotation, position); }
  Matrix4 WorldTransform() const;
  // Turns a frame given in world space into this node's own space. False
  // (frame unchanged) when the node's world transform cannot be inverted.
  [[nodiscard]] bool GlobalToLocal(float framePosition[3], Quaternion& frameRotation) const;

protected:
  void CopyFrameTo(Particle& copy) const;
  void CopyChildrenTo(Particle& copy) const;

private:
  PString m_name;
  uint32_t m_culledFrame = 0;
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

// A node with a scale of its own (type code 23). While scaleOff is set the
// scale is switched off and nothing applies it.
class ScaledParticle : public Particle {
public:
  static constexpr uint32_t kTypeId = 23;
  using Particle::Particle;
  float scale[3] = {1, 1, 1};
  bool scaleOff = false;
  uint32_t GetID() const override { return kTypeId; }
  std::shared_ptr<Particle> CreateInstance() const override;
};

class ParticleStructure : public Particle {
public:
  using Particle::Particle;
  [[nodiscard]] bool AddAttachmentPoint(std::shared_ptr<Particle> point);
  const std::vector<std::shared_ptr<Particle>>& GetAttachmentPoints() const { return m_points; }
  // Named points of the structure's own frame that other objects refer to.
  [[nodiscard]] bool AddReferencePoint(std::shared_ptr<Particle> point);
  const std::vector<std::shared_ptr<Particle>>& GetReferencePoints() const { return m_references; }

protected:
  // Copies of the attachment and reference points.
  void CopyPointsTo(ParticleStructure& copy) const;

private:
  std::vector<std::shared_ptr<Particle>> m_points;
  std::vector<std::shared_ptr<Particle>> m_references;
};

// A named point where other objects attach. Its name has two parts: the
// part up to the first "." and the rest (empty when there is no ".").
class AttachmentPoint : public Particle {
public:
  AttachmentPoint(PString name, PString subName) : Particle(std::move(name)), m_subName(std::move(subName)) {}
  const PString& GetSubName() const { return m_subName; }
  std::shared_ptr<Particle> CreateInstance() const override;
  static void GetSubNames(std::string_view fullName, PString& name, PString& subName);

private:
  PString m_subName;
};

// A view of one frame: the display and camera it is drawn with, the lights,
// and the render list that culling fills and drawing empties.
class ViewPoint {
public:
  struct Entry {
    Particle* node;
    Matrix4 transform;
  };
  ViewPoint(Display& display, const Camera& camera, uint32_t frame = 1);
  Display& GetDisplay() const { return *m_display; }
  const Camera& GetCamera() const { return *m_camera; }
  // Frames are numbered from 1; 0 means never.
  uint32_t GetFrame() const { return m_frame; }
  // Starts the next frame with an empty render list.
  void NextFrame();
  void Add(Particle& node, const Matrix4& transform) { m_list.push_back({&node, transform}); }
  const std::vector<Entry>& GetRenderList() const { return m_list; }
  // Culls the scene below root, then draws the render list in order.
  void RenderFrame(Particle& root, int pass = 0);
  // The mip level a node's textures want at the camera: 0 within twice the
  // texture figure (or without a figure), one more for each doubling of the
  // distance beyond that, 15 at most.
  int CalcWantedMipLevelsForCull(const Particle& node, float textureFigure) const;
  std::vector<Light> lights;

private:
  Display* m_display;
  const Camera* m_camera;
  uint32_t m_frame;
  std::vector<Entry> m_list;
};

// What a lit node keeps: whether its lighting must be recalculated, and how
// often it was (the stand-in computes no light values).
class LightTarget {
public:
  virtual ~LightTarget() = default;
  [[nodiscard]] bool GetUpdateLighting() const { return m_updateLighting; }
  virtual void SetUpdateLighting(bool update) { m_updateLighting = update; }
  // Recalculates the lighting of `chunks` chunks from the lights.
  void CalculateLighting(const std::vector<Light>* lights, size_t chunks);
  uint32_t GetLightingCalculations() const { return m_calculations; }

protected:
  bool m_updateLighting = true;
  uint32_t m_calculations = 0;
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
