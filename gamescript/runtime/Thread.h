#pragma once
// Script threads and the interpreter. A thread is one cooperative flow of
// script execution with its own stack; a run executes its byte code until the
// last frame returns, the thread suspends itself, or an error stops it.

#include <cstdint>
#include <memory>
#include <string_view>

#include "gamescript/runtime/Stack.h"

namespace GSRuntime {

class GSClass;
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

private:
  GSStack m_stack;
  GSObjectReference* m_owner;
  uint32_t m_flags;
  int32_t m_state = Ready;
  uint32_t m_resume = 0;
  float m_wait = 0.0f;
};

// The machine's shared thread: constructors and directly called functions run on it.
GSThread& SharedThread();

// Calls `function` (of the class whose block `handle` views) with `arguments`
// on the shared thread and runs it to its end. The result cell, when the
// function returns one, goes to `result`. The error code of the run, or
// ER_StackOverflow / ER_LinkError when the call cannot be set up.
int32_t CallScriptFunction(GSFunction& function, uint32_t handle, const uint32_t* arguments,
                           uint32_t argumentCount, uint32_t* result);

// Installs the interpreter as the runner of class initialisers.
void InstallInterpreter();

}  // namespace GSRuntime
