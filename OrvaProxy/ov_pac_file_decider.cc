#include "OrvaProxy/ov_pac_file_decider.h"

#include <atomic>
#include <cstring>
#include <utility>

#include "OrvaProxy/ov_log.h"
#include "OrvaProxy/ov_proxy_enterprise_adapter.h"
#include "OrvaProxy/ov_resolve_trace.h"
#include "OrvaProxy/ov_task_constants.h"
#include "OrvaProxy/ov_telemetry_reporter.h"
#include "orvatask/orva_task.h"
#include "platform/autoproxy/ov_auto_proxy_url_detector.h"
#include "tavlib/tav_clock.h"

namespace OVProxy {
namespace {

constexpr const char kWorkKeyName[] = "pac_decider_work";
constexpr const char kMonitorKeyName[] = "pac_decider_downloading_monitor";
constexpr const char kRevalidateKeyName[] = "pac_decider_revalidation";
constexpr const char kBackupPacFeature[] = "UseBackupPacForDetectFail";
constexpr const char kPacFunctionName[] = "FindProxyForURL";

constexpr int32_t kDetectionLatencyMetric = 18;
constexpr int32_t kDownloadLatencyMetric = 19;
constexpr int32_t kDetectionFailedEvent = 1;
constexpr int32_t kDownloadFailedEvent = 2;

uint64_t NextDeciderNumber() {
  static std::atomic<uint64_t> next{1};
  return next.fetch_add(1);
}

OrvaTask::UniqueKey OwnKey(const char* name, uint64_t decider) {
  return OrvaTask::GenerateUniqueKey(std::string(name) + "#" + std::to_string(decider));
}

// Differs between processes (clock, address-space layout) and deciders, so
// that the client's processes spread their revalidations over the jitter.
uint32_t RevalidateDelayMs(const void* decider, uint64_t number) {
  uint64_t x = static_cast<uint64_t>(Tav::TimeTicks::NowNs()) ^
               static_cast<uint64_t>(reinterpret_cast<uintptr_t>(decider)) ^ (number << 32);
  x += 0x9E3779B97F4A7C15ULL;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
  x ^= x >> 31;
  return ovPACFileDecider::kRevalidateMs +
         static_cast<uint32_t>(x % ovPACFileDecider::kRevalidateJitterMs);
}

int64_t ElapsedMs(int64_t startNs) {
  return (Tav::TimeTicks::NowNs() - startNs) / 1'000'000;
}

// Request ids come from the transfer module as wide text; log lines are
// UTF-8, and ids are plain ASCII in practice.
std::string IdText(const PacRequestId& id) {
  std::string text;
  text.reserve(id.size());
  for (char16_t c : id) text.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  return text;
}

}  // namespace

const char* DeciderStateName(DeciderState state) {
  switch (state) {
    case DeciderState::Idle:
      return "Idle";
    case DeciderState::Determining:
      return "Determining";
    case DeciderState::UrlReady:
      return "UrlReady";
    case DeciderState::Downloading:
      return "Downloading";
    case DeciderState::Failed:
      return "Failed";
    case DeciderState::Finished:
      return "Finished";
  }
  return "Unknown";
}

ovPACFileDecider::ovPACFileDecider(std::unique_ptr<ovIPACDownloader> downloader,
                                   std::shared_ptr<ovplatform::AutoProxyUrlDetector> detector)
    : ovPACFileDecider(std::move(downloader), std::move(detector), NextDeciderNumber()) {}

ovPACFileDecider::ovPACFileDecider(std::unique_ptr<ovIPACDownloader> downloader,
                                   std::shared_ptr<ovplatform::AutoProxyUrlDetector> detector,
                                   uint64_t number)
    : downloader_(std::move(downloader)),
      holder_(std::make_shared<PACFileDeciderWeakHolder>()),
      detector_(std::move(detector)),
      revalidate_delay_ms_(RevalidateDelayMs(this, number)),
      work_key_(OwnKey(kWorkKeyName, number)),
      monitor_key_(OwnKey(kMonitorKeyName, number)),
      revalidate_key_(OwnKey(kRevalidateKeyName, number)) {
  holder_->decider = this;
}

ovPACFileDecider::~ovPACFileDecider() {
  cancelPostedWork();
  holder_->decider = nullptr;
}

void ovPACFileDecider::cancelPostedWork() {
  // By this decider's own key: the grouping value 61 is shared by every
  // decider of the process.
  if (OrvaTask::IOVTManager* manager = OrvaTask::GetOVTManager()) {
    manager->CancelTasksByUniqueKey(work_key_);
  }
  cancelRevalidation();
  onEnterState(DeciderState::Idle);
}

bool ovPACFileDecider::postTo(const std::string& runner, const char* name,
                              std::function<void()> work, uint32_t delayMs,
                              const OrvaTask::UniqueKey* key) {
  OrvaTask::IOVTManager* manager = OrvaTask::GetOVTManager();
  if (manager == nullptr) return false;
  OrvaTask::TaskAttribute attribute{.name = name,
                                    .location = OrvaTask::SourceLocation::Current(),
                                    .value = kPacDeciderTaskGroup,
                                    .delay_ms = delayMs};
  attribute.unique_keys.push_back(work_key_);
  if (key != nullptr) attribute.unique_keys.push_back(*key);
  return manager->PostTask(runner, OrvaTask::CreateOrvaTask(std::move(attribute), std::move(work)));
}

std::string ovPACFileDecider::pacUrl() const {
  if (!current_config_) return {};
  return current_config_->auto_detect() ? current_config_->getAutoDetectPacUrl()
                                        : current_config_->getPacUrl();
}

// Takes copies: the delegate may hand the decider a new configuration, which
// would pull the texts from under references.
void ovPACFileDecider::notifyDelegate(bool success, std::string content) {
  if (delegate_ == nullptr) return;
  const std::string backup = backup_pac_content_;
  delegate_->onPacDecisionComplete(success, content, backup);
}

bool ovPACFileDecider::setConfig(const std::shared_ptr<const ovProxyConfig>& config) {
  if (!config) {
    ovLog(LogLevel::kWarning, "PACD_NULCFG", "PACFileDecider: setConfig ignored - config=null");
    return false;
  }
  if (current_config_ && *current_config_ == *config) return false;
  const bool keep = current_config_ && current_config_->getPacUrl() == config->getPacUrl();
  std::string previous = current_config_ ? current_config_->getPacContent() : std::string();
  std::string kept = keep ? previous : config->getPacContent();
  if (!keep || kept.empty()) {
    // Not a script of ours any more: nothing to revalidate.
    script_url_.clear();
    cancelRevalidation();
  }
  current_config_ = config->duplicate();
  current_config_->setPacContent(std::move(previous));
  replaceScript(std::move(kept));
  current_config_->resetSocksDetectionCache();
  if (state_ != DeciderState::Idle) setState(DeciderState::Idle);
  return true;
}

void ovPACFileDecider::restartForNetworkChange() {
  ovLog(LogLevel::kInfo, "PACD_NETCHG",
        "PACFileDecider: Network changed, PAC decision starts over");
  cancelRevalidation();
  script_url_.clear();
  if (state_ != DeciderState::Idle) {
    setState(DeciderState::Idle);  // cancels a download and closes the failure window
  } else {
    onEnterState(DeciderState::Idle);
  }
  ++detection_serial_;  // a detection still running looked at the old network
  if (!current_config_) return;
  current_config_->setAutoDetectPacUrl(std::string());
  // Not through replaceScript: the owner asked for this and forgets the
  // answers made on the old network itself.
  current_config_->setPacContent(std::string());
}

void ovPACFileDecider::replaceScript(std::string content) {
  if (!current_config_) return;
  const bool changed =
      !current_config_->isPacContentEmpty() && current_config_->getPacContent() != content;
  if (current_config_->getPacContent() != content) {
    current_config_->setPacContent(std::move(content));
  }
  if (changed && script_change_hook_) {
    ovLog(LogLevel::kInfo, "PACD_SCRCHG", "PACFileDecider: PAC script in force changed");
    script_change_hook_();
  }
}

std::shared_ptr<ovProxyConfig> ovPACFileDecider::getConfig() const {
  if (!current_config_) return nullptr;
  std::shared_ptr<ovProxyConfig> copy = current_config_->duplicate();
  if (copy->isPacContentEmpty() && !backup_pac_content_.empty()) {
    IOvProxyEnterpriseAdapter* adapter =
        adapter_ != nullptr ? adapter_ : ovProxyEnterpriseAdapter::GetInstance();
    if (adapter != nullptr &&
        adapter->GetFeatureBool(kBackupPacFeature, FeatureSource::Policy, false, 0)) {
      copy->setPacContent(backup_pac_content_);
    }
  }
  return copy;
}

void ovPACFileDecider::noteOutcome(const char* download) {
  last_outcome_ = download;
  last_outcome_ns_ = Tav::TimeTicks::NowNs();
}

ovPacFacts ovPACFileDecider::pacFacts() const {
  ovPacFacts facts;
  if (!current_config_) return facts;
  const std::string url = !script_url_.empty() ? script_url_ : pacUrl();
  if (!url.empty()) facts.url = ovTraceUrl(url);
  facts.origin =
      current_config_->auto_detect() && !pac_origin_.empty() ? pac_origin_ : "configuration";
  facts.download = last_outcome_.empty() ? "none" : last_outcome_;
  if (!last_outcome_.empty()) facts.age_ms = ElapsedMs(last_outcome_ns_);
  if (state_ == DeciderState::Determining || state_ == DeciderState::UrlReady ||
      state_ == DeciderState::Downloading) {
    facts.download = "in progress";
    facts.age_ms = -1;
  }
  // After a failure the backup copy may stand in (getConfig).
  if (facts.download == "failed" && current_config_->isPacContentEmpty() &&
      !backup_pac_content_.empty() && getConfig() && !getConfig()->isPacContentEmpty()) {
    facts.download = "kept copy";
  }
  return facts;
}

eErrorCode ovPACFileDecider::GetPacContent() {
  if (!current_config_) {
    ovLog(LogLevel::kError, "PACD_NOCFG1",
          "PACFileDecider: GetPacContent failed - current_config_ is null");
    notifyDelegate(false, {});
    return e_pac_unavailable;
  }
  if (!current_config_->isPacContentEmpty()) {
    notifyDelegate(true, current_config_->getPacContent());
    return e_success;
  }
  if (state_ == DeciderState::Failed) {
    notifyDelegate(false, {});
    return e_pac_download_failed;
  }
  if (state_ == DeciderState::Downloading) return e_pending;
  if (download_failed_) {
    // A wall clock set back does not hold the window closed for longer.
    const int64_t since = Tav::SystemTimeNow100ns() - last_failure_ticks_;
    if (since >= 0 && since < kFailureWindowTicks) {
      notifyDelegate(false, {});
      return e_pac_unavailable;
    }
  }
  if (current_config_->auto_detect() && current_config_->getAutoDetectPacUrl().empty()) {
    if (state_ != DeciderState::Determining) setState(DeciderState::Determining);
    return e_pending;
  }
  if (pacUrl().empty()) {
    notifyDelegate(false, {});
    setState(DeciderState::Idle);
    return e_pac_unavailable;
  }
  if (state_ != DeciderState::UrlReady) setState(DeciderState::UrlReady);
  return e_pending;
}

void ovPACFileDecider::setState(DeciderState state) {
  if (state == state_) return;
  state_ = state;
  onEnterState(state);
}

void ovPACFileDecider::onEnterState(DeciderState state) {
  switch (state) {
    case DeciderState::Idle:
      if (!downloading_reqid_.empty()) {
        downloader_->CancelDownload(downloading_reqid_);
        downloading_reqid_.clear();
      }
      cancelTimerOutMonitor();
      configured_url_tried_ = false;
      last_failure_ticks_ = 0;
      download_failed_ = false;
      ++download_serial_;  // a late outcome of the abandoned download is dropped
      return;
    case DeciderState::Determining:
      startDetermin();
      return;
    case DeciderState::UrlReady:
      if (pacUrl().empty()) {
        notifyDelegate(false, {});
        return;
      }
      setState(DeciderState::Downloading);
      return;
    case DeciderState::Downloading:
      startDownload();
      startTimerOutMonitor();
      return;
    case DeciderState::Failed:
      notifyDelegate(false, {});
      return;
    case DeciderState::Finished:
      cancelTimerOutMonitor();
      notifyDelegate(!download_failed_,
                     current_config_ ? current_config_->getPacContent() : std::string());
      return;
  }
}

void ovPACFileDecider::startDetermin() {
  const uint64_t detection = ++detection_serial_;
  const int64_t start = Tav::TimeTicks::NowNs();
  std::shared_ptr<const ovProxyConfig> config =
      current_config_ ? current_config_->duplicate() : std::make_shared<ovProxyConfig>();
  std::shared_ptr<ovplatform::AutoProxyUrlDetector> detector =
      detector_ ? detector_ : ovplatform::GetAutoProxyUrlDetector();
  UrlCallback callback = [holder = std::weak_ptr<PACFileDeciderWeakHolder>(holder_), detection,
                          start](const std::string& url, const char* origin) {
    const auto alive = holder.lock();
    if (alive && alive->decider != nullptr) {
      alive->decider->onPacUrlDetermined(url, origin, detection, start);
    }
  };
  const bool posted =
      postTo(kPacDeciderRunnerName, "get pac url",
             [runner = callback_runner_, key = work_key_, config, detector, callback]() {
               DeterminePacUrl(runner, key, config, detector, callback);
             });
  if (!posted) {
    // Without the detection runner only the configured URL is left.
    ovLog(LogLevel::kError, "PACD_POST01",
          "PACFileDecider: PAC URL detection could not be posted - runner=" +
              std::string(kPacDeciderRunnerName));
    onPacUrlDetermined(config->getPacUrl(), "configuration", detection, start);
  }
}

void ovPACFileDecider::DeterminePacUrl(const std::string& runner,
                                       const OrvaTask::UniqueKey& workKey,
                                       std::shared_ptr<const ovProxyConfig> config,
                                       std::shared_ptr<ovplatform::AutoProxyUrlDetector> detector,
                                       UrlCallback callback) {
  std::string url;
  const char* origin = "";
  if (config->auto_detect() && detector) {
    char buffer[kDetectBufferBytes];
    const auto detect = [&](uint32_t type) {
      std::memset(buffer, 0, sizeof(buffer));
      try {
        return detector->DetectAutoProxyUrl(buffer, sizeof(buffer), type);
      } catch (...) {
        return false;
      }
    };
    if (detect(ovplatform::PROXY_AUTO_DETECT_TYPE_DHCP)) {
      origin = "dhcp";
    } else if (detect(ovplatform::PROXY_AUTO_DETECT_TYPE_DNS_A)) {
      origin = "dns";
    }
    if (*origin != '\0') url.assign(buffer, strnlen(buffer, sizeof(buffer)));
  }
  if (url.empty()) {
    if (!config->getPacUrl().empty()) {
      url = config->getPacUrl();
      origin = "configuration";
    } else {
      ovLog(LogLevel::kWarning, "PACD_NOURL1",
            "PACFileDecider: Failed to detect PAC URL with both DNS and DHCP");
    }
  }
  OrvaTask::IOVTManager* manager = OrvaTask::GetOVTManager();
  const bool posted =
      manager != nullptr &&
      manager->PostTask(
          runner, OrvaTask::CreateOrvaTask(
                      OrvaTask::TaskAttribute{.name = "callback pac url result",
                                              .location = OrvaTask::SourceLocation::Current(),
                                              .value = kPacDeciderTaskGroup,
                                              .unique_keys = {workKey}},
                      [callback = std::move(callback), url, origin]() { callback(url, origin); }));
  if (!posted) {
    ovLog(LogLevel::kWarning, "PACD_POST02",
          "PACFileDecider: PAC URL result dropped, callback runner gone - runner=" + runner);
  }
}

void ovPACFileDecider::onPacUrlDetermined(const std::string& url, const char* origin,
                                          uint64_t detection, int64_t startNs) {
  // Only the detection the decider is waiting for counts.
  if (state_ != DeciderState::Determining || detection != detection_serial_ || !current_config_) {
    return;
  }
  if (url.empty()) {
    ovTelemetryReporter::GetInstance().reportEvent(kDetectionFailedEvent, 0);
  } else {
    ovTelemetryReporter::GetInstance().reportLatency(kDetectionLatencyMetric, ElapsedMs(startNs));
  }
  pac_origin_ = origin;
  current_config_->setAutoDetectPacUrl(url);
  setState(DeciderState::UrlReady);
}

void ovPACFileDecider::startDownload() {
  const std::string url = pacUrl();
  const int64_t start = Tav::TimeTicks::NowNs();
  const uint64_t download = ++download_serial_;
  PacRequestId requestId;
  downloader_->Download(
      requestId, url,
      [holder = std::weak_ptr<PACFileDeciderWeakHolder>(holder_), url, download, start](
          const PacRequestId& id, const std::string& content, bool success,
          const std::string& error) {
        const auto alive = holder.lock();
        if (alive && alive->decider != nullptr) {
          alive->decider->onPacDownloadComplete(id, content, success, error, url, download, start);
        }
      },
      callback_runner_);
  downloading_reqid_ = requestId;
  ovLog(LogLevel::kInfo, "PACD_DLSTRT",
        "PACFileDecider: PAC download started - reqid=" + IdText(downloading_reqid_) +
            ", pac_url=*****");
}

void ovPACFileDecider::startTimerOutMonitor() {
  const bool posted = postTo(
      callback_runner_, "startTimerOutMonitor",
      [holder = std::weak_ptr<PACFileDeciderWeakHolder>(holder_)]() {
        const auto alive = holder.lock();
        if (!alive || alive->decider == nullptr) return;
        if (alive->decider->state_ == DeciderState::Downloading) {
          alive->decider->setState(DeciderState::Failed);
        }
      },
      kDownloadMonitorMs, &monitor_key_);
  if (!posted) {
    ovLog(LogLevel::kWarning, "PACD_POST03",
          "PACFileDecider: Download monitor could not be posted - runner=" + callback_runner_);
  }
}

void ovPACFileDecider::cancelTimerOutMonitor() {
  if (OrvaTask::IOVTManager* manager = OrvaTask::GetOVTManager()) {
    manager->CancelTasksByUniqueKey(monitor_key_);
  }
}

void ovPACFileDecider::onPacDownloadComplete(const PacRequestId& requestId,
                                             const std::string& content, bool success,
                                             const std::string& error, const std::string& url,
                                             uint64_t download, int64_t startNs) {
  // A stale or cancelled download, or one the decider no longer waits for.
  if (download != download_serial_ || requestId != downloading_reqid_ || !current_config_ ||
      (state_ != DeciderState::Downloading && state_ != DeciderState::Failed)) {
    return;
  }
  downloading_reqid_.clear();
  ovTelemetryReporter& telemetry = ovTelemetryReporter::GetInstance();
  if (!success) {
    const std::string& configured = current_config_->getPacUrl();
    if (!configured_url_tried_ && current_config_->auto_detect() && !configured.empty() &&
        url != configured) {
      configured_url_tried_ = true;
      pac_origin_ = "configuration";
      current_config_->setAutoDetectPacUrl(configured);
      cancelTimerOutMonitor();
      startTimerOutMonitor();
      startDownload();
      return;
    }
    ovLog(LogLevel::kError, "PACD_DLFAIL", "PACFileDecider: PAC download failed - error=" + error);
    telemetry.reportEvent(kDownloadFailedEvent, 0);
    noteOutcome("failed");
    download_failed_ = true;
    last_failure_ticks_ = Tav::SystemTimeNow100ns();
  } else {
    telemetry.reportLatency(kDownloadLatencyMetric, ElapsedMs(startNs));
    // The downloader answers an unchanged file with its kept copy and a note.
    noteOutcome(content.empty() ? "none" : error.empty() ? "fresh" : "not modified");
    if (content.empty()) {
      download_failed_ = false;
    } else if (content.find(kPacFunctionName) == std::string::npos) {
      ovLog(LogLevel::kError, "PACD_VERIFY",
            "PACFileDecider: PAC content verification failed - content_size=" +
                std::to_string(content.size()));
      noteOutcome("failed");
      download_failed_ = true;
      last_failure_ticks_ = Tav::SystemTimeNow100ns();
    } else {
      replaceScript(content);
      script_url_ = url;
      backup_pac_content_ = content;
      if (data_sync_hook_) data_sync_hook_(*current_config_, content);
      download_failed_ = false;
      armRevalidation();
    }
  }
  ovLog(LogLevel::kInfo, "PACD_DLDONE",
        "PACFileDecider: PAC download complete - reqid=" + IdText(requestId) + ", success=" +
            (success ? "1" : "0") + ", content_size=" + std::to_string(content.size()));
  setState(DeciderState::Finished);
}

void ovPACFileDecider::armRevalidation() {
  if (OrvaTask::IOVTManager* manager = OrvaTask::GetOVTManager()) {
    manager->CancelTasksByUniqueKey(revalidate_key_);
  }
  const bool posted = postTo(
      callback_runner_, "pac revalidation",
      [holder = std::weak_ptr<PACFileDeciderWeakHolder>(holder_)]() {
        const auto alive = holder.lock();
        if (alive && alive->decider != nullptr) alive->decider->revalidate();
      },
      revalidate_delay_ms_, &revalidate_key_);
  if (!posted) {
    ovLog(LogLevel::kWarning, "PACD_POST04",
          "PACFileDecider: PAC revalidation could not be scheduled - runner=" + callback_runner_);
  }
}

void ovPACFileDecider::cancelRevalidation() {
  if (OrvaTask::IOVTManager* manager = OrvaTask::GetOVTManager()) {
    manager->CancelTasksByUniqueKey(revalidate_key_);
  }
  if (revalidating_ && !revalidating_reqid_.empty()) {
    downloader_->CancelDownload(revalidating_reqid_);
  }
  revalidating_ = false;
  revalidating_reqid_.clear();
  ++revalidation_serial_;  // a late outcome is dropped
}

void ovPACFileDecider::revalidate() {
  if (!current_config_ || current_config_->isPacContentEmpty() || script_url_.empty()) return;
  if (state_ == DeciderState::Determining || state_ == DeciderState::UrlReady ||
      state_ == DeciderState::Downloading) {
    armRevalidation();  // the decision running fetches anyway
    return;
  }
  // One at a time: one that has not ended by now is given up.
  cancelRevalidation();
  const uint64_t revalidation = revalidation_serial_;
  const std::string url = script_url_;
  revalidating_ = true;
  PacRequestId requestId;
  downloader_->Download(
      requestId, url,
      [holder = std::weak_ptr<PACFileDeciderWeakHolder>(holder_), url, revalidation](
          const PacRequestId&, const std::string& content, bool success, const std::string& error) {
        const auto alive = holder.lock();
        if (alive && alive->decider != nullptr) {
          alive->decider->onRevalidated(content, success, error, url, revalidation);
        }
      },
      callback_runner_);
  revalidating_reqid_ = requestId;
  // Should no outcome ever come, the next round gives this one up.
  armRevalidation();
  ovLog(
      LogLevel::kInfo, "PACD_REVSTA",
      "PACFileDecider: PAC revalidation started - reqid=" + IdText(requestId) + ", pac_url=*****");
}

void ovPACFileDecider::onRevalidated(const std::string& content, bool success,
                                     const std::string& error, const std::string& url,
                                     uint64_t revalidation) {
  if (revalidation != revalidation_serial_ || !revalidating_) return;
  revalidating_ = false;
  revalidating_reqid_.clear();
  // The script was dropped or replaced by a decision meanwhile.
  if (!current_config_ || current_config_->isPacContentEmpty() || url != script_url_) return;
  armRevalidation();
  if (!success) {
    ovLog(LogLevel::kWarning, "PACD_REVFAI",
          "PACFileDecider: PAC revalidation failed, script in force kept - error=" + error);
    noteOutcome("kept copy");
    return;
  }
  if (content.empty() || content == current_config_->getPacContent()) {
    ovLog(LogLevel::kInfo, "PACD_REVSAM", "PACFileDecider: PAC revalidation - script unchanged");
    noteOutcome("not modified");
    return;
  }
  if (content.find(kPacFunctionName) == std::string::npos) {
    ovLog(LogLevel::kWarning, "PACD_REVVER",
          "PACFileDecider: PAC revalidation verification failed, script in force kept - "
          "content_size=" +
              std::to_string(content.size()));
    noteOutcome("kept copy");
    return;
  }
  noteOutcome("fresh");
  ovLog(LogLevel::kInfo, "PACD_REVNEW",
        "PACFileDecider: PAC revalidation - new script, content_size=" +
            std::to_string(content.size()));
  backup_pac_content_ = content;
  replaceScript(content);
  if (data_sync_hook_) data_sync_hook_(*current_config_, content);
}

}  // namespace OVProxy
