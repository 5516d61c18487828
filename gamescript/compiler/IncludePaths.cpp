#include "gamescript/compiler/IncludePaths.h"

#include <utility>

namespace GSCompiler {

namespace {

std::list<IncludePath>& IncludeList() {
  static std::list<IncludePath> list;  // emptied once more at exit by its destructor
  return list;
}

}  // namespace

void AppendIncludePath(const IncludePath& entry) { IncludeList().push_back(entry); }
void PrependIncludePath(const IncludePath& entry) { IncludeList().push_front(entry); }
void ClearIncludePaths() { IncludeList().clear(); }
const std::list<IncludePath>& IncludePaths() { return IncludeList(); }

std::list<IncludePath> SourceIncludePaths(const char* source, const std::vector<IncludePath>& includes) {
  Kiv::File::Path folder(source ? source : "");
  folder.RemoveFileName();
  std::list<IncludePath> paths{IncludePath{folder, Kiv::PString()}};
  paths.insert(paths.end(), includes.begin(), includes.end());
  return paths;
}

IncludePathScope::IncludePathScope(std::list<IncludePath> paths) : m_saved(std::move(IncludeList())) {
  IncludeList() = std::move(paths);
}

IncludePathScope::~IncludePathScope() { IncludeList() = std::move(m_saved); }

}  // namespace GSCompiler
