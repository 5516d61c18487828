#pragma once
// The command host: serves requests to check assets and convert textures,
// read from standard input, one per line, answered on standard output in the
// line protocol of docs/commandhost.md.
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

class ResultsLog;

namespace Cli {

struct Session;

// Request numbers of CommandHostCallback.
enum CommandHostRequest : uint32_t {
  kHostValidateAsset = 0,    // argument: the asset folder
  kHostConvertTextures = 1,  // arguments: the folder [, the content-set name]
};

// Runs one request: drops the asset specs first (so the request sees the
// assets as they are now), then runs it with `log`. `result` gets the answer
// word: validate 1 valid / 0 not; textures 2 / 0 / 1 as the conversion
// reports. False, with `error` set, when the request number is unknown or its
// arguments are wrong (nothing runs then).
[[nodiscard]] bool CommandHostCallback(uint32_t request, const std::vector<std::string>& args,
                                       ResultsLog& log, int& result, std::string& error);

// The validate request: a job posted to the main thread runs the asset check
// on the folder with the request's log; the request waits for it.
class ValidateAssetTask {
public:
  ValidateAssetTask(ResultsLog& log, std::string folder) : m_log(log), m_folder(std::move(folder)) {}
  // Posts the job and waits. False when the asset is not valid or the job
  // could not run (an error result says so).
  [[nodiscard]] bool Run();

private:
  void Check(void*);

  ResultsLog& m_log;
  std::string m_folder;
  bool m_ran = false;
  bool m_result = false;
};

// One request line of the command host.
struct HostRequest {
  uint32_t id = 0;       // the sender's transaction number, echoed in the answer
  uint32_t request = 0;  // CommandHostRequest
  std::vector<std::string> args;
};

enum class HostLine { kRequest, kBlank, kMalformed };

// Parses one request line (without its line break). For a malformed line
// `errorAnswer` gets the whole answer line (without line break).
HostLine ParseHostRequest(std::string_view line, HostRequest& request, std::string& errorAnswer);

// Longest request line; a longer one is refused whole.
constexpr size_t kMaxHostLine = 65536;

// Serves requests from `in`, answers on `out`, until the end of input. A
// relative folder in a request lies under `baseFolder` (the user's folder)
// when one is given. Returns the number of requests answered with OK.
int ServeCommandHost(std::FILE* in, std::FILE* out, const std::string& baseFolder = std::string());

// The hidden command "umbcommandhost": serves the session's input and output.
// Returns 0 at the end of input.
int RunCommandHost(Session& session);

}  // namespace Cli
