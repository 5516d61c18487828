#include "cli/App.h"

#include <csignal>
#include <cstdlib>
#include <exception>
#include <unistd.h>

#include "cli/CommandLine.h"
#include "cli/Dispatch.h"
#include "cli/Folders.h"
#include "cli/Options.h"
#include "cli/Results.h"
#include "cli/StartUp.h"
#include "foundation/Log.h"
#include "foundation/ResultsLog.h"
#include "gamescript/runtime/ScriptLogHook.h"
#include "kiv/File.h"
#include "kiv/Log.h"
#include "kiv/String.h"

namespace Cli {

namespace {

constexpr int kFaultExitCode = -100;
constexpr int kFaultSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};
constexpr int kFaultSignalCount = sizeof kFaultSignals / sizeof kFaultSignals[0];

volatile sig_atomic_t g_faultFd = STDOUT_FILENO;

extern "C" void OnFaultSignal(int) {
  // Only async-signal-safe calls here.
  static const char line[] = "- Fault during command\n";
  ssize_t written = write(g_faultFd, line, sizeof line - 1);
  (void)written;
  _exit(kFaultExitCode);
}

// Catches the fatal signals for one command, on a stack of their own so a
// stack overflow is caught too; the previous handlers come back afterwards.
class FaultSignalScope {
public:
  explicit FaultSignalScope(std::FILE* out) {
    int fd = out ? fileno(out) : -1;
    g_faultFd = fd >= 0 ? fd : STDOUT_FILENO;
    static char alternateStack[64 * 1024];
    stack_t stack{};
    stack.ss_sp = alternateStack;
    stack.ss_size = sizeof alternateStack;
    m_haveStack = sigaltstack(&stack, &m_previousStack) == 0;
    struct sigaction action {};
    action.sa_handler = &OnFaultSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_ONSTACK;
    for (int i = 0; i < kFaultSignalCount; ++i) sigaction(kFaultSignals[i], &action, &m_previous[i]);
  }
  ~FaultSignalScope() {
    for (int i = 0; i < kFaultSignalCount; ++i) sigaction(kFaultSignals[i], &m_previous[i], nullptr);
    if (m_haveStack) sigaltstack(&m_previousStack, nullptr);
  }
  FaultSignalScope(const FaultSignalScope&) = delete;
  FaultSignalScope& operator=(const FaultSignalScope&) = delete;

private:
  struct sigaction m_previous[kFaultSignalCount];
  stack_t m_previousStack{};
  bool m_haveStack = false;
};

[[noreturn]] void EndAfterFault(std::FILE* out, const char* what) {
  std::fprintf(out, "- Fault during command: %s\n", what);
  std::fflush(out);
  LogLine("main> fault during command: %s", what);
  Kiv::Log::Instance().Flush();
  std::_Exit(kFaultExitCode);
}

}  // namespace

Environment Environment::FromProcess(const char* argv0) {
  Environment env;
  env.programPath = ProgramPath(argv0);
  env.rootVariable = std::getenv("ROVANA_ROOT");
  env.userDataVariable = std::getenv("ROVANA_USERDATA");
  return env;
}

int RunGuarded(std::FILE* out, const std::function<int()>& command) {
  FaultSignalScope signals(out);
  try {
    return command();
  } catch (const std::exception& e) {
    EndAfterFault(out, e.what());
  } catch (...) {
    EndAfterFault(out, "unknown exception");
  }
}

int RunCommand(Session& session, std::vector<std::string>& args) {
  ResultsLog log;
  int result = RunGuarded(session.out, [&] { return Dispatch(session, args, log); });
  PrintResults(session.out, log);
  return result;
}

int RunBatch(Session& session, const std::string& programArg, const std::string& path) {
  Kiv::File::Path file(path);
  if (!file.IsAbsolute() && !path.empty() && !session.startFolder.empty())
    file = Kiv::File::Path(session.startFolder).Join(path);
  std::vector<BatchCommand> commands;
  std::string error;
  if (!ReadBatchFile(file.Str(), commands, error)) {
    ResultsLog log;
    log.AddResult(ResultsLog::kError, nullptr, error);
    PrintResults(session.out, log);
    return -1;
  }
  int result = 0;
  for (BatchCommand& command : commands) {
    std::vector<std::string> args;
    args.reserve(command.args.size() + 1);
    args.push_back(programArg);
    for (std::string& a : command.args) args.push_back(std::move(a));
    int code = RunCommand(session, args);
    if (code != 0) result = code;
  }
  return result;
}

int Main(const std::vector<std::string>& commandLine, const Environment& env) {
  // Standard output carries results only; the log sink is set up by start-up.
  Kiv::Log::Instance().SetConsole(false, stderr);

  std::vector<std::string> args = commandLine;
  Session session;
  session.options = TakeStartupOptions(args);
  session.out = env.out;
  session.in = env.in;
  session.endsProcess = env.endsProcess;
  if (args.size() < 2) {
    PrintHelp(session.out);
    return -1;
  }
  if (Kiv::ToLowerAscii(args[1]) == "help") {
    PrintHelp(session.out);
    return 0;
  }

  session.installationRoot = FindInstallationRoot(env.programPath, env.rootVariable);
  session.userDataFolder = FindUserDataFolder(session.installationRoot, env.userDataVariable);
  session.compileOnly = Kiv::ToLowerAscii(args[1]) == "compile";
  if (!StartUp(session)) {
    std::fprintf(session.out, "- Init failed\n");
    std::fflush(session.out);
    ShutDown(session);
    return -1;
  }
  GSRuntime::ScriptLogHook = &ScriptLogPrinter;

  int result;
  if (args[1][0] == '@') {
    if (args.size() > 2) {
      ResultsLog log;
      log.AddResult(ResultsLog::kError, nullptr, "A batch file takes no further arguments.");
      PrintResults(session.out, log);
      result = -1;
    } else {
      result = RunBatch(session, args[0], args[1].substr(1));
    }
  } else {
    session.onlyCommand = session.endsProcess;
    result = RunCommand(session, args);
  }
  ShutDown(session);
  return result;
}

}  // namespace Cli
