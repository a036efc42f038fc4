// Runs parambridge-server (its path: PBS_SERVER_BIN) with arguments and
// collects its exit status, stdout and stderr.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace pbstest {

struct Outcome {
  int status = -1;      // the exit status; -1: killed by a signal
  std::string out, err;
};

// Starts the binary with stdout and stderr in files under `dir`; returns its pid.
inline pid_t Start(const std::vector<std::string>& args, const std::string& out, const std::string& err) {
  std::vector<char*> argv;
  static std::string binary = PBS_SERVER_BIN;
  argv.push_back(binary.data());
  std::vector<std::string> copy = args;
  for (std::string& a : copy) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  pid_t pid = -1;
  if (posix_spawn(&pid, binary.c_str(), &actions, nullptr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

inline std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

inline Outcome Collect(pid_t pid, const std::string& out, const std::string& err) {
  Outcome o;
  int wstatus = 0;
  while (waitpid(pid, &wstatus, 0) < 0) {
  }
  o.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
  o.out = Slurp(out);
  o.err = Slurp(err);
  return o;
}

inline Outcome Run(const std::vector<std::string>& args, const std::string& dir) {
  const std::string out = dir + "/stdout", err = dir + "/stderr";
  const pid_t pid = Start(args, out, err);
  if (pid < 0) return {};
  return Collect(pid, out, err);
}

}  // namespace pbstest
