// `ovproxy resolve`: answers for URLs from a manual proxy string, a PAC URL
// or auto-detection, the way the module answers its callers. Every answer
// travels the module's road (ovproxy_resolve_road.h): a resolve task handed
// to the resolve controller on the resolve runner and delivered through
// deliverResult, so DIRECT is appended as last resort exactly as callers see
// it.
#include <json/json.h>

#include <cstddef>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "OrvaProxy/ovProxyConfig/ov_proxy_config.h"
#include "ovproxy_command.h"
#include "ovproxy_resolve_road.h"

namespace ovproxy {
namespace {

using OVProxy::eErrorCode;
using OVProxy::ovProxyInfo;

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

const char* ErrorName(eErrorCode error);

// Every URL takes the module's road through the resolve controller; an empty
// URL is refused before it, as the resolve service refuses it.
void ResolveAll(const std::shared_ptr<OVProxy::ovProxyConfig>& config,
                std::vector<Outcome>& outcomes, std::ostream& err) {
  std::vector<std::string> urls;
  std::vector<Outcome*> asked;
  for (Outcome& outcome : outcomes) {
    if (outcome.url.empty()) {
      outcome.answered = true;
      outcome.error = OVProxy::e_failed;
    } else {
      urls.push_back(outcome.url);
      asked.push_back(&outcome);
    }
  }
  if (urls.empty()) return;
  const std::vector<RoadAnswer> answers = ResolveThroughController(config, urls);
  for (std::size_t i = 0; i < asked.size(); ++i) {
    Outcome& outcome = *asked[i];
    outcome.answered = answers[i].answered;
    outcome.answer = answers[i].answer;
    outcome.error = answers[i].error;
    // The in-process engine answers a script's plain "DIRECT" with an empty
    // list; a line of its own says what it means.
    if (outcome.error == OVProxy::e_success && outcome.answer.is_empty()) {
      outcome.answer.UseDirect();
    }
    // A failed automatic resolution is answered by the local resolver with
    // the failing resolver's code.
    outcome.fallback = outcome.error != OVProxy::e_success && !outcome.answer.is_empty();
    if (outcome.fallback) {
      err << "ovproxy resolve: " << outcome.url << ": automatic resolution failed with "
          << ErrorName(outcome.error) << " (" << static_cast<int>(outcome.error)
          << "), answered by the local resolver\n";
    } else if (!outcome.answered) {
      err << "ovproxy resolve: " << outcome.url << ": no answer within " << kAnswerLimit.count()
          << " s\n";
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
         "                 Automatic answers take the module's road: the\n"
         "                 system-shaped resolver while no script is known, the\n"
         "                 PK or multi proxy resolver after the PAC decision;\n"
         "                 when they fail the manual rules of --proxy (or DIRECT)\n"
         "                 answer, the failure is named on standard error and the\n"
         "                 exit status is 1.\n"
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
  if (options.has_proxy && config->proxy_rules().type == OVProxy::ovProxyConfig::RulesType::None) {
    context.err << "ovproxy resolve: --proxy '" << options.proxy << "' names no usable proxy\n\n";
    PrintResolveUsage(context.err);
    return kExitUsage;
  }
  config->proxy_rules().bypass_rules.ParseFromString(options.bypass);

  std::vector<Outcome> outcomes;
  for (const std::string& url : options.urls) outcomes.push_back(Outcome{NormalizeUrl(url)});
  config->setAutoDetectEnabled(options.auto_detect);
  config->setPacUrl(options.pac_url);
  ResolveAll(config, outcomes, context.err);

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
