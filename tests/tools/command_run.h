// Runs an ovproxy subcommand in process and keeps what it wrote.
#pragma once

#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "ovproxy_command.h"

namespace ovproxy {

struct CommandRun {
  int code;
  std::string out;
  std::string err;
};

inline CommandRun RunCommand(int (*run)(CommandContext&), std::vector<std::string> args) {
  std::ostringstream out;
  std::ostringstream err;
  CommandContext context{std::move(args), out, err};
  const int code = run(context);
  return {code, out.str(), err.str()};
}

}  // namespace ovproxy
