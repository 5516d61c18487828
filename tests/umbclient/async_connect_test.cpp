#include <gtest/gtest.h>

#include <cstring>

#include "kiv/Bytes.h"
#include "umbclient/AsyncConnect.h"

namespace {

// The IPv4 socket address as the connector writes it: family (host order),
// port and address (network order).
struct SocketAddress {
  uint8_t bytes[16];
};

TEST(AsyncConnectTest, RefusesBadArgumentsAndKeepsAddressOnFailure) {
  SocketAddress address{};
  EXPECT_FALSE(QueueAsyncConnect("", 5251, &address));
  EXPECT_FALSE(QueueAsyncConnect("127.0.0.1", 0, &address));
  EXPECT_FALSE(QueueAsyncConnect("127.0.0.1", 65536, &address));
  EXPECT_FALSE(QueueAsyncConnect("127.0.0.1", 1, nullptr));
  unsigned char before[16];
  std::memset(&address, 0xAB, sizeof address);
  std::memcpy(before, &address, 16);
  ASSERT_TRUE(QueueAsyncConnect("host.invalid", 5251, &address));  // reserved name: never resolves
  FlushAsyncConnects();
  EXPECT_EQ(0, std::memcmp(before, &address, 16));
}

TEST(AsyncConnectTest, NewestRequestWinsAndCancelStopsWrites) {
  SocketAddress address{};
  ASSERT_TRUE(QueueAsyncConnect("127.0.0.2", 1000, &address));
  ASSERT_TRUE(QueueAsyncConnect("127.0.0.3", 2000, &address));
  FlushAsyncConnects();
  EXPECT_EQ(Kiv::LoadLE16(address.bytes), 2);  // AF_INET on this little-endian host
  EXPECT_EQ(Kiv::LoadBE16(address.bytes + 2), 2000);
  EXPECT_EQ(Kiv::LoadBE32(address.bytes + 4), 0x7F000003u);

  // An owner that cancels may free its address at once: under the address sanitizer a
  // late write would show as a use after free.
  for (int i = 0; i < 200; ++i) {
    auto* owned = new SocketAddress{};
    ASSERT_TRUE(QueueAsyncConnect("127.0.0.4", 3000, owned));
    CancelAsyncConnect(owned);
    delete owned;
  }
  FlushAsyncConnects();
}

// Stopping ends the connector for the rest of the process, so it runs in a child.
TEST(AsyncConnectDeathTest, StopDropsPendingRequestsAndRefusesNewOnes) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto run = [] {
    SocketAddress first{}, pending[64];
    std::memset(pending, 0xCD, sizeof pending);
    if (!QueueAsyncConnect("127.0.0.1", 5251, &first)) std::_Exit(2);
    for (auto& p : pending)
      if (!QueueAsyncConnect("127.0.0.4", 4000, &p)) std::_Exit(3);
    StopAsyncConnects();
    // Whatever was still queued is never written, not even later.
    unsigned char after[sizeof pending];
    std::memcpy(after, pending, sizeof pending);
    FlushAsyncConnects();
    if (std::memcmp(after, pending, sizeof pending) != 0) std::_Exit(4);
    if (QueueAsyncConnect("127.0.0.1", 5251, &first)) std::_Exit(5);
    StopAsyncConnects();  // twice is harmless
    std::_Exit(0);
  };
  EXPECT_EXIT(run(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
