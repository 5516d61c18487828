#include "kiv/render/Scene.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace Kiv {

bool Particle::IsAncestorOf(const Particle* node) const {
  for (const Particle* p = node ? node->m_parent : nullptr; p; p = p->m_parent) {
    if (p == this) return true;
  }
  return false;
}

bool Particle::Add(std::shared_ptr<Particle> child) {
  if (!child || child->m_parent || child.get() == this || child->IsAncestorOf(this)) return false;
  child->m_parent = this;
  m_children.push_back(std::move(child));
  return true;
}

bool Particle::Remove(const Particle* child) {
  auto it = std::find_if(m_children.begin(), m_children.end(), [&](auto& c) { return c.get() == child; });
  if (it == m_children.end()) return false;
  (*it)->m_parent = nullptr;
  m_children.erase(it);
  return true;
}

Particle* Particle::FindByName(const PString& name) {
  for (auto& child : m_children) {
    if (child->m_name == name) return child.get();
    if (Particle* found = child->FindByName(name)) return found;
  }
  return nullptr;
}

void Particle::EnumerateParticles(const std::function<void(Particle&)>& visit) {
  visit(*this);
  for (auto& child : m_children) child->EnumerateParticles(visit);
}

void Particle::CopyFrameTo(Particle& copy) const {
  std::memcpy(copy.position, position, sizeof position);
  copy.rotation = rotation;
}

void Particle::CopyChildrenTo(Particle& copy) const {
  // A node made just before has no parent, so it is not refused.
  for (auto& child : m_children) (void)copy.Add(child->CreateInstance());
}

std::shared_ptr<Particle> Particle::CreateInstance() const {
  auto copy = std::make_shared<Particle>(m_name);
  CopyFrameTo(*copy);
  CopyChildrenTo(*copy);
  return copy;
}

Matrix4 Particle::WorldTransform() const {
  Matrix4 world = LocalTransform();
  for (const Particle* p = m_parent; p; p = p->m_parent)
    world = Matrix4::Multiply(world, p->LocalTransform());
  return world;
}

std::shared_ptr<Particle> ParticleBone::CreateInstance() const {
  auto copy = std::make_shared<ParticleBone>(GetName());
  CopyFrameTo(*copy);
  std::memcpy(copy->boxMin, boxMin, sizeof boxMin);
  std::memcpy(copy->boxMax, boxMax, sizeof boxMax);
  CopyChildrenTo(*copy);
  return copy;
}

bool Particle::GlobalToLocal(float framePosition[3], Quaternion& frameRotation) const {
  Matrix4 inverse = WorldTransform();
  if (!inverse.Invert()) return false;
  const Matrix4 local =
      Matrix4::Multiply(Matrix4::FromRotationTranslation(frameRotation, framePosition), inverse);
  const float rows[9] = {local.m[0], local.m[1], local.m[2], local.m[4], local.m[5],
                         local.m[6], local.m[8], local.m[9], local.m[10]};
  frameRotation.Set(rows);
  for (int i = 0; i < 3; ++i) framePosition[i] = local.m[12 + i];
  return true;
}

void AttachmentPoint::GetSubNames(std::string_view fullName, PString& name, PString& subName) {
  const size_t dot = fullName.find('.');
  name = PString(fullName.substr(0, dot));
  subName = dot == std::string_view::npos ? PString::Empty() : PString(fullName.substr(dot + 1));
}

bool ParticleStructure::AddAttachmentPoint(std::shared_ptr<Particle> point) {
  if (!point) return false;
  m_points.push_back(std::move(point));
  return true;
}

bool ParticleStructure::AddReferencePoint(std::shared_ptr<Particle> point) {
  if (!point) return false;
  m_references.push_back(std::move(point));
  return true;
}

void ParticleStructure::CopyPointsTo(ParticleStructure& copy) const {
  for (const auto& point : m_points) copy.m_points.push_back(point->CreateInstance());
  for (const auto& point : m_references) copy.m_references.push_back(point->CreateInstance());
}

std::shared_ptr<Particle> AttachmentPoint::CreateInstance() const {
  auto copy = std::make_shared<AttachmentPoint>(GetName(), m_subName);
  CopyFrameTo(*copy);
  CopyChildrenTo(*copy);
  return copy;
}

void Particle::Cull(ViewPoint& viewPoint) {
  if (state & kStateCulledOff) return;
  m_culledFrame = viewPoint.GetFrame();
  // A child may leave the tree while it culls (it never does here), so the
  // list is walked by index.
  for (size_t i = 0; i < m_children.size(); ++i) m_children[i]->Cull(viewPoint);
}

void Particle::Render(ViewPoint& viewPoint, int pass, const Matrix4& transform) {
  (void)viewPoint, (void)pass, (void)transform;
}

std::shared_ptr<Particle> ScaledParticle::CreateInstance() const {
  auto copy = std::make_shared<ScaledParticle>(GetName());
  CopyFrameTo(*copy);
  std::memcpy(copy->scale, scale, sizeof scale);
  copy->scaleOff = scaleOff;
  CopyChildrenTo(*copy);
  return copy;
}

ViewPoint::ViewPoint(Display& display, const Camera& camera, uint32_t frame)
    : m_display(&display), m_camera(&camera), m_frame(frame == 0 ? 1 : frame) {}

void ViewPoint::NextFrame() {
  ++m_frame;
  if (m_frame == 0) m_frame = 1;  // 0 stays "never"
  m_list.clear();
}

void ViewPoint::RenderFrame(Particle& root, int pass) {
  m_list.clear();
  root.Cull(*this);
  // Drawing may not add to the list; a copy keeps the walk safe if it did.
  const std::vector<Entry> list = m_list;
  for (const Entry& entry : list) entry.node->Render(*this, pass, entry.transform);
}

int ViewPoint::CalcWantedMipLevelsForCull(const Particle& node, float textureFigure) const {
  if (!(textureFigure > 0.0f)) return 0;
  const Matrix4 world = node.WorldTransform();
  float distance = 0.0f;
  for (int k = 0; k < 3; ++k) {
    const float d = world.m[12 + k] - m_camera->position[k];
    distance += d * d;
  }
  distance = std::sqrt(distance);
  int level = 0;
  for (float reach = textureFigure * 2.0f; distance >= reach && level < 15; reach *= 2.0f) ++level;
  return level;
}

void LightTarget::CalculateLighting(const std::vector<Light>* lights, size_t chunks) {
  (void)lights, (void)chunks;
  ++m_calculations;
}

}  // namespace Kiv
