// compresstexture run as a program: progress on standard error when that is a
// terminal (a pseudo-terminal here), nothing extra when it is not, and
// standard output the same either way.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

#include "TempTree.h"

namespace {

struct Ran {
  std::string out, err;
  int status = -1;
};

// Runs rovanautil with `args`, its standard output a pipe and its standard
// error a pseudo-terminal (`terminal`) or a pipe.
Ran RunProgram(const std::vector<std::string>& args, const std::string& userData, bool terminal) {
  Ran ran;
  int out[2], err[2];
  if (pipe(out) != 0) return ran;
  if (terminal) {
    if (openpty(&err[0], &err[1], nullptr, nullptr, nullptr) != 0) return ran;
  } else if (pipe(err) != 0) {
    return ran;
  }
  const std::string program = std::string(ROVANA_PROGRAM_DIR) + "/rovanautil";
  const pid_t child = fork();
  if (child == 0) {
    const int none = open("/dev/null", O_RDONLY);
    dup2(none, 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    for (int fd : {none, out[0], out[1], err[0], err[1]}) close(fd);
    setenv("ROVANA_ROOT", ROVANA_INSTALL_DIR, 1);
    setenv("ROVANA_USERDATA", userData.c_str(), 1);
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  close(out[1]);
  close(err[1]);
  // Both read as they come, so neither side can fill up and stall the program.
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  std::string* into[2] = {&ran.out, &ran.err};
  int live = 2;
  while (live > 0 && poll(fds, 2, 60000) > 0) {
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !fds[i].revents) continue;
      char buffer[4096];
      const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        into[i]->append(buffer, size_t(n));
      } else if (n == 0 || errno != EINTR) {  // a pseudo-terminal ends with EIO
        close(fds[i].fd);
        fds[i].fd = -1;
        --live;
      }
    }
  }
  for (pollfd& p : fds)
    if (p.fd >= 0) close(p.fd);
  int status = 0;
  waitpid(child, &status, 0);
  ran.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return ran;
}

}  // namespace

TEST(CompressTextureProgress, OnATerminalOnlyAndNeverOnStandardOutput) {
  TempTree tree;
  const std::filesystem::path samples = std::string(ROVANA_SOURCE_DIR) + "/samples/textures";
  for (const char* copy : {"tty", "pipe"})
    std::filesystem::copy(samples, tree.Path(copy), std::filesystem::copy_options::recursive);
  tree.MakeDir("empty");

  const Ran shown = RunProgram({"compresstexture", tree.Path("tty")}, tree.Path("user"), true);
  EXPECT_EQ(shown.status, 0) << shown.out << shown.err;
  EXPECT_EQ(shown.out, "OK (0 Errors,0 Warnings)\n");
  // Every finished texture, counted against all the folder holds, the line
  // rewritten in place and ended once.
  for (int done = 1; done <= 5; ++done)
    EXPECT_NE(shown.err.find("\rcompresstexture: " + std::to_string(done) + " of 5 textures done"),
              std::string::npos)
        << shown.err;
  EXPECT_EQ(shown.err.find("6 of"), std::string::npos) << shown.err;
  EXPECT_EQ(shown.err.find('\n'), shown.err.size() - 1) << shown.err;

  const Ran quiet = RunProgram({"compresstexture", tree.Path("pipe")}, tree.Path("user"), false);
  EXPECT_EQ(quiet.status, 0) << quiet.out << quiet.err;
  EXPECT_EQ(quiet.out, shown.out);
  EXPECT_EQ(quiet.err, "");
  EXPECT_TRUE(std::filesystem::exists(tree.Path("pipe/brick.texture")));

  // Nothing to convert: nothing to show.
  const Ran none = RunProgram({"compresstexture", tree.Path("empty")}, tree.Path("user"), true);
  EXPECT_EQ(none.status, 0);
  EXPECT_EQ(none.err, "");
}
