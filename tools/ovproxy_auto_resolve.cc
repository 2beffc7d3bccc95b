#include "ovproxy_auto_resolve.h"

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <ostream>
#include <utility>

#include "OrvaProxy/ov_local_proxy_resolver.h"
#include "OrvaProxy/ov_pk_resolver.h"
#include "OrvaProxy/ov_proxy_resolve_task.h"
#include "OrvaProxy/ov_task_constants.h"
#include "OrvaProxy/ov_winhttp_async_resolver.h"
#include "orvatask/orva_task.h"
#include "platform/winhttp/ov_script_download.h"
#include "platform/winhttp/ov_winhttp_linux.h"

namespace ovproxy {
namespace {

using OVProxy::eErrorCode;
using OVProxy::ovProxyInfo;
using Resolver = OVProxy::ovWinHttpAsyncResolver;

// Longer than any automatic resolution can take (its time-outs add up to
// 10 s); a URL still open then is answered by the fallback.
constexpr auto kAnswerLimit = std::chrono::seconds(60);

// Collects answers on the resolve runner; the caller waits for them.
class Collector : public OVProxy::ovProxyResolverDelegate {
 public:
  Collector(std::shared_ptr<OVProxy::ovProxyConfig> config, std::vector<AutoAnswer>& answers)
      : config_(std::move(config)), answers_(answers) {
    local_.initialize();
  }

  void onResolveComplete(const std::string& requestId, std::shared_ptr<ovProxyInfo> result,
                         eErrorCode error, uint32_t) override {
    std::lock_guard lock(mutex_);
    const auto it = open_.find(requestId);
    if (it == open_.end()) return;
    const std::size_t index = it->second;
    open_.erase(it);
    if (error == OVProxy::e_success && result) {
      answers_[index].answer = *result;
      answers_[index].error = error;
      // The in-process engine answers a script's plain "DIRECT" with an
      // empty list; a line of its own says what it means.
      if (answers_[index].answer.is_empty()) answers_[index].answer.UseDirect();
      OVProxy::appendDirectFallback(answers_[index].answer, error);
    } else {
      fallbackLocked(index, error);
    }
    changed_.notify_all();
  }

  void expect(const std::string& id, std::size_t index) {
    std::lock_guard lock(mutex_);
    open_[id] = index;
  }

  // For a request that did not start, or did not finish in time.
  void fail(const std::string& id, eErrorCode error) {
    std::lock_guard lock(mutex_);
    const auto it = open_.find(id);
    if (it == open_.end()) return;
    fallbackLocked(it->second, error);
    open_.erase(it);
  }

  bool waitForAll() {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kAnswerLimit, [&] { return open_.empty(); });
  }

  std::vector<std::string> openIds() {
    std::lock_guard lock(mutex_);
    std::vector<std::string> ids;
    for (const auto& [id, index] : open_) ids.push_back(id);
    return ids;
  }

 private:
  void fallbackLocked(std::size_t index, eErrorCode error) {
    AutoAnswer& answer = answers_[index];
    answer.error = error;
    answer.fallback = true;
    answer.answer = ovProxyInfo();
    if (local_.resolve("", "", "", config_, answer.answer) != OVProxy::e_success) {
      answer.answer.UseDirect();
    }
    OVProxy::appendDirectFallback(answer.answer, OVProxy::e_success);
  }

  std::shared_ptr<OVProxy::ovProxyConfig> config_;
  std::vector<AutoAnswer>& answers_;
  OVProxy::ovLocalProxyResolver local_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::map<std::string, std::size_t> open_;
};

// The script behind the PAC URL, fetched the way the system-shaped service
// fetches it; empty when it could not be fetched.
std::string FetchScript(const std::string& url, std::ostream& err) {
  const ovplatform::ScriptDownloadResult fetched =
      ovplatform::DownloadScript(ovplatform::ScriptDownloadRequest{
          .url = url,
          .timeouts = {Resolver::kResolveTimeoutMs, Resolver::kConnectTimeoutMs,
                       Resolver::kSendTimeoutMs, Resolver::kReceiveTimeoutMs},
          .max_bytes = ovplatform::kMaxScriptBytes});
  if (fetched.outcome == ovplatform::ScriptDownloadOutcome::kOk) return fetched.body;
  err << "ovproxy resolve: could not fetch " << url << " (" << fetched.detail
      << "); resolving without the script\n";
  return {};
}

bool RunOn(OrvaTask::IOVTManager& manager, std::function<void()> function) {
  auto task = OrvaTask::CreateOrvaTask({.name = "ovproxy_auto_resolve",
                                        .location = OrvaTask::SourceLocation::Current(),
                                        .value = OVProxy::kResolveTaskGroup},
                                       std::move(function));
  return manager.PostTask(OVProxy::kResolveRunnerName, task) && manager.WaitForTask(task);
}

}  // namespace

std::vector<AutoAnswer> ResolveAutomatically(std::shared_ptr<OVProxy::ovProxyConfig> config,
                                             const std::vector<std::string>& urls,
                                             std::ostream& err) {
  if (config->has_pac_url()) config->setPacContent(FetchScript(config->getPacUrl(), err));

  std::vector<AutoAnswer> answers(urls.size());
  Collector collector(config, answers);
  for (std::size_t i = 0; i < urls.size(); ++i)
    collector.expect("ovproxy-" + std::to_string(i + 1), i);

  OrvaTask::IOVTManager* manager = OrvaTask::GetOVTManager();
  const bool existed =
      manager && manager->GetRunnerId(OVProxy::kResolveRunnerName) != OrvaTask::kInvalidRunnerId;
  if (manager && !existed &&
      manager->CreateRunner(OVProxy::kResolveRunnerName, OVProxy::kResolveTaskGroup) ==
          OrvaTask::kInvalidRunnerId) {
    manager = nullptr;
  }

  std::unique_ptr<OVProxy::ovProxyAsyncResolver> resolver;
  const bool started = manager && RunOn(*manager, [&] {
                         if (!config->isPacContentEmpty()) {
                           auto pk = std::make_unique<OVProxy::ovPKResolver>();
                           pk->setDelegate(&collector);
                           if (pk->initialize() == OVProxy::e_success && pk->isAvailable())
                             resolver = std::move(pk);
                         }
                         if (!resolver) {
                           resolver = OVProxy::createWinHttpAsyncResolver();
                           resolver->setDelegate(&collector);
                           if (resolver->initialize() != OVProxy::e_success) resolver.reset();
                         }
                         for (std::size_t i = 0; i < urls.size(); ++i) {
                           const std::string id = "ovproxy-" + std::to_string(i + 1);
                           ovProxyInfo unused;
                           const eErrorCode code =
                               resolver ? resolver->resolve(id, urls[i], "", config, unused)
                                        : OVProxy::e_unavailable;
                           if (code != OVProxy::e_pending) collector.fail(id, code);
                         }
                       });
  if (started && !collector.waitForAll()) {
    // Still open: dropped by the resolver below, answered by the fallback.
    for (const std::string& id : collector.openIds())
      collector.fail(id, OVProxy::e_request_timeout);
  }
  for (const std::string& id : collector.openIds()) collector.fail(id, OVProxy::e_unavailable);
  if (manager) {
    RunOn(*manager, [&] {
      if (resolver) {
        resolver->cancelAllRequests();
        resolver->uninitialize();
      }
      resolver.reset();
    });
    if (!existed) manager->RemoveRunner(OVProxy::kResolveRunnerName);
  }
  return answers;
}

}  // namespace ovproxy
