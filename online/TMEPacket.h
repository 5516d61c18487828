#pragma once
// A packet of the online channel: a byte buffer whose content is the payload
// (for the message layer, the type byte first), with the channel's bookkeeping.
#include <cstdint>
#include <vector>

#include "foundation/Stream.h"
#include "kiv/Memory.h"

class TMEPacket : public TBuffer {
public:
  TMEPacket() = default;
  TMEPacket(const void* data, size_t n) : TBuffer(data, n) {}

  uint8_t sequence = 0;  // 0: unsequenced control packet; 1..255 sequenced
  uint8_t ack = 0;       // acknowledgement number carried with it
  uint8_t sendCount = 0;
  double sentAt = 0.0;         // clock time of the last transmission
  uint32_t deliveryToken = 0;  // non-zero: OnPacketDelivered(token) when acknowledged
  // Sent packets: acknowledged by a datagram that carried nothing else, which may
  // be a late copy; kept for resending until another acknowledgement confirms it.
  bool tentative = false;
  uint8_t tentativeAck = 0;    // the ack number that did so
  uint8_t tentativeSends = 0;  // and the sends by then
  // Received packets: a hash of each datagram it arrived in, past the header, so
  // a late copy of one of them is known again.
  std::vector<uint64_t> datagramHashes;
  double arrivedAt = 0.0;  // when it was whole
  bool cameAgain = false;  // its datagram came again a resend interval later
};
