#include "OrvaProxy/ov_wininet_sync_resolver.h"

#include <utility>
#include <vector>

#include "OrvaProxy/oPACParser/ins_bypass_list.h"
#include "OrvaProxy/oPACParser/ins_parser.h"
#include "OrvaProxy/oPACParser/js_runner.h"
#include "OrvaProxy/ov_log.h"
#include "OrvaProxy/ov_resolve_trace.h"
#include "OrvaProxy/ov_telemetry_reporter.h"
#include "OrvaProxy/pac_proxy_entry.h"
#include "OrvaProxy/pac_script_url.h"
#include "onetutils/onet_text.h"
#include "onetutils/orva_url_utils.h"
#include "tavlib/tav_clock.h"

namespace OVProxy {
namespace {

constexpr int32_t kPacResolveLatencyMetric = 21;
constexpr int32_t kInsEmptyContent = 2;

std::string MaskedUrl(const std::string& url) {
  ONet::IOrvaUrlUtils* utils = ONet::GetOrvaUrlUtils();
  return utils != nullptr ? utils->GetLogForm(url) : std::string();
}

}  // namespace

std::string host_from_url(const std::string& url) {
  return std::string(ONet::UrlHostWithoutBrackets(url));
}

bool is_ins_url(const std::string& pac_url) {
  const std::size_t at = pac_url.find(".ins");
  return at != std::string::npos && at + 4 == pac_url.size();
}

int32_t resolve_with_ins(const std::string& content, const std::string& url,
                         const std::string& host, std::string& answer) {
  (void)url;
  if (content.empty()) return kInsEmptyContent;
  const ins_parser_t parser(content);
  if (!parser.bypass_string().empty()) {
    const std::vector<std::string> entries = split_bypass_list(parser.bypass_string());
    if (match_bypass_list(entries, host)) {
      answer.clear();
      return 0;
    }
  }
  answer = parser.proxy_string();
  return 0;
}

ovWininetSyncResolver::ovWininetSyncResolver() = default;

ovWininetSyncResolver::~ovWininetSyncResolver() {
  initialized_ = false;
}

eErrorCode ovWininetSyncResolver::initialize() {
  if (initialized_) return e_success;
  if (!available_) return e_not_supported;
  initialized_ = true;
  return e_success;
}

eErrorCode ovWininetSyncResolver::uninitialize() {
  initialized_ = false;
  return e_success;
}

std::string ovWininetSyncResolver::getName() {
  return "ovWininetSyncResolver";
}

bool ovWininetSyncResolver::isAvailable() {
  return available_;
}

eErrorCode ovWininetSyncResolver::resolve(const std::string& requestId, const std::string& url,
                                          const std::string& extra,
                                          std::shared_ptr<ovProxyConfig> config,
                                          ovProxyInfo& result) {
  (void)extra;
  if (!ovTraceBook::Active()) return resolveWithDetail(url, std::move(config), result, nullptr);
  // A traced request's road shows what the script said and how long it took.
  Detail detail;
  const int64_t start_us = Tav::TimeTicks::Now();
  const eErrorCode code = resolveWithDetail(url, std::move(config), result, &detail);
  const std::string ms = std::to_string((Tav::TimeTicks::Now() - start_us) / 1000);
  if (code == e_success) {
    ovTraceFields fields{{"ms", ms}, {"raw", detail.answer}};
    if (result.dns_blind()) fields.emplace_back("dns", "unanswered");
    ovTraceBook::Note(requestId, ovTraceStepKind::Evaluation, std::move(fields));
  } else {
    ovTraceBook::Note(requestId, ovTraceStepKind::Evaluation,
                      {{"ms", ms}, {"status", std::to_string(detail.status)}});
  }
  return code;
}

eErrorCode ovWininetSyncResolver::resolveWithDetail(const std::string& url,
                                                    std::shared_ptr<ovProxyConfig> config,
                                                    ovProxyInfo& result, Detail* detail) {
  const int64_t start_us = Tav::TimeTicks::Now();
  if (!config) return e_invalid_argument;
  if (config->isPacContentEmpty()) return e_not_supported;
  Detail scratch;
  const eErrorCode code =
      resolveInner(url, *config, config->getPacContent(), result, detail ? *detail : scratch);
  if (code == e_success) {
    ovTelemetryReporter::GetInstance().reportLatency(kPacResolveLatencyMetric,
                                                     (Tav::TimeTicks::Now() - start_us) / 1000);
  }
  return code;
}

eErrorCode ovWininetSyncResolver::resolveInner(const std::string& url, const ovProxyConfig& config,
                                               const std::string& pac_text, ovProxyInfo& result,
                                               Detail& detail) {
  if (!initialized_) return e_resolver_not_initialized;
  if (!available_) return e_not_supported;
  if (url.empty() || pac_text.empty()) {
    ovLog(LogLevel::kError, "WINSYNC_INV", "ovWininetSyncResolver: Invalid parameters");
    return e_invalid_argument;
  }
  const std::string host = host_from_url(url);
  const std::string& pac_url = config.getPacUrl();
  if (pac_url.find("file://") != std::string::npos) {
    ovLog(LogLevel::kWarning, "WINSYNC_FIL",
          "ovWininetSyncResolver: file scheme PAC not implemented");
    return e_not_supported;
  }

  std::string answer;
  if (is_ins_url(pac_url)) {
    detail.status = resolve_with_ins(pac_text, url, host, answer);
  } else {
    detail.status = js_runner_t(pac_text).run(PacScriptUrl(url), host, answer, &detail.failure);
  }
  if (detail.status != 0) {
    ovLog(LogLevel::kError, "WINSYNC_RUN",
          "ovWininetSyncResolver: PAC script execution failed - rv=" +
              std::to_string(detail.status) + ", url=" + MaskedUrl(url));
    return e_resolve_failed;
  }
  detail.answer = answer;
  if (answer.size() > kMaxPacAnswerLength) {
    ovLog(LogLevel::kWarning, "WINSYNC_LEN",
          "ovWininetSyncResolver: PAC answer cut - length=" + std::to_string(answer.size()) +
              ", limit=" + std::to_string(kMaxPacAnswerLength) + ", url=" + MaskedUrl(url));
  }

  std::vector<PacProxyEntry> entries;
  analyze_auto_config_group(answer, entries);
  fill_proxy_info(entries, result);
  result.set_dns_blind(detail.failure.dns_blind);
  return e_success;
}

}  // namespace OVProxy
