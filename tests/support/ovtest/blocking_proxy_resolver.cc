#include "ovtest/blocking_proxy_resolver.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <set>
#include <utility>

#include "orvatask/ovt_manager.h"

namespace ovtest {

struct BlockingResolverFactory::State {
  mutable std::mutex mutex;
  std::condition_variable changed;

  bool hold_creation = false;
  bool fail_creation = false;
  std::size_t creation_calls = 0;
  std::size_t live = 0;

  bool hold_resolves = false;
  std::set<std::string> released;
  OVProxy::eErrorCode code = OVProxy::e_success;
  OVProxy::ovProxyInfo answer;
  std::vector<std::string> started;
  std::vector<std::string> started_on;

  template <typename Predicate>
  bool WaitFor(Predicate predicate) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, kWaitLimit, predicate);
  }
};

namespace {

template <typename T>
T Read(BlockingResolverFactory::State& state, T BlockingResolverFactory::State::*member) {
  std::lock_guard lock(state.mutex);
  return state.*member;
}

class BlockingResolver : public OVProxy::ovProxyResolver {
 public:
  explicit BlockingResolver(std::shared_ptr<BlockingResolverFactory::State> state)
      : state_(std::move(state)) {}

  ~BlockingResolver() override {
    std::lock_guard lock(state_->mutex);
    --state_->live;
    state_->changed.notify_all();
  }

  OVProxy::eErrorCode initialize() override { return OVProxy::e_success; }
  OVProxy::eErrorCode uninitialize() override { return OVProxy::e_success; }
  std::string getName() override { return "BlockingResolver"; }
  bool isAvailable() override { return true; }

  OVProxy::eErrorCode resolve(const std::string& requestId, const std::string& url,
                              const std::string& extra,
                              std::shared_ptr<OVProxy::ovProxyConfig> config,
                              OVProxy::ovProxyInfo& result) override {
    (void)url;
    (void)extra;
    (void)config;
    std::unique_lock lock(state_->mutex);
    state_->started.push_back(requestId);
    state_->started_on.push_back(OrvaTask::GetRunnerNameOfCurrentThread());
    state_->changed.notify_all();
    // Waits for the test, however long it takes: a hold is always released.
    state_->changed.wait(
        lock, [&] { return !state_->hold_resolves || state_->released.count(requestId) != 0; });
    const OVProxy::eErrorCode code = state_->code;
    if (code == OVProxy::e_success) result = state_->answer;
    return code;
  }

 private:
  std::shared_ptr<BlockingResolverFactory::State> state_;
};

}  // namespace

BlockingResolverFactory::BlockingResolverFactory() : state_(std::make_shared<State>()) {}

// Nothing made by it may wait for a test that has finished.
BlockingResolverFactory::~BlockingResolverFactory() {
  ReleaseCreation();
  ReleaseAll();
}

std::unique_ptr<OVProxy::ovProxyResolver> BlockingResolverFactory::createResolver() {
  std::unique_lock lock(state_->mutex);
  ++state_->creation_calls;
  state_->changed.notify_all();
  state_->changed.wait(lock, [&] { return !state_->hold_creation; });
  if (state_->fail_creation) return nullptr;
  ++state_->live;
  return std::make_unique<BlockingResolver>(state_);
}

void BlockingResolverFactory::HoldCreation() {
  std::lock_guard lock(state_->mutex);
  state_->hold_creation = true;
}

void BlockingResolverFactory::ReleaseCreation() {
  std::lock_guard lock(state_->mutex);
  state_->hold_creation = false;
  state_->changed.notify_all();
}

void BlockingResolverFactory::FailCreation(bool fail) {
  std::lock_guard lock(state_->mutex);
  state_->fail_creation = fail;
}

bool BlockingResolverFactory::WaitForCreationCalls(std::size_t count) {
  return state_->WaitFor([&] { return state_->creation_calls >= count; });
}

std::size_t BlockingResolverFactory::creationCalls() const {
  return Read(*state_, &State::creation_calls);
}

bool BlockingResolverFactory::WaitForNoLiveResolvers() {
  return state_->WaitFor([&] { return state_->live == 0; });
}

void BlockingResolverFactory::HoldResolves() {
  std::lock_guard lock(state_->mutex);
  state_->hold_resolves = true;
}

void BlockingResolverFactory::Release(const std::string& requestId) {
  std::lock_guard lock(state_->mutex);
  state_->released.insert(requestId);
  state_->changed.notify_all();
}

void BlockingResolverFactory::ReleaseAll() {
  std::lock_guard lock(state_->mutex);
  state_->hold_resolves = false;
  state_->changed.notify_all();
}

void BlockingResolverFactory::SetAnswer(OVProxy::eErrorCode code,
                                        const OVProxy::ovProxyInfo& answer) {
  std::lock_guard lock(state_->mutex);
  state_->code = code;
  state_->answer = answer;
}

bool BlockingResolverFactory::WaitUntilResolving(const std::string& requestId) {
  return state_->WaitFor([&] {
    return std::find(state_->started.begin(), state_->started.end(), requestId) !=
           state_->started.end();
  });
}

std::vector<std::string> BlockingResolverFactory::started() const {
  return Read(*state_, &State::started);
}

std::vector<std::string> BlockingResolverFactory::startedOn() const {
  return Read(*state_, &State::started_on);
}

struct RecordingResolverDelegate::State {
  mutable std::mutex mutex;
  std::condition_variable changed;
  std::vector<Answer> answers;
  std::function<void(const Answer&)> hook;
};

RecordingResolverDelegate::RecordingResolverDelegate() : state_(std::make_unique<State>()) {}

RecordingResolverDelegate::~RecordingResolverDelegate() = default;

void RecordingResolverDelegate::onResolveComplete(const std::string& requestId,
                                                  std::shared_ptr<OVProxy::ovProxyInfo> result,
                                                  OVProxy::eErrorCode error,
                                                  uint32_t resolverKind) {
  Answer answer{requestId, std::move(result), error, resolverKind,
                OrvaTask::GetRunnerNameOfCurrentThread()};
  std::function<void(const Answer&)> hook;
  {
    std::lock_guard lock(state_->mutex);
    state_->answers.push_back(answer);
    hook = state_->hook;
    state_->changed.notify_all();
  }
  if (hook) hook(answer);
}

void RecordingResolverDelegate::SetHook(std::function<void(const Answer&)> hook) {
  std::lock_guard lock(state_->mutex);
  state_->hook = std::move(hook);
}

bool RecordingResolverDelegate::WaitForAnswers(std::size_t count) {
  std::unique_lock lock(state_->mutex);
  return state_->changed.wait_for(lock, kWaitLimit,
                                  [&] { return state_->answers.size() >= count; });
}

std::vector<RecordingResolverDelegate::Answer> RecordingResolverDelegate::answers() const {
  std::lock_guard lock(state_->mutex);
  return state_->answers;
}

std::vector<std::string> RecordingResolverDelegate::answeredIds() const {
  std::lock_guard lock(state_->mutex);
  std::vector<std::string> ids;
  for (const Answer& answer : state_->answers) ids.push_back(answer.request_id);
  return ids;
}

}  // namespace ovtest
