#pragma once
// The smallest part of the engine's resources that mesh loading needs: the
// content folder that resolves names, and what a resource tells the mesh it
// loads (owner, path, priority, substitutes, the materials that failed).
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kiv/PString.h"

namespace Kiv {

// A content folder. Names resolve only inside it.
class ResourceDatabase {
public:
  explicit ResourceDatabase(std::string folder) : m_folder(std::move(folder)) {}
  const std::string& Folder() const { return m_folder; }
  // The on-disk path of a name relative to the folder; empty when the name
  // would leave the folder or names no existing file.
  std::optional<std::string> ResolveName(std::string_view name) const;

private:
  std::string m_folder;
};

class Resource {
public:
  Resource(PString ownerName, PString path, const ResourceDatabase* database = nullptr)
      : m_ownerName(std::move(ownerName)), m_path(std::move(path)), m_database(database) {}
  virtual ~Resource() = default;

  // A name as resources are known by: lower case with forward slashes.
  static std::string ConvertResourceName(std::string_view name);

  const PString& GetOwnerName() const { return m_ownerName; }
  // The resource's name inside its folder ("meshes/body.im").
  const PString& GetPath() const { return m_path; }
  const ResourceDatabase* GetDatabase() const { return m_database; }
  int GetPriority() const { return m_priority; }
  void SetPriority(int priority) { m_priority = priority; }
  bool AllowsSubstitutes() const { return m_allowsSubstitutes; }
  void SetAllowsSubstitutes(bool allow) { m_allowsSubstitutes = allow; }
  void AddFailedMaterial(std::string key) { m_failedMaterials.push_back(std::move(key)); }
  const std::vector<std::string>& GetFailedMaterials() const { return m_failedMaterials; }

private:
  PString m_ownerName, m_path;
  const ResourceDatabase* m_database;
  int m_priority = 0;
  bool m_allowsSubstitutes = false;
  std::vector<std::string> m_failedMaterials;
};

}  // namespace Kiv
