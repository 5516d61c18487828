#include "kiv/render/Scene.h"

#include <algorithm>
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
  for (auto& child : m_children) copy.Add(child->CreateInstance());
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

}  // namespace Kiv
