// The online-access files kept between runs: the stored messages and the two
// offline boxes. Any file loads or is refused without a fault, and no more
// messages are kept than the endpoint holds; stored messages that load are
// saved and load again to as many.
// The input is the messages file, then after a line "--box--" the boxes' text.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "fuzz/fuzz_input.h"
#include "fuzz/fuzz_scratch.h"
#include "kiv/File.h"
#include "online/GSOOnlineAccess.h"
#include "online/OnlineAccessClientEndpoint.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string& folder = FuzzScratchFolder("online-stored");
  const auto [messages, boxes] = FuzzParts(data, size, "--box--");
  const auto put = [&](const char* name, std::string_view bytes) {
    if (!Kiv::File::ReplaceFileAtomic(folder + "/" + name, bytes.data(), bytes.size(), false)) std::abort();
  };
  put("oa_messages.dat", messages);
  put("offline-inbox.tbox", boxes);
  put("offline-outbox.tbox", boxes.substr(0, boxes.size() / 2));

  OnlineAccessSettings settings;
  settings.cacheFolder = folder;
  settings.maxStoredMessages = 8;
  OnlineAccessClientEndpoint& endpoint = OnlineAccessClientEndpoint::Restart(settings);
  GSOOnlineAccess::LoadOfflineData(folder);
  if (endpoint.StoredCount() > settings.maxStoredMessages) std::abort();

  if (endpoint.LoadStoredMessages()) {
    const std::size_t count = endpoint.StoredCount();
    if (!endpoint.SaveStoredMessages().ok()) std::abort();
    OnlineAccessClientEndpoint& again = OnlineAccessClientEndpoint::Restart(settings);
    if (!again.LoadStoredMessages() || again.StoredCount() != count) std::abort();
  }
  OnlineAccessClientEndpoint::Shutdown();
  return 0;
}
