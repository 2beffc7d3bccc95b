// ChildProcess: a helper program (POSIX) driven line by line through its
// standard input and output. Reads are bounded, so a hanging helper fails the
// test; the destructor closes its input and kills it if it does not end.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <optional>
#include <string>
#include <vector>

extern char** environ;

namespace ovtest {

class ChildProcess {
 public:
  // `env` entries ("NAME=value") are added to this process's environment.
  ChildProcess(const std::string& program, const std::vector<std::string>& args,
               const std::vector<std::string>& env) {
    int in[2] = {-1, -1};
    int out[2] = {-1, -1};
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) return;
    // Everything the child needs is built before fork: only exec follows.
    std::vector<std::string> env_strings;
    for (char** e = environ; *e != nullptr; ++e) env_strings.emplace_back(*e);
    env_strings.insert(env_strings.end(), env.begin(), env.end());
    std::vector<std::string> arg_strings{program};
    arg_strings.insert(arg_strings.end(), args.begin(), args.end());
    const std::vector<char*> envp = Pointers(env_strings), argv = Pointers(arg_strings);
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(in[0], STDIN_FILENO);
      ::dup2(out[1], STDOUT_FILENO);
      ::execve(program.c_str(), argv.data(), envp.data());
      ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    to_child_ = in[1];
    from_child_ = out[0];
  }
  ~ChildProcess() {
    if (to_child_ >= 0) ::close(to_child_);
    // A helper ends when its input closes; a stopped or stuck one is killed.
    bool ended = pid_ <= 0;
    for (int i = 0; i < 200 && !ended; ++i) {
      ended = ::waitpid(pid_, nullptr, WNOHANG) == pid_;
      if (!ended) ::poll(nullptr, 0, 10);
    }
    if (!ended) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (from_child_ >= 0) ::close(from_child_);
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool started() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }
  // The next line the child wrote, without its newline; nullopt when none
  // came within `timeout` or the child closed its output.
  std::optional<std::string> ReadLine(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      if (const auto newline = buffered_.find('\n'); newline != std::string::npos) {
        std::string line = buffered_.substr(0, newline);
        buffered_.erase(0, newline + 1);
        return line;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return std::nullopt;
      pollfd fd{from_child_, POLLIN, 0};
      const int ready = ::poll(&fd, 1, static_cast<int>(left.count()));
      if (ready < 0 && errno == EINTR) continue;
      if (ready <= 0) return std::nullopt;
      char chunk[4096];
      const ssize_t n = ::read(from_child_, chunk, sizeof(chunk));
      if (n <= 0) return std::nullopt;
      buffered_.append(chunk, static_cast<std::size_t>(n));
    }
  }
  // Writes `line` and reads the answer; "" when none came.
  std::string Ask(const std::string& line,
                  std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    const std::string text = line + "\n";
    for (std::size_t done = 0; done < text.size();) {
      const ssize_t n = ::write(to_child_, text.data() + done, text.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return std::string();
      done += static_cast<std::size_t>(n);
    }
    return ReadLine(timeout).value_or(std::string());
  }

 private:
  // argv/envp for execve, pointing into `strings`.
  static std::vector<char*> Pointers(std::vector<std::string>& strings) {
    std::vector<char*> out;
    for (std::string& s : strings) out.push_back(s.data());
    out.push_back(nullptr);
    return out;
  }

  pid_t pid_ = -1;
  int to_child_ = -1;
  int from_child_ = -1;
  std::string buffered_;
};

}  // namespace ovtest
