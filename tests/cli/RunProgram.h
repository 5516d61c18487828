#pragma once
// The whole program run in-process as a user starts it: the arguments after
// the program name, the installation root and user data folders its start-up
// finds, what it prints going to out and its standard input reading input.
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
