// ovPACFileDecider: turns an automatic configuration into a PAC script. It
// finds the PAC URL (DHCP, then DNS, or the configured URL), downloads the
// script through its ovIPACDownloader, checks that it holds
// "FindProxyForURL", keeps it (and a backup copy) and tells its delegate.
//
// States, one entry action each (setState): Idle -> Determining (detection
// running on "pac_decider_task_runner") -> UrlReady -> Downloading ->
// Finished, or Failed when the download monitor fires after 5000 ms; a
// download that completes after that still moves Failed -> Finished and
// notifies again. A failed download or verification closes the decider for
// 30 minutes (GetPacContent answers e_pac_unavailable) until the
// configuration changes or the owner resets it to Idle. A failed
// auto-detected download is retried once with the configured PAC URL.
//
// The script in force follows the network and the server:
// - restartForNetworkChange forgets the detected URL, the script in force
//   and the failure window, so that the next GetPacContent detects and
//   downloads again. The downloader keeps its copy and validators, so an
//   unchanged script at the same URL costs a "not modified".
// - A script this decider downloaded is fetched again every
//   kRevalidateMs plus a jitter of up to kRevalidateJitterMs (drawn once
//   per decider: the client's processes share the network and usually the
//   script, and must not all ask at the same moment). One revalidation at a
//   time; GetPacContent keeps answering from the script in force meanwhile,
//   and a failed or unverifiable revalidation keeps it.
// - The script-change hook runs whenever the script in force is replaced by
//   a different text or dropped (never for an unchanged one), so that the
//   owner can forget answers computed with it; restartForNetworkChange does
//   not run it, as its caller forgets those answers itself.
//
// Thread: every operation and every callback runs on one owner runner (the
// resolve service's, which is also callback_runner). Detection blocks on
// "pac_decider_task_runner" and touches only its own copies. Posted work
// holds the decider weakly and does nothing once it is gone; results of a
// detection or download the decider no longer waits for are dropped. Time is
// read from the common library's clock and delayed tasks of the task
// library, so tests drive both with a manual clock.
//
// Lifetime: held by value by its owner; not copyable or movable (posted work
// points back at it). The owner creates "pac_decider_task_runner", sets the
// delegate and callback runner, and at shutdown empties the callback runner,
// resets to Idle, cancels the decider's posted work and removes the runner.
// Every task the decider posts carries the grouping value 61 and a unique
// key of its own; destruction and cancelPostedWork drop this decider's work
// only (never another decider's) and cancel any download in flight.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "OrvaProxy/ovProxyConfig/ov_proxy_config.h"
#include "OrvaProxy/ov_error_code.h"
#include "OrvaProxy/ov_i_pac_downloader.h"
#include "orvatask/ovt_types.h"

namespace ovplatform {
class AutoProxyUrlDetector;
}

namespace OVProxy {

class IOvProxyEnterpriseAdapter;

enum class DeciderState : int32_t {
  Idle = 0,
  Determining = 1,
  UrlReady = 2,
  Downloading = 3,
  Failed = 4,
  Finished = 5,
};

const char* DeciderStateName(DeciderState state);

// What the script in force rests on, for the record of a request's road.
struct ovPacFacts {
  std::string url;     // scheme://host[:port] of the PAC URL; empty: none
  std::string origin;  // "dhcp", "dns" or "configuration"
  // "fresh", "not modified", "kept copy", "failed", "in progress", "none"
  std::string download;
  int64_t age_ms = -1;  // since that outcome; -1 when there was none
};

class ovPacFileDeciderDelegate {
 public:
  virtual ~ovPacFileDeciderDelegate() = default;
  virtual void onPacDecisionComplete(bool success, const std::string& pacContent,
                                     const std::string& backupPacContent) = 0;
};

class ovPACFileDecider;

// Posted work holds this weakly; its one field points at the decider.
struct PACFileDeciderWeakHolder {
  ovPACFileDecider* decider = nullptr;
};

class ovPACFileDecider {
 public:
  // A download longer than this is reported as failed (the transfer goes on).
  static constexpr uint32_t kDownloadMonitorMs = 5000;
  // After a failure, no new download for this long (100-ns ticks: 30 min).
  static constexpr int64_t kFailureWindowTicks = 18'000'000'000;
  static constexpr uint32_t kDetectBufferBytes = 1024;
  // How often a script in force is fetched again: what browsers do, and
  // with validators the usual answer is a small "not modified".
  static constexpr uint32_t kRevalidateMs = 30 * 60 * 1000;
  static constexpr uint32_t kRevalidateJitterMs = 3 * 60 * 1000;

  // After a verified download: the configuration it was made for and the
  // script, so that the owner can share it with other processes.
  using DataSyncHook = std::function<void(const ovProxyConfig& config, const std::string& content)>;

  // A null detector means the process's (ovplatform::GetAutoProxyUrlDetector
  // at each detection).
  explicit ovPACFileDecider(std::unique_ptr<ovIPACDownloader> downloader,
                            std::shared_ptr<ovplatform::AutoProxyUrlDetector> detector = nullptr);
  ~ovPACFileDecider();
  ovPACFileDecider(const ovPACFileDecider&) = delete;
  ovPACFileDecider& operator=(const ovPACFileDecider&) = delete;

  void setDelegate(ovPacFileDeciderDelegate* delegate) { delegate_ = delegate; }
  void setCallbackRunner(std::string runner) { callback_runner_ = std::move(runner); }
  const std::string& callbackRunner() const { return callback_runner_; }
  void setDataSyncHook(DataSyncHook hook) { data_sync_hook_ = std::move(hook); }
  // Runs when the script in force changes text or is dropped (except by
  // restartForNetworkChange).
  using ScriptChangeHook = std::function<void()>;
  void setScriptChangeHook(ScriptChangeHook hook) { script_change_hook_ = std::move(hook); }
  // Null: the module's adapter (ovProxyEnterpriseAdapter::GetInstance).
  void setEnterpriseAdapter(IOvProxyEnterpriseAdapter* adapter) { adapter_ = adapter; }

  // False when `config` equals the current one (or is null).
  bool setConfig(const std::shared_ptr<const ovProxyConfig>& config);
  // A copy of the current configuration, with the backup script when it has
  // none and "UseBackupPacForDetectFail" is on; null when there is none.
  std::shared_ptr<ovProxyConfig> getConfig() const;
  eErrorCode GetPacContent();
  void setState(DeciderState state);
  DeciderState state() const { return state_; }
  // The network changed: the decision starts over at the next GetPacContent.
  void restartForNetworkChange();
  // Drops the work this decider has queued and cancels its downloads.
  void cancelPostedWork();
  // The delay of the periodic revalidation, jitter included.
  uint32_t revalidateDelayMs() const { return revalidate_delay_ms_; }
  ovPacFacts pacFacts() const;

 private:
  // The URL found and how ("dhcp", "dns", "configuration"; empty: none).
  using UrlCallback = std::function<void(const std::string& url, const char* origin)>;

  ovPACFileDecider(std::unique_ptr<ovIPACDownloader> downloader,
                   std::shared_ptr<ovplatform::AutoProxyUrlDetector> detector, uint64_t number);

  // On "pac_decider_task_runner": detection, then "callback pac url result".
  static void DeterminePacUrl(const std::string& runner, const OrvaTask::UniqueKey& workKey,
                              std::shared_ptr<const ovProxyConfig> config,
                              std::shared_ptr<ovplatform::AutoProxyUrlDetector> detector,
                              UrlCallback callback);

  void onEnterState(DeciderState state);
  void startDetermin();
  void onPacUrlDetermined(const std::string& url, const char* origin, uint64_t detection,
                          int64_t startNs);
  void noteOutcome(const char* download);
  void startDownload();
  void startTimerOutMonitor();
  void cancelTimerOutMonitor();
  void onPacDownloadComplete(const PacRequestId& requestId, const std::string& content,
                             bool success, const std::string& error, const std::string& url,
                             uint64_t download, int64_t startNs);
  void armRevalidation();
  void cancelRevalidation();
  void revalidate();
  void onRevalidated(const std::string& content, bool success, const std::string& error,
                     const std::string& url, uint64_t revalidation);
  // Puts `content` in force (empty: none) and runs the script-change hook
  // when that replaced a different script.
  void replaceScript(std::string content);
  std::string pacUrl() const;
  void notifyDelegate(bool success, std::string content);
  bool postTo(const std::string& runner, const char* name, std::function<void()> work,
              uint32_t delayMs = 0, const OrvaTask::UniqueKey* key = nullptr);

  std::unique_ptr<ovIPACDownloader> downloader_;
  int64_t last_failure_ticks_ = 0;
  bool download_failed_ = false;
  PacRequestId downloading_reqid_;
  std::shared_ptr<ovProxyConfig> current_config_;
  ovPacFileDeciderDelegate* delegate_ = nullptr;
  std::shared_ptr<PACFileDeciderWeakHolder> holder_;
  std::string callback_runner_;
  DeciderState state_ = DeciderState::Idle;
  std::string backup_pac_content_;
  bool configured_url_tried_ = false;

  std::shared_ptr<ovplatform::AutoProxyUrlDetector> detector_;
  IOvProxyEnterpriseAdapter* adapter_ = nullptr;
  DataSyncHook data_sync_hook_;
  ScriptChangeHook script_change_hook_;
  // The URL the script in force was downloaded from; empty when it came
  // with the configuration (it is then not ours to revalidate).
  std::string script_url_;
  uint32_t revalidate_delay_ms_;
  // For pacFacts: how the PAC URL was found, and the last fetch's outcome
  // and when it came (monotonic ns).
  std::string pac_origin_;
  std::string last_outcome_;
  int64_t last_outcome_ns_ = 0;
  bool revalidating_ = false;
  PacRequestId revalidating_reqid_;
  uint64_t revalidation_serial_ = 0;
  // Which detection and download results are still awaited: a result of an
  // earlier one (the configuration changed, a retry started) is dropped.
  uint64_t detection_serial_ = 0;
  uint64_t download_serial_ = 0;
  // Keys of this decider's own: all its posted work, the download monitor,
  // the revalidation timer. Deciders never cancel one another's work.
  const OrvaTask::UniqueKey work_key_;
  const OrvaTask::UniqueKey monitor_key_;
  const OrvaTask::UniqueKey revalidate_key_;
};

}  // namespace OVProxy
