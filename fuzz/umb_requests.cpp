// Request bodies as the asset database receives them: the first byte picks the request, the
// rest is the body. The database runs over a small tree made on first use.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "foundation/Soup.h"
#include "foundation/Stream.h"
#include "kiv/File.h"
#include "umbclient/FolderAssetDatabase.h"
#include "kiv/TempFolder.h"

namespace {

const uint32_t kRequests[] = {2, 20, 21, 23, 26, 27, 28, 30, 31, 32, 42, 121, 181, 230, 232, 240, 242};
const uint32_t kPosts[] = {50, 122, 231, 241};

std::string g_root;

FolderAssetDatabase& Database() {
  static std::unique_ptr<FolderAssetDatabase> db = [] {
    static const Kiv::TempFolder temp("umb-fuzz");  // removed at exit
    g_root = temp.Root();
    SoupRef config = SoupRef::NewContainer();
    config.SetNamedTagKUID("kuid", KUID(1, 2, 0));
    config.SetNamedTag("username", "Fuzz");
    config.SetNamedTag("kind", "scenery");
    // Any result will do: the run looks for faults, not answers.
    (void)Kiv::File::CreateDirectories(g_root + "/user/local/a");
    // Any result will do: the run looks for faults, not answers.
    (void)Kiv::File::CreateDirectories(g_root + "/user/settings");
    // Any result will do: the run looks for faults, not answers.
    (void)SaveSoupFile(config, g_root + "/user/local/a", "config.txt");
    auto d = std::make_unique<FolderAssetDatabase>(g_root + "/user", g_root + "/install");
    d->Rescan();
    return d;
  }();
  return *db;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  FolderAssetDatabase& db = Database();
  TBuffer body(data + 1, size - 1);
  const size_t nRequests = sizeof kRequests / sizeof kRequests[0];
  size_t pick = data[0] % (nRequests + sizeof kPosts / sizeof kPosts[0]);
  if (pick < nRequests) {
    TBuffer reply;
    // Any answer will do: the run looks for faults, not answers.
    (void)db.Execute(kRequests[pick], body, reply);
  } else {
    (void)db.Post(kPosts[pick - nRequests], body);  // as above
  }
  return 0;
}
