// Stream reads of outside data: the first byte picks a mix of reads that run
// until the data is used up; nothing may crash, hang or allocate without bound,
// and every string read writes back to a form that reads the same.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "foundation/Stream.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  uint8_t plan = data[0];
  TBuffer in(data + 1, size - 1);
  TBuffer out;
  for (int step = 0; step < 10000 && !in.IsEOF(); ++step) {
    switch ((plan >> (2 * (step % 4))) & 3) {
      case 0: {
        std::string s = in.ReadString();
        out.WriteString(s);
        break;
      }
      case 1: {
        Kiv::PString p = in.ReadPString();
        out.WritePString(p);
        break;
      }
      case 2: {
        KUID k = in.ReadKUID();
        WriteKUID(out, k);
        break;
      }
      default:
        out.WriteU32(in.ReadU32());
        out.WriteU16(in.ReadU16());
        out.WriteBool(in.ReadBool());
        break;
    }
    if (in.GetError() != 0) break;
  }
  // What was written reads back the same way.
  // Any result will do: the run looks for faults, not answers.
  (void)out.Rewind();
  TBuffer again;
  for (int step = 0; step < 10000 && !out.IsEOF(); ++step) {
    if (((plan >> (2 * (step % 4))) & 3) == 0) {
      std::string s = out.ReadString();
      if (out.GetError() != 0) std::abort();
      again.WriteString(s);
    } else {
      break;
    }
  }
  return 0;
}
