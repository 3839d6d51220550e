// child.cpp — see child.h.
#include "server/child.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

extern char** environ;

Result<pid_t> spawnStudio(const std::string& program, const std::vector<std::string>& arguments,
                          const std::string& folder, int toParent) {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attributes);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, toParent, 2);
  posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
  sigset_t none;
  sigset_t defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  for (int number : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGCHLD}) {
    sigaddset(&defaults, number);
  }
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setpgroup(&attributes, 0);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
  std::vector<std::string> words{program};
  words.insert(words.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& word : words) {
    argv.push_back(word.data());
  }
  argv.push_back(nullptr);
  pid_t child = -1;
  const int failed = posix_spawn(&child, program.c_str(), &actions, &attributes, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (failed != 0) {
    return Status::failure("cannot start " + program + ": " + std::strerror(failed));
  }
  return child;
}

Result<ChildEnd> runStudio(const std::string& program, const std::vector<std::string>& arguments,
                           const std::string& folder, int seconds) {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) {
    return Status::failure(std::string("cannot start a render: ") + std::strerror(errno));
  }
  Result<pid_t> child = spawnStudio(program, arguments, folder, ends[1]);
  close(ends[1]);
  if (!child) {
    close(ends[0]);
    return child.status();
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  std::string text;
  bool late = false;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      late = true;
      kill(child.value(), SIGKILL);
      break;
    }
    pollfd wait{ends[0], POLLIN, 0};
    if (poll(&wait, 1, static_cast<int>(left.count())) < 0 && errno != EINTR) {
      break;
    }
    char buffer[4096];
    const ssize_t got = read(ends[0], buffer, sizeof buffer);
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) {
      continue;
    }
    if (got <= 0) {
      break;
    }
    // What a child says is a few lines; only the end of it matters.
    text.append(buffer, static_cast<size_t>(got));
    if (text.size() > 65536) {
      text.erase(0, text.size() - 4096);
    }
  }
  close(ends[0]);
  ChildEnd end;
  while (waitpid(child.value(), &end.status, 0) < 0 && errno == EINTR) {
  }
  size_t at = text.rfind("vrax-studio: ");
  if (at != std::string::npos) {
    end.lastLine = text.substr(at + 13);
    end.lastLine = end.lastLine.substr(0, end.lastLine.find('\n'));
  }
  if (late) {
    end.lastLine = "the render took longer than " + std::to_string(seconds) + " s and was stopped";
  }
  return end;
}

std::string failureLine(int status, const std::string& lastLine) {
  if (WIFSIGNALED(status)) {
    const char* name = sigabbrev_np(WTERMSIG(status));
    const std::string how = std::string("the render was stopped by ") +
                            (name != nullptr ? std::string("SIG") + name : "signal " + std::to_string(WTERMSIG(status)));
    return lastLine.empty() ? how : how + " after: " + lastLine;
  }
  if (!lastLine.empty()) {
    return lastLine;
  }
  return "the render failed (exit status " + std::to_string(WEXITSTATUS(status)) + ")";
}
