// `ovproxy pac`: evaluates a PAC file (or an Internet-settings .ins file)
// for URLs, through the module's synchronous PAC resolver, and shows both
// the raw answer and the answer the module makes of it.
#include <json/json.h>

#include <cstddef>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <ostream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "OrvaProxy/oPACParser/js_runner.h"
#include "OrvaProxy/ovProxyConfig/ov_proxy_config.h"
#include "OrvaProxy/ov_wininet_sync_resolver.h"
#include "klbutil/klb_string.h"
#include "ovproxy_command.h"

namespace ovproxy {
namespace {

using OVProxy::eErrorCode;
using OVProxy::ovProxyInfo;
using OVProxy::ovWininetSyncResolver;

// The resolver tells PAC scripts from .ins files by the PAC URL; the file
// name alone decides here, whatever folders it sits in.
constexpr const char* kPacUrlForScript = "http://ovproxy.invalid/proxy.pac";
constexpr const char* kPacUrlForIns = "http://ovproxy.invalid/proxy.ins";

struct PacOptions {
  std::string pac_file;
  std::vector<std::string> urls;
  std::vector<std::string> url_files;
  bool json = false;
};

struct Outcome {
  std::string url;
  std::string host;
  eErrorCode code = OVProxy::e_failed;
  ovWininetSyncResolver::Detail detail;
  ovProxyInfo answer;
};

bool EndsWith(std::string_view text, std::string_view tail) {
  return text.size() >= tail.size() && text.substr(text.size() - tail.size()) == tail;
}

// An error message for wrong usage, or empty when the options are fine.
std::string ParseOptions(const std::vector<std::string>& args, PacOptions& options) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    auto value = [&](std::string& into) -> bool {
      if (i + 1 >= args.size()) return false;
      into = args[++i];
      return true;
    };
    std::string text;
    if (arg == "--json") {
      options.json = true;
    } else if (arg == "-p" || arg == "--pac") {
      if (!value(options.pac_file)) return "option '" + arg + "' needs a file";
    } else if (arg == "-u" || arg == "--url") {
      if (!value(text)) return "option '" + arg + "' needs a URL";
      options.urls.push_back(text);
    } else if (arg == "-f" || arg == "--url-file") {
      if (!value(text)) return "option '" + arg + "' needs a file";
      options.url_files.push_back(text);
    } else {
      return "unknown argument '" + arg + "'";
    }
  }
  if (options.pac_file.empty()) return "-p FILE is required";
  if (options.urls.empty() && options.url_files.empty()) return "no URL given (-u URL or -f FILE)";
  return {};
}

bool ReadFile(const std::string& path, std::string& text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

// One URL a line; blank lines and lines starting with "#" are skipped.
void AddUrlLines(const std::string& text, std::vector<std::string>& urls) {
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    klb::trim(line);
    if (!line.empty() && line[0] != '#') urls.push_back(line);
  }
}

std::string NormalizeUrl(const std::string& url) {
  if (url.find("://") != std::string::npos) return url;
  return "https://" + url;
}

std::string Failure(const Outcome& outcome) {
  if (!outcome.detail.failure.message.empty()) return outcome.detail.failure.message;
  switch (outcome.code) {
    case OVProxy::e_invalid_argument:
      return "invalid argument";
    case OVProxy::e_not_supported:
      return "not supported";
    default:
      return "the answer could not be found (status " + std::to_string(outcome.detail.status) + ")";
  }
}

void PrintText(const std::vector<Outcome>& outcomes, std::ostream& out, std::ostream& err) {
  for (const Outcome& outcome : outcomes) {
    if (outcome.code != OVProxy::e_success) {
      out << outcome.url << "\tERROR\t" << static_cast<int>(outcome.code) << "\n";
      err << "ovproxy pac: " << outcome.url << ": " << Failure(outcome) << "\n";
      continue;
    }
    const std::string parsed = outcome.answer.ToPacString();
    out << outcome.url << "\t" << outcome.detail.answer << "\t" << (parsed.empty() ? "-" : parsed)
        << "\n";
  }
}

void PrintJson(const std::vector<Outcome>& outcomes, std::ostream& out) {
  Json::Value list(Json::arrayValue);
  for (const Outcome& outcome : outcomes) {
    Json::Value item(Json::objectValue);
    item["url"] = outcome.url;
    item["host"] = outcome.host;
    item["status"] = static_cast<int>(outcome.code);
    Json::Value servers(Json::arrayValue);
    if (outcome.code == OVProxy::e_success) {
      item["raw"] = outcome.detail.answer;
      for (const OVProxy::ovProxyServer& server : outcome.answer.servers()) {
        Json::Value entry(Json::objectValue);
        entry["scheme"] = server.scheme;
        entry["host"] = server.host;
        entry["port"] = server.port;
        servers.append(entry);
      }
    } else {
      item["raw"] = Json::Value(Json::nullValue);
      item["error"] = Failure(outcome);
    }
    item["servers"] = servers;
    list.append(item);
  }
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "  ";
  out << Json::writeString(builder, list) << "\n";
}

}  // namespace

void PrintPacUsage(std::ostream& out) {
  out << "usage: ovproxy pac -p FILE [-u URL]... [-f URLFILE]... [--json]\n"
         "\n"
         "Evaluates a PAC file for each URL, the way the module's in-process PAC\n"
         "resolver does. A FILE whose name ends in \".ins\" is read as an\n"
         "Internet-settings file instead (proxy servers and Proxy_Override).\n"
         "\n"
         "  -p, --pac FILE        the PAC (or .ins) file\n"
         "  -u, --url URL         a URL to answer (repeatable); without \"://\" it\n"
         "                        gets \"https://\" in front\n"
         "  -f, --url-file FILE   URLs, one a line (\"#\" starts a comment line;\n"
         "                        \"-\" reads standard input)\n"
         "      --json            print a JSON array of {url, host, status, raw,\n"
         "                        servers[, error]} instead of text\n"
         "\n"
         "Text output, one line per URL: the URL, a tab, the string the script\n"
         "returned (for .ins files the proxy string chosen), a tab, and the answer\n"
         "the module makes of it (\"-\" when it holds no proxy, which means\n"
         "DIRECT). A URL that cannot be answered prints the URL, a tab, ERROR, a\n"
         "tab and the result code, with the reason on standard error.\n"
         "\n"
         "Exit codes: 0 every URL answered, 1 some failed (or the script does not\n"
         "load), 2 wrong usage or an unreadable file.\n";
}

int RunPacCommand(CommandContext& context) {
  PacOptions options;
  if (const std::string problem = ParseOptions(context.args, options); !problem.empty()) {
    context.err << "ovproxy pac: " << problem << "\n\n";
    PrintPacUsage(context.err);
    return kExitUsage;
  }

  std::string pac_text;
  if (!ReadFile(options.pac_file, pac_text)) {
    context.err << "ovproxy pac: cannot read '" << options.pac_file << "'\n";
    return kExitUsage;
  }
  std::vector<std::string> urls = options.urls;
  for (const std::string& file : options.url_files) {
    std::string text;
    if (file == "-") {
      text.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
    } else if (!ReadFile(file, text)) {
      context.err << "ovproxy pac: cannot read '" << file << "'\n";
      return kExitUsage;
    }
    AddUrlLines(text, urls);
  }
  if (pac_text.empty()) {
    context.err << "ovproxy pac: '" << options.pac_file << "' is empty\n";
    return kExitFailed;
  }

  const bool is_ins = EndsWith(options.pac_file, ".ins");
  if (!is_ins) {
    OVProxy::js_failure_t failure;
    if (OVProxy::js_runner_t(pac_text).check(&failure) != OVProxy::kJsOk) {
      context.err << "ovproxy pac: '" << options.pac_file << "' does not load: " << failure.message
                  << "\n";
      return kExitFailed;
    }
  }

  auto config = std::make_shared<OVProxy::ovProxyConfig>(
      OVProxy::ovProxyConfig::CreateFromCustomPacURL(is_ins ? kPacUrlForIns : kPacUrlForScript));
  config->setPacContent(pac_text);
  ovWininetSyncResolver resolver;
  resolver.initialize();

  std::vector<Outcome> outcomes;
  bool all_answered = true;
  for (const std::string& raw_url : urls) {
    Outcome outcome;
    outcome.url = NormalizeUrl(raw_url);
    outcome.host = OVProxy::host_from_url(outcome.url);
    outcome.code = resolver.resolveWithDetail(outcome.url, config, outcome.answer, &outcome.detail);
    all_answered = all_answered && outcome.code == OVProxy::e_success;
    outcomes.push_back(std::move(outcome));
  }
  resolver.uninitialize();

  if (options.json) {
    PrintJson(outcomes, context.out);
    for (const Outcome& outcome : outcomes) {
      if (outcome.code != OVProxy::e_success) {
        context.err << "ovproxy pac: " << outcome.url << ": " << Failure(outcome) << "\n";
      }
    }
  } else {
    PrintText(outcomes, context.out, context.err);
  }
  return all_answered ? kExitOk : kExitFailed;
}

}  // namespace ovproxy
