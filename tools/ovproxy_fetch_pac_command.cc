// `ovproxy fetch-pac`: runs the PAC file decider once, as the module does:
// PAC URL detection (DHCP, then DNS) or the configured URL, the download
// through the file-transfer module, the verification, and prints what
// happened; the script goes to a file or standard output.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "OrvaProxy/ov_pac_file_decider.h"
#include "OrvaProxy/ov_pac_file_downloader.h"
#include "OrvaProxy/ov_task_constants.h"
#include "onetxfer/onet_module.h"
#include "orvatask/orva_task.h"
#include "ovproxy_command.h"
#include "platform/autoproxy/ov_auto_proxy_url_detector.h"
#include "tavlib/tav_clock.h"

namespace ovproxy {
namespace {

using OVProxy::ovPACFileDecider;
using OVProxy::PacRequestId;

// The decider's monitor gives up after 5 s; a transfer may take up to its
// own 30 s time-out before the late outcome arrives.
constexpr auto kWaitForDecision = std::chrono::seconds(40);

struct FetchOptions {
  std::string url;
  bool auto_detect = false;
  bool twice = false;
  std::string output;
};

std::string ParseOptions(const std::vector<std::string>& args, FetchOptions& options) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--auto-detect") {
      options.auto_detect = true;
    } else if (arg == "--twice") {
      options.twice = true;
    } else if (arg == "-o" || arg == "--output") {
      if (i + 1 >= args.size()) return "option '" + arg + "' needs a file";
      options.output = args[++i];
    } else if (!arg.empty() && arg[0] == '-') {
      return "unknown option '" + arg + "'";
    } else if (options.url.empty()) {
      options.url = arg;
    } else {
      return "more than one URL given";
    }
  }
  if (options.url.empty() && !options.auto_detect) return "a URL or --auto-detect is required";
  return {};
}

// Remembers which detection type found the URL.
class RecordingDetector final : public ovplatform::AutoProxyUrlDetector {
 public:
  explicit RecordingDetector(std::shared_ptr<ovplatform::AutoProxyUrlDetector> inner)
      : inner_(std::move(inner)) {}
  bool DetectAutoProxyUrl(char* url, uint32_t length, uint32_t type) override {
    const bool found = inner_ && inner_->DetectAutoProxyUrl(url, length, type);
    std::lock_guard<std::mutex> lock(mutex_);
    if (found) found_by_ = type;
    return found;
  }
  std::optional<uint32_t> found_by() {
    std::lock_guard<std::mutex> lock(mutex_);
    return found_by_;
  }

 private:
  std::shared_ptr<ovplatform::AutoProxyUrlDetector> inner_;
  std::mutex mutex_;
  std::optional<uint32_t> found_by_;
};

// What one download ended with.
struct DownloadReport {
  bool done = false;
  bool success = false;
  std::string error;
  std::size_t bytes = 0;
  int64_t ms = 0;
};

// A decider's downloader that shares one real downloader (and so its kept
// body and validators) with the next round, and notes each outcome.
class ReportingDownloader final : public OVProxy::ovIPACDownloader {
 public:
  ReportingDownloader(std::shared_ptr<OVProxy::ovPACFileDownloader> inner,
                      std::shared_ptr<DownloadReport> report)
      : inner_(std::move(inner)), report_(std::move(report)) {}

  void Download(PacRequestId& requestId, const std::string& url,
                OVProxy::PACDownloadCallback callback, const std::string& runner) override {
    const int64_t start = Tav::TimeTicks::NowNs();
    inner_->Download(
        requestId, url,
        [report = report_, start, callback = std::move(callback)](
            const PacRequestId& id, const std::string& content, bool success,
            const std::string& error) {
          *report = {true, success, error, content.size(),
                     (Tav::TimeTicks::NowNs() - start) / 1'000'000};
          if (callback) callback(id, content, success, error);
        },
        runner);
  }
  void CancelDownload(const PacRequestId& requestId) override { inner_->CancelDownload(requestId); }

 private:
  std::shared_ptr<OVProxy::ovPACFileDownloader> inner_;
  std::shared_ptr<DownloadReport> report_;
};

class Decisions final : public OVProxy::ovPacFileDeciderDelegate {
 public:
  struct Decision {
    bool success = false;
    std::string content;
  };
  void onPacDecisionComplete(bool success, const std::string& content,
                             const std::string&) override {
    std::lock_guard<std::mutex> lock(mutex_);
    decisions_.push_back({success, content});
    changed_.notify_all();
  }
  std::optional<Decision> WaitFor(std::size_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!changed_.wait_for(lock, kWaitForDecision, [&] { return decisions_.size() >= count; })) {
      return std::nullopt;
    }
    return decisions_[count - 1];
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Decision> decisions_;
};

// Runs `work` on `runner` and waits for it; false when the runner refused.
bool RunOn(const char* runner, std::function<void()> work) {
  OrvaTask::IOVTManager* manager = OrvaTask::GetOVTManager();
  if (manager == nullptr) return false;
  auto task = OrvaTask::CreateOrvaTask(
      OrvaTask::TaskAttribute{.name = "ovproxy fetch-pac",
                              .location = OrvaTask::SourceLocation::Current()},
      std::move(work));
  return manager->PostTask(runner, task) && manager->WaitForTask(task);
}

const char* HowFound(const FetchOptions& options, std::optional<uint32_t> foundBy) {
  if (options.auto_detect && foundBy) {
    return *foundBy == ovplatform::PROXY_AUTO_DETECT_TYPE_DHCP ? "dhcp" : "dns";
  }
  return "configured";
}

struct RoundResult {
  bool success = false;
  std::string content;
};

// One decision with a fresh decider, as the module's owner would run it.
std::optional<RoundResult> RunRound(const FetchOptions& options, int round,
                                    const std::shared_ptr<OVProxy::ovPACFileDownloader>& shared,
                                    std::ostream& report) {
  const char* owner = OVProxy::kResolveRunnerName;
  auto detector = std::make_shared<RecordingDetector>(ovplatform::GetAutoProxyUrlDetector());
  auto download = std::make_shared<DownloadReport>();
  Decisions decisions;
  std::unique_ptr<ovPACFileDecider> decider;
  OVProxy::DeciderState state = OVProxy::DeciderState::Idle;
  std::string pac_url;

  const bool started = RunOn(owner, [&] {
    decider = std::make_unique<ovPACFileDecider>(
        std::make_unique<ReportingDownloader>(shared, download), detector);
    decider->setDelegate(&decisions);
    decider->setCallbackRunner(owner);
    auto config = std::make_shared<OVProxy::ovProxyConfig>(
        options.auto_detect ? OVProxy::ovProxyConfig::CreateAutoDetect()
                            : OVProxy::ovProxyConfig::CreateFromCustomPacURL(options.url));
    config->setPacUrl(options.url);
    decider->setConfig(config);
    decider->GetPacContent();
  });
  if (!started) return std::nullopt;

  std::optional<Decisions::Decision> decision = decisions.WaitFor(1);
  RunOn(owner, [&] { state = decider->state(); });
  if (decision && state == OVProxy::DeciderState::Failed) {
    report << "download: no answer within " << ovPACFileDecider::kDownloadMonitorMs
           << " ms, waiting for the transfer\n";
    decision = decisions.WaitFor(2);
  }
  RunOn(owner, [&] {
    const auto config = decider->getConfig();
    pac_url = config ? (options.auto_detect ? config->getAutoDetectPacUrl() : config->getPacUrl())
                     : std::string();
    decider.reset();
  });

  const std::string prefix = round == 1 ? "" : "repeat ";
  if (pac_url.empty()) {
    report << prefix << "pac url: none found (DHCP and DNS)\n";
  } else {
    report << prefix << "pac url: " << pac_url << " (" << HowFound(options, detector->found_by())
           << ")\n";
  }
  if (download->done) {
    report << prefix << "download: ";
    if (download->success && download->error == "xfer download no update") {
      report << "not modified, " << download->bytes << " bytes (kept copy)";
    } else if (download->success) {
      report << "ok, " << download->bytes << " bytes";
    } else {
      report << "failed (" << download->error << ")";
    }
    report << ", " << download->ms << " ms\n";
  } else if (!pac_url.empty()) {
    report << prefix << "download: no outcome\n";
  }
  if (!decision) {
    report << prefix << "decision: none within " << kWaitForDecision.count() << " s\n";
    return RoundResult{};
  }
  if (download->done && download->success) {
    report << prefix << "verification: "
           << (decision->success ? (decision->content.empty() ? "empty script" : "passed")
                                 : "failed (no FindProxyForURL)")
           << "\n";
  }
  return RoundResult{decision->success, decision->content};
}

}  // namespace

void PrintFetchPacUsage(std::ostream& out) {
  out << "usage: ovproxy fetch-pac [URL] [--auto-detect] [--twice] [-o FILE]\n"
         "  Decides the PAC script the way the module does and prints the PAC URL\n"
         "  found (dhcp, dns or configured), the download and the verification.\n"
         "  URL             the configured PAC URL (with --auto-detect, the fallback)\n"
         "  --auto-detect   detect the PAC URL by DHCP, then DNS (\"wpad\")\n"
         "  --twice         fetch a second time in the same run (shows revalidation)\n"
         "  -o FILE         write the script to FILE instead of standard output\n";
}

int RunFetchPacCommand(CommandContext& context) {
  FetchOptions options;
  if (const std::string problem = ParseOptions(context.args, options); !problem.empty()) {
    context.err << "ovproxy fetch-pac: " << problem << "\n";
    PrintFetchPacUsage(context.err);
    return kExitUsage;
  }
  OrvaTask::IOVTManager* manager = OrvaTask::GetOVTManager();
  if (manager == nullptr ||
      manager->CreateRunner(OVProxy::kResolveRunnerName, OVProxy::kResolveTaskGroup) ==
          OrvaTask::kInvalidRunnerId ||
      manager->CreateRunner(OVProxy::kPacDeciderRunnerName, OVProxy::kPacDeciderTaskGroup) ==
          OrvaTask::kInvalidRunnerId) {
    context.err << "ovproxy fetch-pac: runners could not be created\n";
    return kExitFailed;
  }
  oXfer::ScopedONetModule module;
  // With the script on standard output the report goes to standard error.
  std::ostream& report = options.output.empty() ? context.err : context.out;

  auto downloader = std::make_shared<OVProxy::ovPACFileDownloader>();
  std::optional<RoundResult> result = RunRound(options, 1, downloader, report);
  if (result && options.twice) {
    if (std::optional<RoundResult> again = RunRound(options, 2, downloader, report)) {
      result = again;
    }
  }
  RunOn(OVProxy::kResolveRunnerName, [&downloader] { downloader.reset(); });
  manager->CancelTasksByValue(OVProxy::kPacDeciderTaskGroup);
  manager->RemoveRunner(OVProxy::kPacDeciderRunnerName);
  manager->RemoveRunner(OVProxy::kResolveRunnerName);

  if (!result || !result->success) return kExitFailed;
  if (options.output.empty()) {
    context.out << result->content;
  } else {
    std::ofstream file(options.output, std::ios::binary | std::ios::trunc);
    file << result->content;
    if (!file) {
      context.err << "ovproxy fetch-pac: cannot write '" << options.output << "'\n";
      return kExitFailed;
    }
    report << "script: " << result->content.size() << " bytes written to " << options.output
           << "\n";
  }
  return kExitOk;
}

}  // namespace ovproxy
