#pragma once
// The compiler's process-wide include-path list: the folders the source
// reader searches, in order.

#include <list>
#include <vector>

#include "kiv/File.h"
#include "kiv/PString.h"

namespace GSCompiler {

// One folder searched for sources. `base` is a base-folder key handed to the
// file functions together with the path; empty for folders from the command line.
struct IncludePath {
  Kiv::File::Path path;
  Kiv::PString base;
};

// The list searched by the source reader. One compile at a time: the list is
// shared by every compile entry.
void AppendIncludePath(const IncludePath& entry);
void PrependIncludePath(const IncludePath& entry);
void ClearIncludePaths();
const std::list<IncludePath>& IncludePaths();

// The list a source is compiled with by its path: the source's own folder,
// then `includes` in order.
std::list<IncludePath> SourceIncludePaths(const char* source, const std::vector<IncludePath>& includes);

// Holds the list for one piece of work: saves the list as it is, puts
// `paths` in its place (the holder may add more) and puts the saved list back
// when it goes, however the work ends.
class IncludePathScope {
public:
  explicit IncludePathScope(std::list<IncludePath> paths = {});
  ~IncludePathScope();
  IncludePathScope(const IncludePathScope&) = delete;
  IncludePathScope& operator=(const IncludePathScope&) = delete;

private:
  std::list<IncludePath> m_saved;
};

}  // namespace GSCompiler
