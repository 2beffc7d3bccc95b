// `ovproxy resolve`: a host of the module. It loads the module (InitModule,
// the lookup of "IOrvaProxyService"), initialises it on this machine's proxy
// configuration, or on one made of --proxy/--bypass/--pac-url/--auto-detect,
// and asks for each URL: one resolveProxySync after the other, or all at once
// through resolveProxy with --async. Answers therefore take the module's
// whole road: host cache, waiting for the configuration, bypass rules, the
// PAC decision, the resolvers, DIRECT as last resort and the time-outs.
//
// With overrides the module runs off the client's data-sync bus, so answers
// for a made-up configuration never enter the host cache other processes
// share.
//
// The road of each answer (--explain, and "road" in --json) is the module's
// own record of it, taken from a trace observer installed on the provider.
#include <json/json.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "OrvaProxy/ovProxyConfig/ov_proxy_config.h"
#include "OrvaProxy/ov_proxy_config_mode.h"
#include "OrvaProxy/ov_proxy_host_cache_mode.h"
#include "OrvaProxy/ov_proxy_info_mode_impl.h"
#include "OrvaProxy/ov_proxy_resolve_service.h"
#include "OrvaProxy/ov_proxy_resolve_service_provider.h"
#include "OrvaProxy/ov_resolve_trace.h"
#include "ovproxy_command.h"
#include "ovproxy_fixed_config_manager.h"
#include "ovproxy_module_host.h"
#include "ovproxy_private_bus.h"

namespace ovproxy {
namespace {

using OVProxy::eErrorCode;
using OVProxy::ovProxyInfo;

constexpr int kDefaultTimeoutMs = 10000;
// An --async run with --timeout 0 waits this long before it gives up.
constexpr std::chrono::seconds kAsyncLimit{60};

struct ResolveOptions {
  std::string proxy;
  bool has_proxy = false;
  std::string bypass;
  std::string pac_url;
  bool auto_detect = false;
  bool json = false;
  bool explain = false;
  bool async = false;
  int timeout_ms = kDefaultTimeoutMs;
  std::vector<std::string> urls;
  bool overrides() const { return has_proxy || !bypass.empty() || !pac_url.empty() || auto_detect; }
};

struct Outcome {
  std::string url;  // as resolved, with the scheme added when missing
  bool answered = false;
  ovProxyInfo answer;
  eErrorCode error = OVProxy::e_unavailable;
  std::string source;  // "override", or the configuration's source
  std::string request_id;
  std::optional<OVProxy::ovResolveTrace> road;  // the module's record
};

// Collects the roads the module records, on its runner.
class RoadCollector final : public OVProxy::ovResolveTraceObserver {
 public:
  void onResolveTraced(const OVProxy::ovResolveTrace& trace) override {
    std::lock_guard lock(mutex_);
    roads_.push_back(trace);
  }

  // The road of the request with `requestId`, or, for synchronous calls
  // (whose ids stay inside the provider), the last one for `url` that ended
  // with `error`, taken from what came so far.
  std::optional<OVProxy::ovResolveTrace> Take(const std::string& requestId, const std::string& url,
                                              eErrorCode error) {
    std::lock_guard lock(mutex_);
    const std::string traced_url = OVProxy::ovTraceUrl(url);
    const std::string code = std::to_string(error);
    for (auto it = roads_.rbegin(); it != roads_.rend(); ++it) {
      const OVProxy::ovTraceStep* answer = it->find(OVProxy::ovTraceStepKind::Answer);
      const bool match = requestId.empty()
                             ? it->url == traced_url && answer && answer->get("code") == code
                             : it->request_id == requestId;
      if (!match) continue;
      OVProxy::ovResolveTrace road = std::move(*it);
      roads_.erase(std::next(it).base());
      return road;
    }
    return std::nullopt;
  }

 private:
  std::mutex mutex_;
  std::vector<OVProxy::ovResolveTrace> roads_;
};

// Reads "--name VALUE" or "--name=VALUE" at args[index]; advances index past
// what it used. False when args[index] is not that option.
bool TakeValue(const std::vector<std::string>& args, std::size_t& index, std::string_view name,
               std::string& value, bool& missing) {
  const std::string_view arg = args[index];
  if (arg == name) {
    if (index + 1 >= args.size()) {
      missing = true;
      return true;
    }
    value = args[++index];
    return true;
  }
  if (arg.size() > name.size() && arg.substr(0, name.size()) == name && arg[name.size()] == '=') {
    value = arg.substr(name.size() + 1);
    return true;
  }
  return false;
}

// Adds the URLs of FILE: one a line; blank lines and lines starting with
// "#" are skipped.
bool ReadUrlFile(const std::string& path, std::vector<std::string>& urls) {
  std::ifstream in(path);
  if (!in) return false;
  for (std::string line; std::getline(in, line);) {
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) {
      line.pop_back();
    }
    const std::size_t start = line.find_first_not_of(" \t");
    if (start == std::string::npos || line[start] == '#') continue;
    urls.push_back(line.substr(start));
  }
  return true;
}

// An error message for wrong usage, or empty when the options are fine.
std::string ParseOptions(const std::vector<std::string>& args, ResolveOptions& options) {
  bool only_urls = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (only_urls || arg.empty() || arg[0] != '-') {
      options.urls.push_back(arg);
      continue;
    }
    bool missing = false;
    std::string value;
    if (arg == "--") {
      only_urls = true;
    } else if (arg == "--json") {
      options.json = true;
    } else if (arg == "--explain") {
      options.explain = true;
    } else if (arg == "--async") {
      options.async = true;
    } else if (arg == "--auto-detect") {
      options.auto_detect = true;
    } else if (TakeValue(args, i, "--timeout", value, missing)) {
      if (!missing) {
        std::size_t used = 0;
        try {
          options.timeout_ms = std::stoi(value, &used);
        } catch (...) {
          used = 0;
        }
        if (used != value.size() || value.empty() || options.timeout_ms < 0) {
          return "--timeout needs a number of milliseconds";
        }
      }
    } else if (TakeValue(args, i, "-f", value, missing) ||
               TakeValue(args, i, "--file", value, missing)) {
      if (!missing && !ReadUrlFile(value, options.urls)) return "cannot read '" + value + "'";
    } else if (TakeValue(args, i, "--pac-url", options.pac_url, missing)) {
      if (!missing && options.pac_url.empty()) return "--pac-url needs a URL";
    } else if (TakeValue(args, i, "--proxy", options.proxy, missing)) {
      options.has_proxy = !missing;
    } else if (!TakeValue(args, i, "--bypass", options.bypass, missing)) {
      return "unknown option '" + arg + "'";
    }
    if (missing) return "option '" + arg + "' needs a value";
  }
  if (options.urls.empty()) return "no URL given";
  return {};
}

std::string NormalizeUrl(const std::string& url) {
  if (url.empty() || url.find("://") != std::string::npos) return url;
  return "https://" + url;
}

std::string ConfigSourceName() {
  OVProxy::ovProxyConfig config;
  auto store = OVProxy::ovProxyInfoModeImpl::GetInstance()->getConfigMode();
  if (!store || !store->getConfig(config)) return "none";
  return config.source() == OVProxy::ConfigSource::Firefox ? "Firefox" : "System";
}

void ResolveOneByOne(OVProxy::ovProxyResolveServiceProvider& provider, int timeoutMs,
                     RoadCollector& roads, std::vector<Outcome>& outcomes) {
  for (Outcome& outcome : outcomes) {
    if (outcome.url.empty()) {
      outcome.answered = true;
      outcome.error = OVProxy::e_failed;
      continue;
    }
    outcome.error = provider.resolveProxySync(outcome.url, "", outcome.answer, timeoutMs);
    outcome.answered = outcome.error != OVProxy::e_request_timeout;
    // The module hands the road over before it answers.
    if (outcome.answered) outcome.road = roads.Take("", outcome.url, outcome.error);
  }
}

void ResolveAtOnce(OVProxy::ovProxyResolveServiceProvider& provider, int timeoutMs,
                   RoadCollector& roads, std::vector<Outcome>& outcomes) {
  struct Shared {
    std::mutex mutex;
    std::condition_variable answered;
    std::size_t open = 0;
  };
  auto shared = std::make_shared<Shared>();
  std::vector<std::string> ids(outcomes.size());
  for (std::size_t i = 0; i < outcomes.size(); ++i) {
    Outcome& outcome = outcomes[i];
    if (outcome.url.empty()) {
      outcome.answered = true;
      outcome.error = OVProxy::e_failed;
      continue;
    }
    {
      std::lock_guard lock(shared->mutex);
      ++shared->open;
    }
    // Outcomes outlive every answer: the wait below ends only when all came,
    // or after the limit, once uninitialize answered the rest.
    const bool accepted = provider.resolveProxy(
        outcome.url, "",
        [shared, &outcome](const std::string&, const ovProxyInfo& answer, eErrorCode error) {
          std::lock_guard lock(shared->mutex);
          outcome.answer = answer;
          outcome.error = error;
          outcome.answered = error != OVProxy::e_request_timeout && error != OVProxy::e_cancelled;
          if (--shared->open == 0) shared->answered.notify_all();
        },
        ids[i], timeoutMs);
    if (!accepted) {
      std::lock_guard lock(shared->mutex);
      --shared->open;
      outcome.error = OVProxy::e_not_initialized;
    }
  }
  std::unique_lock lock(shared->mutex);
  // The module answers every request with a time-out; without one the tool
  // stops waiting at the limit and cancels what is still open.
  if (!shared->answered.wait_for(lock, kAsyncLimit, [&] { return shared->open == 0; })) {
    lock.unlock();
    for (const std::string& id : ids) {
      if (!id.empty()) provider.cancelResolve(id);
    }
    lock.lock();
    shared->answered.wait(lock, [&] { return shared->open == 0; });
  }
  lock.unlock();
  for (std::size_t i = 0; i < outcomes.size(); ++i) {
    if (!ids[i].empty()) outcomes[i].road = roads.Take(ids[i], outcomes[i].url, outcomes[i].error);
  }
}

const char* ErrorName(eErrorCode error) {
  switch (error) {
    case OVProxy::e_success:
      return "e_success";
    case OVProxy::e_pending:
      return "e_pending";
    case OVProxy::e_failed:
      return "e_failed";
    case OVProxy::e_cancelled:
      return "e_cancelled";
    case OVProxy::e_resolver_not_initialized:
      return "e_resolver_not_initialized";
    case OVProxy::e_invalid_argument:
      return "e_invalid_argument";
    case OVProxy::e_not_supported:
      return "e_not_supported";
    case OVProxy::e_unavailable:
      return "e_unavailable";
    case OVProxy::e_not_initialized:
      return "e_not_initialized";
    case OVProxy::e_config_unavailable:
      return "e_config_unavailable";
    case OVProxy::e_resolver_timeout:
      return "e_resolver_timeout";
    case OVProxy::e_pac_unavailable:
      return "e_pac_unavailable";
    case OVProxy::e_resolve_failed:
      return "e_resolve_failed";
    case OVProxy::e_pac_download_failed:
      return "e_pac_download_failed";
    case OVProxy::e_request_timeout:
      return "e_request_timeout";
  }
  return "unknown";
}

// A failed automatic resolution is answered by the local resolver with the
// failing resolver's code: the answer is printed, the failure named.
bool IsFallback(const Outcome& outcome) {
  return outcome.error != OVProxy::e_success && !outcome.answer.is_empty();
}

void ReportFailures(const std::vector<Outcome>& outcomes, std::ostream& err) {
  for (const Outcome& outcome : outcomes) {
    if (IsFallback(outcome)) {
      err << "ovproxy resolve: " << outcome.url << ": automatic resolution failed with "
          << ErrorName(outcome.error) << " (" << static_cast<int>(outcome.error)
          << "), answered by the local resolver\n";
    } else if (outcome.error == OVProxy::e_request_timeout) {
      err << "ovproxy resolve: " << outcome.url << ": no answer in time\n";
    }
  }
}

void PrintText(const std::vector<Outcome>& outcomes, std::ostream& out) {
  for (const Outcome& outcome : outcomes) {
    out << outcome.url << '\t';
    if (IsFallback(outcome)) {
      out << outcome.answer.ToPacString();
    } else if (outcome.error == OVProxy::e_success) {
      out << (outcome.answer.is_empty() ? std::string("DIRECT") : outcome.answer.ToPacString());
    } else {
      out << "ERROR " << ErrorName(outcome.error) << " (" << static_cast<int>(outcome.error) << ")";
    }
    out << '\n';
  }
}

// One line a person can read for a recorded step.
std::string DescribeStep(const OVProxy::ovTraceStep& step) {
  using Kind = OVProxy::ovTraceStepKind;
  const auto get = [&step](const char* name) { return step.get(name); };
  const auto code = [&](const char* name) {
    const std::string value = get(name);
    try {
      return std::string(ErrorName(static_cast<eErrorCode>(std::stoi(value))));
    } catch (...) {
      return value;
    }
  };
  switch (step.kind) {
    case Kind::Config:
      return "configuration: " + get("kind") + ", from " + get("source") +
             (get("waited") == "yes" ? " (the request waited for it)" : "");
    case Kind::HostCache:
      return "host cache: answered for " + get("key");
    case Kind::Bypass:
      return "bypass rule \"" + get("rule") + "\" matched: go direct";
    case Kind::Resolver:
      return "resolver: " + get("name") + " (" + get("why") + ")";
    case Kind::Pac: {
      const std::string age = get("age_ms");
      const std::string origin = get("origin");
      const std::string found = origin == "dhcp"  ? "found by DHCP"
                                : origin == "dns" ? "found by DNS (wpad)"
                                                  : "named by the configuration";
      return "PAC script: " +
             (get("url").empty() ? std::string("none") : get("url") + ", " + found) +
             "; download " + get("download") +
             (age == "-1" || age.empty() ? "" : ", " + age + " ms ago");
    }
    case Kind::PkHalf:
      return "PK resolver: the " + get("answered") + " half answered; the other " + get("other") +
             (get("waited") == "yes" ? ", so this one was waited for" : "");
    case Kind::Evaluation:
      return get("status").empty()
                 ? "script evaluated in " + get("ms") + " ms: \"" + get("raw") + "\"" +
                       (get("dns") == "unanswered"
                            ? " (it asked DNS, which the in-process engine does not answer)"
                            : "")
                 : "script evaluation failed in " + get("ms") + " ms (status " + get("status") +
                       ")";
    case Kind::Failed:
      return get("resolver") + " failed: " + code("code");
    case Kind::Fallback:
      return "local resolver answered instead: " +
             (get("answer").empty() ? std::string("(nothing)") : get("answer"));
    case Kind::Timeout:
      return "time-out of " + get("ms") + " ms passed";
    case Kind::Answer:
      return "answer: " + (get("answer").empty() ? std::string("(empty)") : get("answer")) + " (" +
             code("code") + ") after " + get("elapsed_ms") + " ms";
  }
  return {};
}

void PrintExplained(const std::vector<Outcome>& outcomes, std::ostream& out) {
  for (const Outcome& outcome : outcomes) {
    out << outcome.url << '\n';
    if (!outcome.road) {
      out << "  (no road recorded: " << (outcome.answered ? "not resolved" : "no answer in time")
          << ")\n";
      continue;
    }
    int number = 0;
    for (const OVProxy::ovTraceStep& step : outcome.road->steps) {
      out << "  " << ++number << ". " << DescribeStep(step) << '\n';
    }
  }
}

Json::Value RoadJson(const OVProxy::ovResolveTrace& road) {
  Json::Value steps(Json::arrayValue);
  for (const OVProxy::ovTraceStep& step : road.steps) {
    Json::Value item(Json::objectValue);
    item["step"] = OVProxy::ovTraceStepKindName(step.kind);
    for (const auto& [name, value] : step.fields) {
      const bool number = name == "code" || name == "ms" || name == "age_ms" ||
                          name == "elapsed_ms" || name == "status";
      try {
        item[name] = number ? Json::Value(std::stoi(value)) : Json::Value(value);
      } catch (...) {
        item[name] = value;
      }
    }
    steps.append(std::move(item));
  }
  Json::Value result(Json::objectValue);
  result["url"] = road.url;
  result["steps"] = std::move(steps);
  return result;
}

void PrintJson(const std::vector<Outcome>& outcomes, std::ostream& out) {
  Json::Value list(Json::arrayValue);
  for (const Outcome& outcome : outcomes) {
    Json::Value item(Json::objectValue);
    item["url"] = outcome.url;
    item["error"] = static_cast<Json::Int>(outcome.error);
    Json::Value servers(Json::arrayValue);
    for (const OVProxy::ovProxyServer& server : outcome.answer.servers()) {
      Json::Value entry(Json::objectValue);
      entry["scheme"] = server.scheme;
      entry["host"] = server.host;
      entry["port"] = server.port;
      servers.append(std::move(entry));
    }
    item["servers"] = std::move(servers);
    item["source"] = outcome.source;
    item["road"] = outcome.road ? RoadJson(*outcome.road) : Json::Value(Json::nullValue);
    list.append(std::move(item));
  }
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "  ";
  out << Json::writeString(builder, list) << '\n';
}

}  // namespace

void PrintResolveUsage(std::ostream& out) {
  out << "usage: ovproxy resolve [--json] [--explain] [--timeout MS] [--async] [--proxy TEXT]\n"
         "                       [--bypass TEXT] [--pac-url URL] [--auto-detect]\n"
         "                       URL... [-f FILE]\n"
         "\n"
         "Loads the proxy module as a client module does and asks it, for each URL,\n"
         "which proxies a connection should try, in order. Without overrides the\n"
         "module follows this machine's proxy configuration (see ovproxy config).\n"
         "\n"
         "  --timeout MS   how long each answer may take (default 10000; 0: no limit)\n"
         "  --async        ask for every URL at once (resolveProxy) rather than one\n"
         "                 after the other (resolveProxySync)\n"
         "  -f FILE        more URLs, one a line (\"#\" starts a comment line)\n"
         "  --proxy TEXT   manual proxy string: \"host:port[;...]\" for every scheme,\n"
         "                 or \"http=h:p;https=h:p;ftp=h:p;socks=h:p\"\n"
         "  --pac-url URL  automatic configuration: the PAC script at URL (http/https)\n"
         "  --auto-detect  automatic configuration: WPAD discovery (DHCP, then DNS)\n"
         "  --bypass TEXT  hosts that go direct, separated by \";\" or \",\":\n"
         "                 \"*.corp.example;intranet;<local>\"\n"
         "                 Any of these four replaces the machine's configuration;\n"
         "                 the module then runs off the shared data-sync bus.\n"
         "  --explain      print, per URL, the road the module recorded for its\n"
         "                 answer: a numbered list of steps ending with the answer\n"
         "  --json         print a JSON array of {url, error, servers[{scheme, host,\n"
         "                 port}], source, road{url, steps[{step, ...}]}}: the\n"
         "                 configuration's source and the module's record of the road\n"
         "\n"
         "A URL without \"://\" is taken as https. Each answer is printed as\n"
         "URL<TAB>PAC form (\"PROXY a:80; DIRECT\"). Exit status: 0 when every URL\n"
         "was answered, 1 when some failed, 2 for wrong usage.\n";
}

int RunResolveCommand(CommandContext& context) {
  ResolveOptions options;
  if (std::string problem = ParseOptions(context.args, options); !problem.empty()) {
    context.err << "ovproxy resolve: " << problem << "\n\n";
    PrintResolveUsage(context.err);
    return kExitUsage;
  }
  std::optional<FixedConfigManager> manager;
  std::optional<ScopedPrivateBus> bus;
  if (options.overrides()) {
    OVProxy::ovProxyConfig config;
    config.proxy_rules().ParseFromString(options.proxy);
    if (options.has_proxy && config.proxy_rules().type == OVProxy::ovProxyConfig::RulesType::None) {
      context.err << "ovproxy resolve: --proxy '" << options.proxy << "' names no usable proxy\n\n";
      PrintResolveUsage(context.err);
      return kExitUsage;
    }
    config.proxy_rules().bypass_rules.ParseFromString(options.bypass);
    config.setAutoDetectEnabled(options.auto_detect);
    config.setPacUrl(options.pac_url);
    manager.emplace(std::move(config));
    bus.emplace();
  }

  ModuleHost host;
  auto roads = std::make_shared<RoadCollector>();
  // Plain answers need no roads: the module then records nothing.
  if (!host.Start(manager ? &*manager : nullptr,
                  options.json || options.explain ? roads : nullptr)) {
    context.err << "ovproxy resolve: the proxy module could not be initialised\n";
    return kExitFailed;
  }
  if (manager) {
    // Off the bus the cache is this process's own; start it empty so that an
    // earlier configuration's answers are not served.
    OVProxy::ovProxyInfoModeImpl::GetInstance()->getHostCacheMode()->clear();
  }

  std::vector<Outcome> outcomes;
  for (const std::string& url : options.urls) outcomes.push_back(Outcome{NormalizeUrl(url)});
  if (options.async) {
    ResolveAtOnce(*host.provider(), options.timeout_ms, *roads, outcomes);
  } else {
    ResolveOneByOne(*host.provider(), options.timeout_ms, *roads, outcomes);
  }
  const std::string source = manager ? "override" : ConfigSourceName();
  for (Outcome& outcome : outcomes) outcome.source = source;
  host.Stop();

  ReportFailures(outcomes, context.err);
  if (options.json) {
    PrintJson(outcomes, context.out);
  } else if (options.explain) {
    PrintExplained(outcomes, context.out);
  } else {
    PrintText(outcomes, context.out);
  }
  for (const Outcome& outcome : outcomes) {
    if (!outcome.answered || outcome.error != OVProxy::e_success) return kExitFailed;
  }
  return kExitOk;
}

}  // namespace ovproxy
