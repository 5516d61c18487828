// RovanaUtil: the command-line content tool.
#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
  std::puts("RovanaUtil - content tool\n\nUsage: rovanautil <command> [arguments]\n\n  help    this text");
  if (argc < 2) return -1;
  return std::strcmp(argv[1], "help") == 0 ? 0 : -1;
}
