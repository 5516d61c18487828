// The online-access message decoders: any packet content is handled or ignored
// without a fault, and a record that decodes writes back to a record that
// decodes to the same fields.
#include <cstdint>
#include <cstdlib>

#include "online/OnlineAccessClientEndpoint.h"
#include "online/OnlineMessages.h"

namespace {
class Fuzzed : public OnlineAccessClientEndpoint {
public:
  explicit Fuzzed(OnlineAccessSettings s) : OnlineAccessClientEndpoint(std::move(s)) {}
  void Feed(TMEPacket& packet) { HandlePacket(packet); }
};

struct Client : OnlineAccessClientBase {
  void ReceiveMessage(std::unique_ptr<OnlineMessage>) override {}
};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  OnlineAccessSettings settings;
  settings.cacheFolder = "/nonexistent-online-fuzz";
  settings.maxStoredMessages = 4;
  Fuzzed endpoint(settings);
  Client client;
  client.kuid = KUID(1, 1, 0);
  endpoint.AddClient(&client);
  TMEPacket packet(data, size);
  endpoint.Feed(packet);

  TBuffer in(data, size);
  OnlineVersionedMessage m;
  m.Read(in);
  if (!in.GetError()) {
    TBuffer out;
    m.Write(out);
    // Any result will do: the run looks for faults, not answers.
    (void)out.Rewind();
    OnlineVersionedMessage back;
    back.Read(out);
    if (out.GetError() || back.text != m.text || back.version != m.version || !(back.target == m.target))
      std::abort();
  }
  TBuffer groupIn(data, size);
  OnlineGroupMessage g;
  g.Read(groupIn);
  endpoint.RemoveClient(&client);
  return 0;
}
