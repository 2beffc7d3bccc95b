// The subcommands of the ovproxy tool. Each lives in its own file
// (ovproxy_<name>_command.cc) and is listed in the table of ovproxy_main.cc.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace ovproxy {

// Exit codes shared by every subcommand.
inline constexpr int kExitOk = 0;      // every item was answered
inline constexpr int kExitFailed = 1;  // some item failed
inline constexpr int kExitUsage = 2;   // wrong usage
// Every item was answered, but the --telemetry file could not be written.
inline constexpr int kExitTelemetryLost = 3;

struct CommandContext {
  std::vector<std::string> args;  // the arguments after the subcommand's name
  std::ostream& out;
  std::ostream& err;
};

struct Command {
  const char* name;
  const char* summary;
  int (*run)(CommandContext& context);
  void (*usage)(std::ostream& out);
};

// ovproxy resolve: answers for URLs from a manual proxy string.
int RunResolveCommand(CommandContext& context);
void PrintResolveUsage(std::ostream& out);

// ovproxy pac: evaluates a PAC (or .ins) file for URLs.
int RunPacCommand(CommandContext& context);
void PrintPacUsage(std::ostream& out);

// ovproxy config: the proxy configuration the module sees on this machine.
int RunConfigCommand(CommandContext& context);
void PrintConfigUsage(std::ostream& out);
// ovproxy sync dump: prints what the client's processes share on the bus.
int RunSyncCommand(CommandContext& context);
void PrintSyncUsage(std::ostream& out);
// ovproxy fetch-pac: decides the PAC script once, as the module does.
int RunFetchPacCommand(CommandContext& context);
void PrintFetchPacUsage(std::ostream& out);

}  // namespace ovproxy
