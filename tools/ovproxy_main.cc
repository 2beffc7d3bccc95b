// ovproxy: answers for URLs the way the module does.
#include <iostream>
#include <memory>
#include <string>
#include <string_view>

#include "ovproxy_command.h"
#include "ovproxy_telemetry_file_module.h"

#define OV_PROXY_STRINGIZE_(token) #token
#define OV_PROXY_STRINGIZE(token) OV_PROXY_STRINGIZE_(token)
#define OV_PROXY_VERSION OV_PROXY_STRINGIZE(OV_PROXY_VERSION_TOKEN)

namespace ovproxy {
namespace {

// Subcommands, in the order the usage text lists them.
constexpr Command kCommands[] = {
    {"version", "print the version",
     [](CommandContext& context) {
       context.out << "ovproxy " OV_PROXY_VERSION "\n";
       return kExitOk;
     },
     [](std::ostream& out) { out << "usage: ovproxy version\n"; }},
    {"resolve", "answer for URLs the way the module does", RunResolveCommand, PrintResolveUsage},
    {"pac", "evaluate a PAC (or .ins) file for URLs", RunPacCommand, PrintPacUsage},
    {"config", "show the proxy configuration of this machine", RunConfigCommand, PrintConfigUsage},
    {"sync", "print the proxy data other processes share", RunSyncCommand, PrintSyncUsage},
    {"fetch-pac", "find, download and verify a PAC file", RunFetchPacCommand, PrintFetchPacUsage},
};

void PrintUsage(std::ostream& out) {
  out << "usage: ovproxy [--telemetry FILE] <command> [options]\n"
         "       ovproxy -h | --help | -V | --version\n\ncommands:\n";
  for (const Command& command : kCommands) {
    out << "  " << command.name << std::string(12 - std::string_view(command.name).size(), ' ')
        << command.summary << "\n";
  }
  out << "\n'ovproxy <command> --help' describes one command; -V or --version after\n"
         "a command prints the version as well.\n"
         "--telemetry FILE appends every telemetry record as a JSON line to FILE.\n"
         "\nexit status: 0 every item answered, 1 some item failed, 2 wrong usage,\n"
         "3 every item answered but the telemetry FILE could not be written.\n";
}

void PrintVersion(std::ostream& out) {
  out << "ovproxy " OV_PROXY_VERSION "\n";
}

bool IsHelp(std::string_view arg) {
  return arg == "-h" || arg == "--help";
}

bool IsVersion(std::string_view arg) {
  return arg == "-V" || arg == "--version";
}

int RunCommand(const Command& command, CommandContext& context) {
  for (const std::string& arg : context.args) {
    if (arg == "--") break;  // what follows are operands
    if (IsHelp(arg)) {
      command.usage(context.out);
      return kExitOk;
    }
    if (IsVersion(arg)) {
      PrintVersion(context.out);
      return kExitOk;
    }
  }
  return command.run(context);
}

int Main(int argc, char** argv) {
  // Global options come before the subcommand's name.
  std::unique_ptr<TelemetryFileRegistration> telemetry;
  int first = 1;
  for (int used = 0; (used = ConsumeTelemetryOption(argc, argv, first, telemetry, std::cerr)) != 0;
       first += used) {
    if (used < 0) return kExitUsage;
  }
  if (argc <= first) {
    PrintUsage(std::cerr);
    return kExitUsage;
  }
  const std::string_view name = argv[first];
  if (IsHelp(name) || name == "help") {
    PrintUsage(std::cout);
    return kExitOk;
  }
  if (IsVersion(name)) {
    PrintVersion(std::cout);
    return kExitOk;
  }
  for (const Command& command : kCommands) {
    if (name != command.name) continue;
    CommandContext context{{argv + first + 1, argv + argc}, std::cout, std::cerr};
    int code = RunCommand(command, context);
    // Lost records are reported, never silently dropped.
    if (telemetry) {
      const std::string error = telemetry->WriteError();
      if (!error.empty()) {
        std::cerr << "ovproxy: --telemetry: " << error << "\n";
        if (code == kExitOk) code = kExitTelemetryLost;
      }
    }
    return code;
  }
  std::cerr << "ovproxy: unknown command '" << name << "'\n\n";
  PrintUsage(std::cerr);
  return kExitUsage;
}

}  // namespace
}  // namespace ovproxy

int main(int argc, char** argv) {
  return ovproxy::Main(argc, argv);
}
