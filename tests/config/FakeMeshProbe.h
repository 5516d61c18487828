#pragma once
// A mesh probe that knows meshes by the end of their path, for the checks
// that read attachment points before the mesh readers exist.
#include <map>
#include <string>
#include <vector>

#include "config/MeshProbe.h"

class FakeMeshProbe : public OBLLib::MeshProbe {
public:
  // Attachment points of the mesh whose path ends in pathEnd.
  void Add(const std::string& pathEnd, const std::vector<std::string>& points) {
    OBLLib::MeshInfo& info = m_meshes[pathEnd];
    for (const std::string& p : points) info.attachmentPoints.emplace_back(p);
  }
  bool Load(const std::string& path, OBLLib::MeshInfo& out) override {
    for (const auto& [end, info] : m_meshes) {
      if (path.size() < end.size() || path.compare(path.size() - end.size(), end.size(), end) != 0) continue;
      out = info;
      out.filePath = path;
      loaded.push_back(end);
      return true;
    }
    return false;
  }
  bool LoadAnimation(const std::string& path, OBLLib::MeshInfo&) override {
    animations.push_back(path);
    return true;
  }
  std::vector<std::string> loaded, animations;

private:
  std::map<std::string, OBLLib::MeshInfo> m_meshes;
};
