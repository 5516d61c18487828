#pragma once
// The whole program run in-process as a user starts it: the arguments after
// the program name, the installation root and user data folders its start-up
// finds, what it prints going to out and its standard input reading input.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "cli/App.h"

inline int RunProgram(std::vector<std::string> args, const std::string& root, const std::string& userData,
                      std::FILE* out, const std::string& input = "") {
  args.insert(args.begin(), "rovanautil");
  Cli::Environment env;
  env.programPath = "/nonexistent/bin/rovanautil";
  env.rootVariable = root.c_str();
  env.userDataVariable = userData.c_str();
  env.out = out;
  env.endsProcess = false;
  std::FILE* in = fmemopen(const_cast<char*>(input.data()), input.size() + 1, "r");
  env.in = in;
  const int code = Cli::Main(args, env);
  std::fclose(in);
  return code;
}

// Starts the built rovanautil as its own process in this process's
// environment, reading the file `in` and writing out and errors to the file
// `out`; its id, or -1 if it could not start.
inline pid_t StartProgram(const std::vector<std::string>& args, const std::string& out,
                          const std::string& in = "/dev/null") {
  const std::string program = std::string(ROVANA_PROGRAM_DIR) + "/rovanautil";
  std::vector<char*> argv{const_cast<char*>(program.c_str())};
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t files;
  posix_spawn_file_actions_init(&files);
  posix_spawn_file_actions_addopen(&files, 0, in.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&files, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&files, 1, 2);
  pid_t pid = -1;
  if (posix_spawn(&pid, program.c_str(), &files, nullptr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&files);
  return pid;
}

// Waits for a started program to end; its exit code, or -1 if it was killed.
inline int WaitProgram(pid_t pid) {
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
