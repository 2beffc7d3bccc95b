// ChildProcess: a helper program run beside a test (POSIX), driven line by
// line through its standard input and output from one thread. Every read is
// bounded, so a helper that hangs fails the test instead of hanging it. The
// destructor closes the child's input and kills it if it does not end then.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace ovtest {

class ChildProcess {
 public:
  // `env` entries ("NAME=value") are added to this process's environment.
  ChildProcess(const std::string& program, const std::vector<std::string>& args,
               const std::vector<std::string>& env);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool started() const { return pid_ > 0; }
  // The next line the child wrote, without its newline; nullopt when none
  // came within `timeout` or the child closed its output.
  std::optional<std::string> ReadLine(std::chrono::milliseconds timeout);
  // Writes `line` and reads the answer; "" when none came.
  std::string Ask(const std::string& line,
                  std::chrono::milliseconds timeout = std::chrono::seconds(20));

 private:
  pid_t pid_ = -1;
  int to_child_ = -1;
  int from_child_ = -1;
  std::string buffered_;
};

}  // namespace ovtest
