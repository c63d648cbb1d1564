#pragma once

#include "tests/support/TempDir.h"

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace fp::test {

// Starts the program args[0] in `dir` with its standard output and error in the files `out`
// and `err`; -1 when it cannot.
inline pid_t Spawn(const std::vector<std::string>& args, const std::string& dir,
                   const std::string& out, const std::string& err) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addchdir_np(&actions, dir.c_str());
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, args[0].c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  return rc == 0 ? pid : -1;
}

// The exit status of `pid` once it ended within `limit`; -1 when it did not (it is then killed)
// or did not exit normally.
inline int AwaitExit(pid_t pid, std::chrono::milliseconds limit) {
  if (pid < 0) return -1;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Waits until the file at `path` holds `text` (a program started with Spawn saying that it is
// ready), at most `limit`. False when the text did not come in time or the program `pid` ended
// meanwhile; the program is left as it is.
inline bool AwaitText(const std::string& path, const std::string& text,
                      std::chrono::milliseconds limit, pid_t pid) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (ReadFile(path).find(text) == std::string::npos) {
    if (std::chrono::steady_clock::now() > deadline || pid < 0 ||
        waitpid(pid, nullptr, WNOHANG) != 0) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

}  // namespace fp::test
