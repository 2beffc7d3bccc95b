// `ovproxy config`: prints the proxy configuration the module sees on this
// machine, where it comes from, and the default browser; with --watch it
// keeps running and prints every change the module reports, with its cause:
// the configuration read anew (a settings change, or a network change when
// the module heard of one since the last change printed), and the changes
// the module acts on without a new configuration (a network change, a new
// PAC script), which it reports through its trace observer.
#include <json/json.h>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <utility>

#include "OrvaProxy/ovProxyConfig/ov_proxy_config.h"
#include "OrvaProxy/ov_resolve_trace.h"
#include "ovproxy_command.h"
#include "ovproxy_machine_config.h"
#include "ovproxy_module_host.h"

namespace ovproxy {
namespace {

// The first configuration normally arrives within milliseconds; a reader
// stuck on a broken settings service must not hang the command.
constexpr auto kFirstResultTimeout = std::chrono::seconds(15);
// --watch asks again this often; the sources read at most every 10 s.
constexpr auto kWatchTick = std::chrono::seconds(1);

std::atomic<bool> g_stop{false};

void OnSignal(int) {
  g_stop = true;
}

// The changes the module reports, from its runner to the watching thread.
class ChangeCollector final : public OVProxy::ovResolveTraceObserver {
 public:
  void onResolveTraced(const OVProxy::ovResolveTrace&) override {}
  void onResolveChange(const OVProxy::ovResolveChange& change) override {
    std::lock_guard lock(mutex_);
    changes_.push_back(change);
  }
  std::deque<OVProxy::ovResolveChange> Take() {
    std::lock_guard lock(mutex_);
    return std::exchange(changes_, {});
  }

 private:
  std::mutex mutex_;
  std::deque<OVProxy::ovResolveChange> changes_;
};

struct ConfigOptions {
  bool json = false;
  bool watch = false;
  long max_changes = 0;  // 0: until interrupted
};

std::string ParseOptions(const std::vector<std::string>& args, ConfigOptions& options) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--json") {
      options.json = true;
    } else if (arg == "--watch") {
      options.watch = true;
    } else if (arg == "--max-changes" && i + 1 < args.size()) {
      char* end = nullptr;
      options.max_changes = std::strtol(args[++i].c_str(), &end, 10);
      if (*end != '\0' || options.max_changes < 1) return "--max-changes needs a positive number";
    } else {
      return "unknown argument '" + arg + "'";
    }
  }
  return {};
}

// `cause` empty: the configuration as first read, not a change.
void Print(const MachineProxyConfig& change, bool json, std::ostream& out,
           const std::string& cause = {}) {
  const OVProxy::ovProxyConfig& config = *change.config;
  const std::string availability = OVProxy::ovProxyConfigAvailabilityName(change.availability);
  const std::string bypass = config.proxy_rules().bypass_rules.ToString();
  // Entries written like an address range that is none match nothing; say
  // which, rather than leave the user to wonder.
  std::string inert;
  Json::Value inert_json(Json::arrayValue);
  for (const std::string& rule : config.proxy_rules().bypass_rules.MalformedAddressRanges()) {
    inert += (inert.empty() ? "" : ";") + rule;
    inert_json.append(rule);
  }
  if (json) {
    Json::Value item(Json::objectValue);
    item["config"] = config.toString();
    item["availability"] = availability;
    item["source"] = change.source;
    item["auto_detect"] = config.auto_detect();
    item["pac_url"] = config.getPacUrl();
    item["bypass"] = bypass;
    item["bypass_inert"] = inert_json;
    item["default_browser"] = change.browser;
    item["default_browser_program"] = change.browser_program;
    if (!cause.empty()) item["cause"] = cause;
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    out << Json::writeString(builder, item) << '\n';
  } else {
    out << "configuration:   " << config.toString() << '\n'
        << "availability:    " << availability << '\n'
        << "source:          " << change.source << '\n'
        << "bypass:          " << (bypass.empty() ? "(none)" : bypass) << '\n'
        << (inert.empty() ? "" : "bypass inert:    " + inert + " (not address ranges)\n")
        << "default browser: " << change.browser
        << (change.browser_program.empty() ? "" : " (" + change.browser_program + ")") << '\n'
        << (cause.empty() ? "" : "cause:           " + cause + "\n");
  }
  out.flush();
}

// A change the module acted on that brought no new configuration.
void PrintModuleChange(const OVProxy::ovResolveChange& change, bool json, std::ostream& out) {
  const std::string cause = OVProxy::ovChangeCauseName(change.cause);
  if (json) {
    Json::Value item(Json::objectValue);
    item["cause"] = cause;
    item["source"] = change.source;
    if (change.config) item["config"] = change.config->toString();
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    out << Json::writeString(builder, item) << '\n';
  } else {
    out << "cause:           " << cause << '\n' << "source:          " << change.source << '\n';
    if (change.config) out << "configuration:   " << change.config->toString() << '\n';
  }
  out.flush();
}

}  // namespace

void PrintConfigUsage(std::ostream& out) {
  out << "usage: ovproxy config [--json] [--watch [--max-changes N]]\n"
         "\n"
         "Prints the proxy configuration the module sees: the configuration, its\n"
         "availability, its source (the system settings backend: gnome, kde or\n"
         "environment; or the Firefox profile's prefs.js when Firefox is the default\n"
         "browser and has settings of its own) and the default browser.\n"
         "\n"
         "  --json             one JSON object per configuration, on one line\n"
         "  --watch            keep running and print each change (stop with Ctrl-C)\n"
         "                     with its cause: a settings change, a network change\n"
         "                     or a new PAC script\n"
         "  --max-changes N    with --watch, stop after N changes\n"
         "\n"
         "Exit status: 0 when a configuration was read, 1 when none came, 2 for\n"
         "wrong usage.\n";
}

int RunConfigCommand(CommandContext& context) {
  ConfigOptions options;
  if (std::string problem = ParseOptions(context.args, options); !problem.empty()) {
    context.err << "ovproxy config: " << problem << "\n\n";
    PrintConfigUsage(context.err);
    return kExitUsage;
  }
  MachineConfigWatcher watcher;
  if (!watcher.Start()) {
    context.err << "ovproxy config: the task library refused to run the configuration sources\n";
    return kExitFailed;
  }
  const auto first = watcher.WaitNext(kFirstResultTimeout);
  if (!first) {
    context.err << "ovproxy config: no configuration was read\n";
    return kExitFailed;
  }
  Print(*first, options.json, context.out);
  if (!options.watch) return kExitOk;

  // While it watches, the tool is a whole member of the client: an
  // initialised module on the data-sync bus that answers other processes'
  // snapshots and follows network changes.
  ModuleHost module;
  auto module_changes = std::make_shared<ChangeCollector>();
  if (!module.Start(nullptr, module_changes)) {
    context.err << "ovproxy config: the proxy module could not be initialised\n";
  }

  g_stop = false;
  auto previous_int = std::signal(SIGINT, OnSignal);
  auto previous_term = std::signal(SIGTERM, OnSignal);
  long printed = 1;
  const auto room = [&] { return options.max_changes == 0 || printed < options.max_changes; };
  while (!g_stop && room()) {
    watcher.Poll();
    std::optional<MachineProxyConfig> change = watcher.WaitNext(kWatchTick);
    // The watcher reads the configuration itself; what the module reported
    // meanwhile names the cause of that change, or is a change of its own.
    bool network_changed = false;
    for (const OVProxy::ovResolveChange& reported : module_changes->Take()) {
      if (reported.cause == OVProxy::ovChangeCause::Settings) continue;  // printed as read
      if (reported.cause == OVProxy::ovChangeCause::Network) network_changed = true;
      if ((change && reported.cause == OVProxy::ovChangeCause::Network) || !room()) continue;
      PrintModuleChange(reported, options.json, context.out);
      ++printed;
    }
    if (change && room()) {
      Print(*change, options.json, context.out,
            OVProxy::ovChangeCauseName(network_changed ? OVProxy::ovChangeCause::Network
                                                       : OVProxy::ovChangeCause::Settings));
      ++printed;
    }
  }
  std::signal(SIGINT, previous_int);
  std::signal(SIGTERM, previous_term);
  return kExitOk;
}

}  // namespace ovproxy
