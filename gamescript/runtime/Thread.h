#pragma once
// Script threads and the interpreter. A thread is one cooperative flow of
// script execution with its own stack; a run executes its byte code until the
// last frame returns, the thread suspends itself, or an error stops it.

#include <cstdint>
#include <deque>
#include <memory>
#include <string_view>
#include <vector>

#include "gamescript/runtime/Router.h"
#include "gamescript/runtime/Stack.h"

namespace GSRuntime {

class GSClass;
class GSGameObject;
class GSObjectReference;
class GSScriptInstance;
struct GSFunction;

// The result of every run.
enum GSError : int32_t {
  ER_Done = 0,
  ER_Blocked,
  ER_IllegalInstruction,
  ER_DivideByZero,
  ER_NullArrayReference,
  ER_ArrayOutOfBounds,
  ER_ArrayRangeError,
  ER_NullStringReference,
  ER_StringOutOfBounds,
  ER_NullReference,
  ER_ClassCreateError,
  ER_NativeCallError,
  ER_StackOverflow,
  ER_NoStackFrame,
  ER_ThreadError,
  ER_StackReturnError,
  ER_Exception,
  ER_LinkError,
  ER_Timeout,
};
const char* ErrorName(int32_t code);

// Bytes of byte code one outermost run (nested runs included) may execute.
constexpr uint32_t kRunBudget = 0x1000000;

class GSThread {
public:
  enum State : int32_t { Ready = 0, Waiting = 1, Stopped = 2 };
  static constexpr uint32_t kSharedThread = 1;  // flag: cannot wait for messages

  explicit GSThread(GSObjectReference* owner = nullptr, uint32_t flags = 0)
      : m_owner(owner), m_flags(flags) {}
  virtual ~GSThread() { Reset(); }
  GSThread(const GSThread&) = delete;
  GSThread& operator=(const GSThread&) = delete;

  // Runs the thread; `elapsed` seconds count down a sleep first.
  int32_t Run(float elapsed);
  // Releases every frame; state, resume offset and wait time become 0.
  void Reset();
  // Reports a script error raised by a native: "text (file name)" to the
  // diagnostics hook; unless `keepRunning` the thread stops.
  static void Exception(GSThread* thread, const char* text, bool keepRunning);
  // The thread that is running now, or null.
  static GSThread* Current();

  GSStack& Stack() { return m_stack; }
  int32_t State() const { return m_state; }
  void SetState(int32_t state) { m_state = state; }
  uint32_t ResumeOffset() const { return m_resume; }
  void SetResumeOffset(uint32_t offset) { m_resume = offset; }
  uint32_t Flags() const { return m_flags; }
  float WaitTime() const { return m_wait; }
  void SetWaitTime(float seconds) { m_wait = seconds; }
  GSObjectReference* Owner() const { return m_owner; }

  // Runs the frames above `depth` (pushed by the caller, the resume offset
  // set) until the lowest of them returns; used by Run and by nested runs.
  int32_t Execute(uint32_t depth);

  // One handler of a pending wait: a message with this major id and this
  // minor id (or any minor for 1) resumes the thread at `target`.
  struct Block {
    uint16_t major;
    uint16_t minor;
    uint32_t target;
  };
  static constexpr std::size_t kMaxQueuedMessages = 1024;

  // Offers a message to the thread. A waiting thread with a matching handler
  // resumes at its target with a "Message" object on its stack; another
  // thread with one keeps the message in its queue when `enqueue` is set (a
  // full queue is reported and emptied, and the message dropped). False when
  // no handler matches or the owner has no router or context.
  [[nodiscard]] bool OfferMessage(GSMessage* message, bool enqueue);
  // Looks at the queued messages after a wait set its handlers: the first
  // that matches resumes the thread, later matches stay queued, the rest go.
  // True when the thread is ready to run.
  [[nodiscard]] bool ProcessQueue();
  // The handlers of a wait; the owner subscribes to their major ids.
  std::vector<Block>& Handlers() { return m_handlers; }
  std::size_t QueuedCount() const { return m_queue.size(); }
  GSGameObject* OwnerGameObject() const;

private:
  // Unsubscribes the pending wait's handlers and forgets them.
  void DropHandlers();
  [[nodiscard]] bool Matches(const GSMessage* message, std::size_t& entry) const;

  GSStack m_stack;
  GSObjectReference* m_owner;
  uint32_t m_flags;
  int32_t m_state = Ready;
  uint32_t m_resume = 0;
  float m_wait = 0.0f;
  std::vector<Block> m_handlers;
  std::deque<MessageRef> m_queue;
};

// The machine's shared thread: constructors and directly called functions run on it.
GSThread& SharedThread();

// Calls `function` (of the class whose block `handle` views) with `arguments`
// on the shared thread and runs it to its end. The result cell, when the
// function returns one, goes to `result`. The error code of the run, or
// ER_StackOverflow / ER_LinkError when the call cannot be set up.
int32_t CallScriptFunction(GSFunction& function, uint32_t handle, const uint32_t* arguments,
                           uint32_t argumentCount, uint32_t* result);
// The same on `thread`, whose run state is kept across the call. The
// arguments' references go to the call once its frame is set up.
int32_t CallScriptFunctionOn(GSThread& thread, GSFunction& function, uint32_t handle,
                             const uint32_t* arguments, uint32_t argumentCount, uint32_t* result);

// Installs the interpreter as the runner of class initialisers.
void InstallInterpreter();

}  // namespace GSRuntime
