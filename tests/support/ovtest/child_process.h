// ChildProcess: a helper program run beside a test, driven line by line
// through its standard input and output.
//
// Thread: one thread drives a child. Every read has a bound, so a helper
// that hangs fails the test instead of hanging it. The destructor closes
// the child's input, and kills it if it has not ended after that.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace ovtest {

class ChildProcess {
 public:
  // Starts `program` with `args`; `env` entries ("NAME=value") are added to
  // this process's environment for the child.
  ChildProcess(const std::string& program, const std::vector<std::string>& args,
               const std::vector<std::string>& env);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool started() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }
  bool WriteLine(const std::string& line);
  // The next line the child wrote, without its newline; nullopt when none
  // came within `timeout` or the child closed its output.
  std::optional<std::string> ReadLine(std::chrono::milliseconds timeout);
  // WriteLine then ReadLine; "" when no answer came.
  std::string Ask(const std::string& line,
                  std::chrono::milliseconds timeout = std::chrono::seconds(20));
  void Signal(int signal_number);

 private:
  pid_t pid_ = -1;
  int to_child_ = -1;
  int from_child_ = -1;
  std::string buffered_;
};

}  // namespace ovtest
