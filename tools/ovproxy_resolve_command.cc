// `ovproxy resolve`: answers for URLs from a manual proxy string, the way
// the module answers its callers. Every answer travels the module's road:
// a resolve task on the resolve runner, delivered through deliverResult, so
// DIRECT is appended as last resort exactly as callers see it.
#include <json/json.h>

#include <cstddef>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "OrvaProxy/ovProxyConfig/ov_proxy_config.h"
#include "OrvaProxy/ov_local_proxy_resolver.h"
#include "OrvaProxy/ov_proxy_resolve_task.h"
#include "orvatask/orva_task.h"
#include "ovproxy_auto_resolve.h"
#include "ovproxy_command.h"

namespace ovproxy {
namespace {

using OVProxy::eErrorCode;
using OVProxy::ovProxyInfo;

constexpr const char* kResolveRunnerName = "proxy_resolve_runner_name";

struct ResolveOptions {
  std::string proxy;
  bool has_proxy = false;
  std::string bypass;
  std::string pac_url;
  bool auto_detect = false;
  bool json = false;
  std::vector<std::string> urls;
};

struct Outcome {
  std::string url;  // as resolved, with the scheme added when missing
  bool answered = false;
  ovProxyInfo answer;
  eErrorCode error = OVProxy::e_unavailable;
  // The automatic resolver failed with `error`; `answer` is the local
  // resolver's.
  bool fallback = false;
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
    if (arg == "--") {
      only_urls = true;
    } else if (arg == "--json") {
      options.json = true;
    } else if (arg == "--auto-detect") {
      options.auto_detect = true;
    } else if (TakeValue(args, i, "--pac-url", options.pac_url, missing)) {
      if (!missing && options.pac_url.empty()) return "--pac-url needs a URL";
    } else if (TakeValue(args, i, "--proxy", options.proxy, missing)) {
      options.has_proxy = !missing;
    } else if (!TakeValue(args, i, "--bypass", options.bypass, missing)) {
      return "unknown option '" + arg + "'";
    }
    if (missing) return "option '" + arg + "' needs a value";
  }
  if (!options.has_proxy && options.pac_url.empty() && !options.auto_detect) {
    return "--proxy, --pac-url or --auto-detect is required";
  }
  if (options.urls.empty()) return "no URL given";
  return {};
}

std::string NormalizeUrl(const std::string& url) {
  if (url.empty() || url.find("://") != std::string::npos) return url;
  return "https://" + url;
}

// Resolves every URL; runs on the resolve runner when there is one.
void ResolveAll(const std::shared_ptr<OVProxy::ovProxyConfig>& config,
                std::vector<Outcome>& outcomes) {
  auto resolver = std::make_shared<OVProxy::ovLocalProxyResolver>();
  resolver->initialize();
  const auto& rules = config->proxy_rules();
  for (std::size_t i = 0; i < outcomes.size(); ++i) {
    Outcome* outcome = &outcomes[i];
    auto task = std::make_shared<OVProxy::ovProxyResolveTask>(
        "ovproxy-" + std::to_string(i + 1), outcome->url, "",
        [outcome](const std::string&, const ovProxyInfo& answer, eErrorCode error) {
          outcome->answered = true;
          outcome->answer = answer;
          outcome->error = error;
        },
        config, 0);
    if (outcome->url.empty()) {
      task->setResult(nullptr, OVProxy::e_failed);
    } else if (rules.bypass_rules.Matches(outcome->url, rules.invert_bypass)) {
      auto direct = std::make_shared<ovProxyInfo>();
      direct->UseDirect();
      task->setResult(std::move(direct), OVProxy::e_success);
    } else {
      task->setResolver(resolver);
      task->start();
    }
    task->invokeCallback();
  }
  resolver->uninitialize();
}

// Runs ResolveAll on the resolve runner and waits until every delivery it
// posted there has run; inline when the task library cannot take the work.
void ResolveOnRunner(const std::shared_ptr<OVProxy::ovProxyConfig>& config,
                     std::vector<Outcome>& outcomes) {
  OrvaTask::IOVTManager* manager = OrvaTask::GetOVTManager();
  const bool existed =
      manager && manager->GetRunnerId(kResolveRunnerName) != OrvaTask::kInvalidRunnerId;
  if (manager && !existed &&
      manager->CreateRunner(kResolveRunnerName, OVProxy::ovProxyResolveTask::kTaskValue) ==
          OrvaTask::kInvalidRunnerId) {
    manager = nullptr;
  }
  bool done = false;
  if (manager) {
    auto work = OrvaTask::CreateOrvaTask({.name = "ovproxy_resolve",
                                          .location = OrvaTask::SourceLocation::Current(),
                                          .value = OVProxy::ovProxyResolveTask::kTaskValue},
                                         [&config, &outcomes] { ResolveAll(config, outcomes); });
    // Deliveries were posted behind the work, so they have run once a
    // marker posted after it has.
    auto marker = OrvaTask::CreateOrvaTask({.name = "ovproxy_resolve_flush"}, [] {});
    done = manager->PostTask(kResolveRunnerName, work) && manager->WaitForTask(work) &&
           manager->PostTask(kResolveRunnerName, marker) && manager->WaitForTask(marker);
    if (!existed) manager->RemoveRunner(kResolveRunnerName);
  }
  // Nothing ran (no task library, or it refused the work): resolve here.
  // Work that ran but whose deliveries were dropped stays unanswered.
  if (!done) {
    bool any_answered = false;
    for (const Outcome& outcome : outcomes) any_answered = any_answered || outcome.answered;
    if (!any_answered) ResolveAll(config, outcomes);
  }
}

const char* ErrorName(eErrorCode error);

// Bypassed URLs go direct; the others are answered by the automatic
// resolvers (see ovproxy_auto_resolve.h).
void ResolveAutomatic(const std::shared_ptr<OVProxy::ovProxyConfig>& config,
                      std::vector<Outcome>& outcomes, std::ostream& err) {
  const auto& rules = config->proxy_rules();
  std::vector<std::string> urls;
  std::vector<Outcome*> asked;
  for (Outcome& outcome : outcomes) {
    if (outcome.url.empty()) {
      outcome.answered = true;
      outcome.error = OVProxy::e_failed;
    } else if (rules.bypass_rules.Matches(outcome.url, rules.invert_bypass)) {
      outcome.answered = true;
      outcome.error = OVProxy::e_success;
      outcome.answer.UseDirect();
    } else {
      urls.push_back(outcome.url);
      asked.push_back(&outcome);
    }
  }
  if (urls.empty()) return;
  const std::vector<AutoAnswer> answers = ResolveAutomatically(config, urls, err);
  for (std::size_t i = 0; i < asked.size(); ++i) {
    Outcome& outcome = *asked[i];
    outcome.answered = true;
    outcome.answer = answers[i].answer;
    outcome.error = answers[i].error;
    outcome.fallback = answers[i].fallback;
    if (outcome.fallback) {
      err << "ovproxy resolve: " << outcome.url << ": automatic resolution failed with "
          << ErrorName(outcome.error) << " (" << static_cast<int>(outcome.error)
          << "), answered by the local resolver\n";
    }
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

void PrintText(const std::vector<Outcome>& outcomes, std::ostream& out) {
  for (const Outcome& outcome : outcomes) {
    out << outcome.url << '\t';
    if (outcome.error == OVProxy::e_success || outcome.fallback) {
      out << outcome.answer.ToPacString();
    } else {
      out << "ERROR " << ErrorName(outcome.error) << " (" << static_cast<int>(outcome.error) << ")";
    }
    out << '\n';
  }
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
    list.append(std::move(item));
  }
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "  ";
  out << Json::writeString(builder, list) << '\n';
}

}  // namespace

void PrintResolveUsage(std::ostream& out) {
  out << "usage: ovproxy resolve [--proxy TEXT] [--pac-url URL] [--auto-detect]\n"
         "                       [--bypass TEXT] [--json] URL...\n"
         "\n"
         "Answers, for each URL, which proxies a connection should try, in order.\n"
         "\n"
         "  --proxy TEXT   manual proxy string: \"host:port[;...]\" for every scheme,\n"
         "                 or \"http=h:p;https=h:p;ftp=h:p;socks=h:p\"\n"
         "  --pac-url URL  automatic configuration: the PAC script at URL (http/https)\n"
         "  --auto-detect  automatic configuration: WPAD discovery (DHCP, then DNS)\n"
         "                 Automatic answers come from the system-shaped resolver,\n"
         "                 raced against the in-process engine once the script is\n"
         "                 fetched; when they fail the manual rules of --proxy (or\n"
         "                 DIRECT) answer, the failure is named on standard error\n"
         "                 and the exit status is 1.\n"
         "  --bypass TEXT  hosts that go direct, separated by \";\" or \",\":\n"
         "                 \"*.corp.example;intranet;<local>\"\n"
         "  --json         print a JSON array of {url, error, servers[{scheme, host, port}]}\n"
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
  auto config = std::make_shared<OVProxy::ovProxyConfig>();
  config->proxy_rules().ParseFromString(options.proxy);
  const bool automatic = !options.pac_url.empty() || options.auto_detect;
  if (options.has_proxy && config->proxy_rules().type == OVProxy::ovProxyConfig::RulesType::None) {
    context.err << "ovproxy resolve: --proxy '" << options.proxy << "' names no usable proxy\n\n";
    PrintResolveUsage(context.err);
    return kExitUsage;
  }
  config->proxy_rules().bypass_rules.ParseFromString(options.bypass);

  std::vector<Outcome> outcomes;
  for (const std::string& url : options.urls) outcomes.push_back(Outcome{NormalizeUrl(url)});
  if (automatic) {
    config->setAutoDetectEnabled(options.auto_detect);
    config->setPacUrl(options.pac_url);
    ResolveAutomatic(config, outcomes, context.err);
  } else {
    ResolveOnRunner(config, outcomes);
  }

  if (options.json) {
    PrintJson(outcomes, context.out);
  } else {
    PrintText(outcomes, context.out);
  }
  for (const Outcome& outcome : outcomes) {
    if (!outcome.answered || outcome.error != OVProxy::e_success) return kExitFailed;
  }
  return kExitOk;
}

}  // namespace ovproxy
