// Fakes for resolvers run on other threads, driven by hand: no sleeps. The
// factory's resolvers share its state, which outlives it; creation and each
// resolve can be held, and the test waits for them to begin. Waits give up
// after kWaitLimit and answer false (a hang guard, not a timing assumption).
// Every member may be called from any thread.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "OrvaProxy/ov_proxy_resolver.h"
#include "orvatask/ovt_manager.h"

namespace ovtest {

inline constexpr std::chrono::seconds kWaitLimit{30};

// A value behind a mutex, with waits for a condition on it.
template <typename T>
class Watched {
 public:
  template <typename F>
  auto With(F f) {
    std::lock_guard lock(mutex_);
    changed_.notify_all();  // waiters look once the lock is released
    return f(value_);
  }
  // `forever`: a hold is always released by the test or its end.
  template <typename F>
  bool WaitFor(F done, bool forever = false) {
    std::unique_lock lock(mutex_);
    if (forever) return changed_.wait(lock, [&] { return done(value_); }), true;
    return changed_.wait_for(lock, kWaitLimit, [&] { return done(value_); });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  T value_;
};

class BlockingResolverFactory : public OVProxy::ovProxyResolverFactory {
 public:
  struct State {
    bool hold_creation = false, fail_creation = false, hold_resolves = false;
    std::size_t creation_calls = 0, live = 0;
    std::set<std::string> released;
    OVProxy::eErrorCode code = OVProxy::e_success;
    OVProxy::ovProxyInfo answer;
    std::vector<std::string> started, started_on;
  };

  // Nothing made by it may wait for a test that has finished.
  ~BlockingResolverFactory() override {
    ReleaseCreation();
    ReleaseAll();
  }

  std::unique_ptr<OVProxy::ovProxyResolver> createResolver() override {
    state_->With([](State& s) { return ++s.creation_calls; });
    state_->WaitFor([](State& s) { return !s.hold_creation; }, true);
    if (Get(&State::fail_creation)) return nullptr;
    state_->With([](State& s) { return ++s.live; });
    return std::make_unique<Resolver>(state_);
  }

  // createResolver waits from now until ReleaseCreation, or answers null.
  void HoldCreation() { Set(&State::hold_creation, true); }
  void ReleaseCreation() { Set(&State::hold_creation, false); }
  void FailCreation(bool fail) { Set(&State::fail_creation, fail); }
  bool WaitForCreationCalls(std::size_t n) {
    return state_->WaitFor([n](State& s) { return s.creation_calls >= n; });
  }
  std::size_t creationCalls() { return Get(&State::creation_calls); }
  bool WaitForNoLiveResolvers() {
    return state_->WaitFor([](State& s) { return s.live == 0; });
  }

  // resolve waits from now until its request id is released (also before it
  // began), or until ReleaseAll, which lets every resolve answer.
  void HoldResolves() { Set(&State::hold_resolves, true); }
  void Release(const std::string& id) {
    state_->With([&](State& s) { return s.released.insert(id).second; });
  }
  void ReleaseAll() { Set(&State::hold_resolves, false); }
  void SetAnswer(OVProxy::eErrorCode code, const OVProxy::ovProxyInfo& answer) {
    state_->With([&](State& s) { return s.code = code, s.answer = answer, 0; });
  }
  bool WaitUntilResolving(const std::string& id) {
    return state_->WaitFor([&](State& s) {
      return std::find(s.started.begin(), s.started.end(), id) != s.started.end();
    });
  }
  // Request ids in the order their resolves began, and the runner of each.
  std::vector<std::string> started() { return Get(&State::started); }
  std::vector<std::string> startedOn() { return Get(&State::started_on); }

 private:
  class Resolver : public OVProxy::ovProxyResolver {
   public:
    explicit Resolver(std::shared_ptr<Watched<State>> state) : state_(std::move(state)) {}
    ~Resolver() override {
      state_->With([](State& s) { return --s.live; });
    }
    OVProxy::eErrorCode initialize() override { return OVProxy::e_success; }
    OVProxy::eErrorCode uninitialize() override { return OVProxy::e_success; }
    std::string getName() override { return "BlockingResolver"; }
    bool isAvailable() override { return true; }
    OVProxy::eErrorCode resolve(const std::string& id, const std::string&, const std::string&,
                                std::shared_ptr<OVProxy::ovProxyConfig>,
                                OVProxy::ovProxyInfo& result) override {
      state_->With([&](State& s) {
        s.started.push_back(id);
        return s.started_on.push_back(OrvaTask::GetRunnerNameOfCurrentThread()), 0;
      });
      state_->WaitFor([&](State& s) { return !s.hold_resolves || s.released.count(id); }, true);
      return state_->With([&](State& s) {
        if (s.code == OVProxy::e_success) result = s.answer;
        return s.code;
      });
    }

   private:
    std::shared_ptr<Watched<State>> state_;
  };

  template <typename T>
  void Set(T State::*member, T value) {
    state_->With([&](State& s) { return s.*member = value; });
  }
  template <typename T>
  T Get(T State::*member) {
    return state_->With([&](State& s) { return s.*member; });
  }
  std::shared_ptr<Watched<State>> state_ = std::make_shared<Watched<State>>();
};

class RecordingResolverDelegate : public OVProxy::ovProxyResolverDelegate {
 public:
  struct Answer {
    std::string request_id;
    std::shared_ptr<OVProxy::ovProxyInfo> result;
    OVProxy::eErrorCode error = OVProxy::e_success;
    uint32_t resolver_kind = 0;
    std::string runner;  // the runner that called onResolveComplete
  };

  void onResolveComplete(const std::string& id, std::shared_ptr<OVProxy::ovProxyInfo> result,
                         OVProxy::eErrorCode error, uint32_t kind) override {
    const Answer answer{id, std::move(result), error, kind,
                        OrvaTask::GetRunnerNameOfCurrentThread()};
    auto hook = answers_.With([&](std::vector<Answer>& all) {
      all.push_back(answer);
      return hook_;
    });
    if (hook) hook(answer);
  }
  // Called after each answer is recorded, on the answering thread; set it
  // before the first answer can arrive.
  void SetHook(std::function<void(const Answer&)> hook) {
    answers_.With([&](auto&) { return hook_ = std::move(hook), 0; });
  }
  bool WaitForAnswers(std::size_t n) {
    return answers_.WaitFor([n](auto& all) { return all.size() >= n; });
  }
  std::vector<Answer> answers() {
    return answers_.With([](auto& all) { return all; });
  }
  std::vector<std::string> answeredIds() {
    std::vector<std::string> ids;
    for (const Answer& answer : answers()) ids.push_back(answer.request_id);
    return ids;
  }

 private:
  Watched<std::vector<Answer>> answers_;
  std::function<void(const Answer&)> hook_;
};

// "id code kind K: PAC @runner" ("-" for a null result), to compare at once.
inline std::string Text(const RecordingResolverDelegate::Answer& a) {
  return a.request_id + " " + std::to_string(a.error) + " kind " + std::to_string(a.resolver_kind) +
         ": " + (a.result ? a.result->ToPacString() : "-") + " @" + a.runner;
}

}  // namespace ovtest
