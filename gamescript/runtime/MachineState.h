#pragma once
// Everything the script machine keeps from one call to the next, in one
// object: the machine is one per process, and so is this state. GSMachine
// (Machine.h) holds the registered libraries and natives; what the runtime's
// objects, threads and natives share lives here.
//
// The object is constant-initialised at a fixed address: the interpreter and
// the handle lookups reach it without a first-use guard, and it outlives
// every object with static storage that is made at run time.
// GSMachine::Reset gives tests a fresh one.
//
// Kept elsewhere on purpose: the hooks the layers above install at start-up
// (ScriptLogHook, SetPayloadHooks, the class initialiser runner), the
// interpreter's table of handler addresses (filled once, never changed),
// and per-OS-thread scratch buffers (pending instance ends, the verifier's
// and loader's work lists), which are empty between calls.

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

#include "gamescript/runtime/Handles.h"
#include "kiv/Memory.h"

namespace GSRuntime {

class GSClass;
class GSContext;
class GSThread;

// The bytes script objects may hold together unless a limit is set.
constexpr uint64_t kDefaultScriptMemoryLimit = uint64_t(1) << 30;

struct MachineState {
  // ---- objects
  HandleTable handles;                               // live script objects by handle
  uint64_t memoryUsed = 0;                           // bytes script objects hold (ScriptMemory)
  uint64_t memoryLimit = kDefaultScriptMemoryLimit;  // the most they may hold together
  std::once_flag heapsMade;                          // the two heaps below are made on first use
  std::optional<Kiv::PackedHeap> machineHeap;        // "#GSMachine"
  std::optional<Kiv::PackedHeap> contextHeap;        // "#GSContext": script class instances
  std::vector<GSContext*> contexts;                  // every live context, oldest first
  std::vector<void*> freeMessages;                   // blocks of released messages, kept for reuse

  // ---- runs
  GSThread* current = nullptr;       // the thread the interpreter runs now
  int runNesting = 0;                // interpreter runs on the native stack now
  int64_t runLeft = 0;               // bytes the outermost run may still pay before its budget is passed
  uint64_t runs = 0;                 // runs begun: marks the frames each run entered
  GSThread* sharedThread = nullptr;  // runs calls made while no thread runs; made on first use
  uint64_t failedRuns = 0;           // runs that a thread exception ended: a caller tells failure by it

  // ---- ids and caches
  int32_t nextNodeId = 1;              // id of the next node a router takes
  uint32_t randomState = 1;            // state word of Math's random generator
  GSClass* gameObjectClass = nullptr;  // "GameObject" of "gs.gsl" once found
  GSClass* messageClass = nullptr;     // "Message" of "gs.gsl" once found
  std::mutex shapeLock;                // guards `shapes`: libraries may load on several threads
  std::optional<std::map<std::vector<uint32_t>, uint32_t>> shapes;  // call shape ids by their key

  constexpr MachineState() = default;
  ~MachineState() {
    for (void* block : freeMessages) ::operator delete(block);
  }
  MachineState(const MachineState&) = delete;
  MachineState& operator=(const MachineState&) = delete;
};

namespace detail {
inline constinit MachineState g_machineState;
}  // namespace detail

// The state of the process's one machine.
inline MachineState& Machine() { return detail::g_machineState; }

inline HandleTable& HandleTable::Instance() { return Machine().handles; }

}  // namespace GSRuntime
