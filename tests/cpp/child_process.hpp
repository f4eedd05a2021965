// Runs one test of this binary again in a child process with a chosen
// environment, for behaviour fixed once per process (the pool's size).
#pragma once

#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <vector>

extern char** environ;

namespace tarvex::testing {

// Set in the child so the test knows to do the child's part.
inline constexpr const char* kChildFlag = "TARVEX_CHILD";

inline bool in_child() { return std::getenv(kChildFlag) != nullptr; }

// The current test's full name, for --gtest_filter.
inline std::string current_test_name() {
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  return std::string(info->test_suite_name()) + "." + info->name();
}

struct ChildResult {
  int status = -1;
  std::string out;
};

// Re-runs the current test with `set` added to (value) or removed from
// (nullopt) the environment; returns the child's exit status and stdout.
inline ChildResult rerun_in_child(const std::map<std::string, std::optional<std::string>>& set) {
  const char* binary = std::getenv("TARVEX_TEST_BINARY");
  const std::string exe = binary ? binary : "/proc/self/exe";
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    const std::string entry(*e);
    const std::string name = entry.substr(0, entry.find('='));
    if (!set.contains(name) && name != kChildFlag) env.push_back(entry);
  }
  for (const auto& [name, value] : set) {
    if (value) env.push_back(name + "=" + *value);
  }
  env.push_back(std::string(kChildFlag) + "=1");
  std::vector<std::string> args = {exe, "--gtest_filter=" + current_test_name()};

  std::vector<char*> argv, envp;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);

  int fds[2];
  ChildResult result;
  if (pipe(fds) != 0) return result;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, fds[0]);
  pid_t pid = 0;
  const int rc = posix_spawn(&pid, exe.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  if (rc != 0) {
    close(fds[0]);
    return result;
  }
  char buffer[4096];
  for (ssize_t got; (got = read(fds[0], buffer, sizeof buffer)) > 0;) result.out.append(buffer, got);
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

// The child reports values on lines "RESULT <key> <value>".
inline std::optional<std::string> child_value(const std::string& out, const std::string& key) {
  const std::string marker = "RESULT " + key + " ";
  const auto at = out.find(marker);
  if (at == std::string::npos) return std::nullopt;
  const auto begin = at + marker.size();
  return out.substr(begin, out.find('\n', begin) - begin);
}

}  // namespace tarvex::testing
