// Asset index files as a start-up finds them in the cache folder: damaged, cut short,
// foreign or crafted. The index must rebuild or use them without crashing, and answer
// from the folders. The file's own record of its folders is pointed at this tree first,
// so that a file which is otherwise whole gets used rather than rebuilt.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_scratch.h"
#include "kiv/File.h"
#include "umbclient/AssetIndex.h"
#include "umbclient/Sqlite.h"

namespace {

const std::string& Tree() {
  static const std::string root = [] {
    const std::string r = FuzzScratchFolder("asset-index-fuzz");
    // Any result will do: the run looks for faults, not answers.
    (void)Kiv::File::CreateDirectories(r + "/user/local/a");
    // Any result will do: the run looks for faults, not answers.
    (void)Kiv::File::CreateDirectories(r + "/user/local/group/b");
    // Any result will do: the run looks for faults, not answers.
    (void)Kiv::File::CreateDirectories(r + "/user/cache");
    // Any result will do: the run looks for faults, not answers.
    (void)Kiv::File::ReplaceFileAtomic(
        r + "/user/local/a/config.txt",
        "kuid <kuid:1:2>\nkind scenery\nusername \"A\"\nkuid-table {\n  0 <kuid:1:3>\n}\n");
    // Any result will do: the run looks for faults, not answers.
    (void)Kiv::File::ReplaceFileAtomic(
        r + "/user/local/group/b/config.txt",
        "kuid <kuid:1:3>\nusername \"B\"\nobsolete-table {\n  0 <kuid:1:4>\n}\n");
    return r;
  }();
  return root;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string user = Tree() + "/user";
  const std::string file = AssetIndex::DefaultFile(user);
  // Any result will do: the run looks for faults, not answers.
  for (const char* suffix : {"-wal", "-shm", "-journal"}) (void)Kiv::File::Unlink(file + suffix);
  if (!Kiv::File::ReplaceFileAtomic(file, data, size, false)) return 0;
  {
    Sql::Database db;
    // Any result will do: the run looks for faults, not answers.
    if (db.Open(file))
      (void)db.Exec(("UPDATE meta SET value = '" + user + "' WHERE key = 'userdata'").c_str());
  }
  AssetIndex index(user, "", file);
  index.Refresh();
  index.Count();
  index.ForEach([](const AssetIndex::Asset&) {});
  AssetIndex::Asset a;
  // Any result will do: the run looks for faults, not answers.
  (void)index.Find(KUID(1, 2, 0), a);
  // Any result will do: the run looks for faults, not answers.
  (void)index.Find(KUID(1, 3, 0), a);
  index.Newest(KUID(1, 3, 0));
  return 0;
}
