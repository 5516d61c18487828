#include "cli/CommandHost.h"

#include <charconv>
#include <iterator>

#include "cli/CommandLine.h"
#include "cli/Results.h"
#include "cli/StartUp.h"
#include "cli/Subsystems.h"
#include "foundation/Jobs.h"
#include "foundation/ResultsLog.h"

namespace Cli {

namespace {

bool ParseNumber(const std::string& text, uint32_t& value) {
  if (text.empty() || text.size() > 9) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc() && end == text.data() + text.size();
}

// Reads one line without its line break. False at the end of input. A line
// longer than kMaxHostLine is consumed whole and reported as too long.
bool ReadLine(std::FILE* in, std::string& line, bool& tooLong) {
  line.clear();
  tooLong = false;
  int c;
  bool any = false;
  while ((c = std::fgetc(in)) != EOF) {
    any = true;
    if (c == '\n') return true;
    if (line.size() < kMaxHostLine)
      line.push_back(static_cast<char>(c));
    else
      tooLong = true;
  }
  return any;
}

}  // namespace

void ValidateAssetTask::Check(void*) {
  m_result = CheckAssetFolder(m_log, m_folder);
  m_ran = true;
}

bool ValidateAssetTask::Run() {
  auto job = std::make_unique<TCXCallbackCPPVoidPtr<ValidateAssetTask>>(this, &ValidateAssetTask::Check);
  if (!PostJob(nullptr, std::move(job), kJobMainThread, nullptr, this) || !m_ran) {
    m_log.AddResult(ResultsLog::kError, nullptr, "The asset check of '" + m_folder + "' could not be run.");
    return false;
  }
  return m_result;
}

bool CommandHostCallback(uint32_t request, const std::vector<std::string>& args, ResultsLog& log, int& result,
                         std::string& error) {
  switch (request) {
    case kHostValidateAsset:
      if (args.size() != 1 || args[0].empty()) {
        error = "request 0 takes one argument: the asset folder";
        return false;
      }
      ShutdownSpecRegistry();
      result = ValidateAssetTask(log, args[0]).Run() ? 1 : 0;
      return true;
    case kHostConvertTextures:
      if (args.empty() || args.size() > 2 || args[0].empty()) {
        error = "request 1 takes the folder and an optional content-set name";
        return false;
      }
      ShutdownSpecRegistry();
      result = ConvertTexturesInFolder(args.size() > 1 ? args[1] : std::string(), args[0], log);
      return true;
    default: error = "unknown request " + std::to_string(request); return false;
  }
}

HostLine ParseHostRequest(std::string_view line, HostRequest& request, std::string& errorAnswer) {
  std::vector<std::string> words;
  std::string error;
  request = HostRequest();
  if (!SplitCommandLine(line, words, error)) {
    // The answer still names the request when its id, the text up to the
    // first blank, is whole and valid.
    const std::string_view head = line.substr(0, line.find_first_of(" \t"));
    std::vector<std::string> idWords;
    std::string ignored;
    uint32_t id;
    const bool haveId = SplitCommandLine(head, idWords, ignored) && idWords.size() == 1 &&
                        head.find('"') == std::string_view::npos && ParseNumber(idWords[0], id);
    errorAnswer = (haveId ? std::to_string(id) : std::string("-")) + " ERR " + error;
    return HostLine::kMalformed;
  }
  if (words.empty()) return HostLine::kBlank;
  if (!ParseNumber(words[0], request.id)) {
    errorAnswer = "- ERR bad transaction id";
    return HostLine::kMalformed;
  }
  if (words.size() < 2 || !ParseNumber(words[1], request.request)) {
    errorAnswer = std::to_string(request.id) + " ERR missing or bad request number";
    return HostLine::kMalformed;
  }
  request.args.assign(std::make_move_iterator(words.begin() + 2), std::make_move_iterator(words.end()));
  return HostLine::kRequest;
}

int ServeCommandHost(std::FILE* in, std::FILE* out, const std::string& baseFolder) {
  int answered = 0;
  std::string line;
  bool tooLong = false;
  while (ReadLine(in, line, tooLong)) {
    HostRequest request;
    std::string answer;
    HostLine kind = tooLong ? HostLine::kMalformed : ParseHostRequest(line, request, answer);
    if (tooLong) answer = "- ERR request line longer than " + std::to_string(kMaxHostLine) + " bytes";
    if (kind == HostLine::kBlank) continue;
    if (kind == HostLine::kRequest) {
      // Both requests name a folder first. A texture request's relative folder
      // lies in its content set when it names one (the conversion finds it
      // there), else in the folder the host was started in.
      std::vector<std::string>& args = request.args;
      const bool inSet = request.request == kHostConvertTextures && args.size() > 1 && !args[1].empty();
      if (!inSet && !args.empty() && !args[0].empty() && args[0][0] != '/' && !baseFolder.empty())
        args[0] = baseFolder + "/" + args[0];
      ResultsLog log;
      int result = 0;
      std::string error;
      if (CommandHostCallback(request.request, args, log, result, error)) {
        for (const ResultsLog::Entry& entry : log.Entries())
          std::fprintf(out, "%u R %d %s\n", request.id, entry.severity,
                       VisibleText(entry.text, true).c_str());
        answer = std::to_string(request.id) + " OK " + std::to_string(result);
        ++answered;
      } else {
        answer = std::to_string(request.id) + " ERR " + error;
      }
    }
    std::fprintf(out, "%s\n", answer.c_str());
    std::fflush(out);
  }
  return answered;
}

int RunCommandHost(Session& session) {
  ServeCommandHost(session.in, session.out, session.startFolder);
  return 0;
}

}  // namespace Cli
