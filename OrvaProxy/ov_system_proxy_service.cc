#include "OrvaProxy/ov_system_proxy_service.h"

#include <utility>
#include <vector>

#include "OrvaProxy/oPACParser/js_runner.h"
#include "OrvaProxy/ov_wininet_sync_resolver.h"
#include "OrvaProxy/pac_proxy_entry.h"
#include "OrvaProxy/pac_script_url.h"
#include "tavlib/tav_no_destructor.h"

#ifdef _WIN32
#include "platform/winhttp/ov_winhttp_win.h"
#endif

namespace OVProxy {

ovplatform::PacEvaluation evaluatePacForSystemService(const std::string& script,
                                                      const std::string& url) {
  ovplatform::PacEvaluation evaluation;
  std::string answer;
  js_failure_t failure;
  js_runner_t runner(script);
  // The script sees the URL without credentials or fragment (and, for https,
  // without path and query); the host argument is the URL's own.
  const int32_t status = runner.run(PacScriptUrl(url), host_from_url(url), answer, &failure);
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
