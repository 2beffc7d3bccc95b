#include "OrvaProxy/ov_system_proxy_service.h"

#include <algorithm>
#include <exception>
#include <utility>
#include <vector>

#include "OrvaProxy/oPACParser/js_engine.h"
#include "OrvaProxy/ov_wininet_sync_resolver.h"
#include "OrvaProxy/pac_proxy_entry.h"
#include "OrvaProxy/pac_script_url.h"
#include "tavlib/tav_no_destructor.h"

#ifdef _WIN32
#include "platform/winhttp/ov_winhttp_win.h"
#endif

namespace OVProxy {

namespace {

// The engine's lookups, answered by the platform's bounded, kept ones.
class ScriptLookups final : public js_dns_t {
 public:
  explicit ScriptLookups(ovplatform::ScriptDns& dns) : dns_(dns) {}
  std::vector<std::string> resolve(const std::string& name, int64_t deadline_us) override {
    return dns_.Resolve(name, deadline_us);
  }
  std::vector<std::string> local_addresses() override { return dns_.LocalAddresses(); }

 private:
  ovplatform::ScriptDns& dns_;
};

// The statuses and texts js_runner_t gives for the same failures.
int32_t Evaluate(const std::string& script, const std::string& url, ovplatform::ScriptDns& dns,
                 std::string& answer, js_failure_t& failure) {
  if (script.empty()) {
    failure.message = "the script is empty";
    return kJsEmptyScript;
  }
  ScriptLookups lookups(dns);
  // The script sees the URL without credentials or fragment (and, for https,
  // without path and query); the host argument is the URL's own.
  const int32_t status =
      js_evaluate_dns(js_engine_text(script), js_engine_text(PacScriptUrl(url)),
                      js_engine_text(host_from_url(url)), lookups, answer, failure);
  if (status != kJsOk) return kJsEngineFailed;
  if (std::any_of(answer.begin(), answer.end(),
                  [](char c) { return static_cast<unsigned char>(c) >= 0x80; })) {
    failure.message = "FindProxyForURL returned text that is not ASCII";
    return kJsEngineFailed;
  }
  return kJsOk;
}

}  // namespace

ovplatform::PacEvaluation evaluatePacForSystemService(const std::string& script,
                                                      const std::string& url) {
  return evaluatePacForSystemServiceWithDns(script, url, *ovplatform::SystemScriptDns());
}

ovplatform::PacEvaluation evaluatePacForSystemServiceWithDns(const std::string& script,
                                                             const std::string& url,
                                                             ovplatform::ScriptDns& dns) {
  ovplatform::PacEvaluation evaluation;
  std::string answer;
  js_failure_t failure;
  int32_t status = kJsEngineFailed;
  try {
    status = Evaluate(script, url, dns, answer, failure);
  } catch (const std::exception&) {
    failure.message = "out of memory while running the script";
  }
  if (status != kJsOk) {
    evaluation.detail = "status " + std::to_string(status) + ": " + failure.message;
    return evaluation;
  }
  std::vector<PacProxyEntry> parsed;
  analyze_auto_config_group(answer, parsed);
  for (PacProxyEntry& entry : parsed) {
    ovplatform::ProxyResultEntry out;
    out.port = entry.port;
    switch (entry.kind) {
      case PacProxyKind::DIRECT:
        out.port = 0;
        break;
      case PacProxyKind::PROXY:
        out = {true, false, ovplatform::kProxySchemeHttp, std::move(entry.host), entry.port};
        break;
      case PacProxyKind::SOCKS:
        out = {true, false, ovplatform::kProxySchemeSocks, "4 " + entry.host, entry.port};
        break;
      case PacProxyKind::SOCKS5:
        out = {true, false, ovplatform::kProxySchemeSocks, "5 " + entry.host, entry.port};
        break;
      case PacProxyKind::FTP:
        continue;
    }
    evaluation.entries.push_back(std::move(out));
  }
  evaluation.ok = true;
  evaluation.detail = std::move(answer);
  return evaluation;
}

std::shared_ptr<ovplatform::WinHttpApi> ovSystemProxyService() {
#ifdef _WIN32
  // The system's own WinHTTP evaluates the scripts there.
  static Tav::NoDestructor<std::shared_ptr<ovplatform::WinHttpApi>> service(
      ovplatform::CreateSystemWinHttp());
  return *service;
#else
  static Tav::NoDestructor<std::shared_ptr<ovplatform::WinHttpApi>> service(
      ovplatform::CreateLinuxWinHttp(ovplatform::LinuxWinHttpOptions{
          .evaluator = [](const std::string& script, const std::string& url) {
            return evaluatePacForSystemService(script, url);
          }}));
  return *service;
#endif
}

}  // namespace OVProxy
