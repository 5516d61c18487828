// online_loopback: runs the loopback service on real time for the length of
// one command, for scenarios of a separate program (gsrun --game -o...).
//
//   online_loopback [--echo-posts=<10|11>] [--echo-group-posts] -- <command> [<argument>]...
//
// "@PORT@" in an argument becomes the service's port. The command's output is
// followed by one line, "service: requests" and each request type the service
// was sent with its count ("11x62"), in type order. The exit status is the
// command's (255 when it could not be run or did not exit).
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "LoopbackService.h"

extern char** environ;

int main(int argc, char** argv) {
  loopback::LoopbackService service;
  int i = 1;
  for (; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
    if (std::strncmp(argv[i], "--echo-posts=", 13) == 0) {
      service.echoPosts = std::atoi(argv[i] + 13);
    } else if (std::strcmp(argv[i], "--echo-group-posts") == 0) {
      service.echoGroupPosts = true;
    } else {
      std::fprintf(stderr, "online_loopback: unknown option %s\n", argv[i]);
      return 255;
    }
  }
  if (i + 1 >= argc) {
    std::fprintf(
        stderr,
        "usage: online_loopback [--echo-posts=<10|11>] [--echo-group-posts] -- <command> [<argument>]...\n");
    return 255;
  }
  std::vector<std::string> arguments;
  for (int a = i + 1; a < argc; ++a) {
    std::string text = argv[a];
    for (size_t at; (at = text.find("@PORT@")) != std::string::npos;)
      text.replace(at, 6, std::to_string(service.Port()));
    arguments.push_back(std::move(text));
  }
  std::vector<char*> pointers;
  for (std::string& a : arguments) pointers.push_back(a.data());
  pointers.push_back(nullptr);

  std::fflush(stdout);
  pid_t child = 0;
  if (posix_spawnp(&child, pointers[0], nullptr, nullptr, pointers.data(), environ) != 0) {
    std::fprintf(stderr, "online_loopback: cannot run %s\n", pointers[0]);
    return 255;
  }
  const auto start = std::chrono::steady_clock::now();
  int status = 0;
  while (waitpid(child, &status, WNOHANG) == 0) {
    service.WaitForDatagram(5);
    service.Step(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  std::printf("service: requests");
  for (const auto& [type, contents] : service.requests) std::printf(" %dx%zu", type, contents.size());
  std::printf("\n");
  return WIFEXITED(status) ? WEXITSTATUS(status) : 255;
}
