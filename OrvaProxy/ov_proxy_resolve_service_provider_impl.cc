#include "OrvaProxy/ov_proxy_resolve_service_provider_impl.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <random>
#include <utility>

#include "OrvaProxy/ov_answer_once.h"
#include "OrvaProxy/ov_log.h"
#include "OrvaProxy/ov_proxy_host_cache_mode.h"
#include "OrvaProxy/ov_proxy_info_mode_impl.h"
#include "OrvaProxy/ov_task_constants.h"
#include "orvatask/orva_task.h"
#include "tavlib/tav_clock.h"
#include "tavlib/tav_no_destructor.h"

namespace OVProxy {
namespace {

constexpr const char* kWrapperKeyName = "proxy_resolve_wrapper_uk_key";
constexpr std::chrono::milliseconds kTimeoutCheckPeriod{1000};

std::atomic<bool> g_module_made{false};

// Shared between a waiting resolveProxySync caller and its callback.
struct SyncResolveState {
  std::mutex mutex;
  std::condition_variable cv;
  bool done = false;
  std::atomic<bool> abandoned{false};
  std::string request_id;
  ovProxyInfo answer;
  eErrorCode error = e_failed;
};

OrvaTask::TaskAttribute Attribute(const char* name, const std::string& requestId,
                                  OrvaTask::SourceLocation location) {
  OrvaTask::TaskAttribute attribute{.name = name, .location = location, .value = kResolveTaskGroup};
  attribute.unique_keys.push_back(OrvaTask::GenerateUniqueKey(kWrapperKeyName));
  if (!requestId.empty()) attribute.unique_keys.push_back(OrvaTask::GenerateUniqueKey(requestId));
  return attribute;
}

}  // namespace

ovProxyResolveServiceProviderImpl::ovProxyResolveServiceProviderImpl(ServiceFactory factory,
                                                                     ovProxyInfoMode* cacheSource)
    : factory_(std::move(factory)), cache_source_(cacheSource) {}

ovProxyResolveServiceProviderImpl::~ovProxyResolveServiceProviderImpl() {
  if (OrvaTask::IOVTManager* manager = OrvaTask::GetOVTManager()) {
    manager->CancelTasksByUniqueKey(OrvaTask::GenerateUniqueKey(kWrapperKeyName));
  }
}

std::string ovProxyResolveServiceProviderImpl::NewRequestId() {
  thread_local std::mt19937_64 generator{std::random_device{}()};
  const uint64_t high = generator();
  // Version 4, variant 1, as random GUIDs are.
  const uint64_t low = (generator() & 0x3fffffffffffffffULL) | 0x8000000000000000ULL;
  const uint64_t versioned = (high & 0xffffffffffff0fffULL) | 0x0000000000004000ULL;
  char text[40];
  std::snprintf(
      text, sizeof text, "%08X-%04X-%04X-%04X-%012llX", static_cast<unsigned>(versioned >> 32),
      static_cast<unsigned>((versioned >> 16) & 0xffff), static_cast<unsigned>(versioned & 0xffff),
      static_cast<unsigned>(low >> 48), static_cast<unsigned long long>(low & 0xffffffffffffULL));
  return text;
}

bool ovProxyResolveServiceProviderImpl::post(std::function<void(Impl&)> body,
                                             const std::string& requestId) {
  OrvaTask::IOVTManager* manager = OrvaTask::GetOVTManager();
  if (!manager) return false;
  std::weak_ptr<Impl> weak = weak_from_this();
  auto task = OrvaTask::CreateOrvaTask(
      Attribute("proxy_resolve_wrapper_desc", requestId, OrvaTask::SourceLocation::Current()),
      [weak, body = std::move(body)] {
        if (std::shared_ptr<Impl> self = weak.lock()) body(*self);
      });
  return manager->PostTask(kResolveRunnerName, task);
}

bool ovProxyResolveServiceProviderImpl::OnResolveRunner() {
  return OrvaTask::GetRunnerNameOfCurrentThread() == kResolveRunnerName;
}

std::shared_ptr<ovProxyResolveServiceProviderImpl> ovProxyResolveServiceProviderImpl::Module() {
  // Never destroyed: the runner may still run a task that holds it while the
  // process's statics go.
  static Tav::NoDestructor<std::shared_ptr<Impl>> module(std::make_shared<Impl>());
  g_module_made.store(true, std::memory_order_release);
  return *module;
}

namespace {

// The resolve runner's name is the process's, whichever provider made the
// runner: the last task of the last tear-down, which removes it by that
// name, must have run before any provider makes the runner again, or it
// would remove the new one.
struct RunnerTeardown {
  std::mutex mutex;
  OrvaTask::TaskPtr last;  // guarded by mutex
};
RunnerTeardown& ProcessRunnerTeardown() {
  static Tav::NoDestructor<RunnerTeardown> teardown;
  return *teardown;
}

}  // namespace

std::shared_ptr<ovProxyResolveServiceProviderImpl>
ovProxyResolveServiceProviderImpl::ModuleIfMade() {
  return g_module_made.load(std::memory_order_acquire) ? Module() : nullptr;
}

bool ovProxyResolveServiceProviderImpl::initialize(ovProxyServiceDelegate* delegate,
                                                   ovProxyConfigServiceManager* manager) {
  if (OnResolveRunner()) {
    // It would wait for its own runner, which a tear-down may be removing.
    ovLog(LogLevel::kError, "RSVC_INIRUN",
          "ProxyResolveService: initialize refused on the resolve runner (from a callback)");
    return false;
  }
  OrvaTask::TaskPtr previous_teardown;
  {
    std::unique_lock lock(life_mutex_);
    // A tear-down begun from a callback finishes on the runner first.
    life_changed_.wait(lock, [this] { return life_ == Life::Down || life_ == Life::Up; });
    if (life_ != Life::Down) return false;
    life_ = Life::Starting;
    previous_teardown = std::move(last_teardown_);
  }
  OrvaTask::IOVTManager* tasks = OrvaTask::GetOVTManager();
  OrvaTask::TaskPtr process_teardown;
  {
    std::lock_guard lock(ProcessRunnerTeardown().mutex);
    process_teardown = ProcessRunnerTeardown().last;
  }
  // Their last tasks have run to their end: the old runner is gone, also
  // when another provider of the process made it.
  if (tasks && previous_teardown) tasks->WaitForTask(previous_teardown);
  if (tasks && process_teardown) tasks->WaitForTask(process_teardown);
  auto outcome = std::make_shared<bool>(false);
  std::weak_ptr<Impl> weak = weak_from_this();
  OrvaTask::TaskPtr task = OrvaTask::CreateOrvaTask(
      Attribute("proxy_resolve_wrapper_desc", std::string(), OrvaTask::SourceLocation::Current()),
      [weak, outcome, manager] {
        std::shared_ptr<Impl> self = weak.lock();
        if (!self) return;
        self->torn_down_ = false;
        self->service_ =
            self->factory_ ? self->factory_() : std::make_unique<ovProxyResolveServiceImpl>();
        if (self->service_) {
          std::lock_guard lock(self->trace_mutex_);
          self->service_->setTraceObserver(self->trace_observer_);
        }
        *outcome = self->service_ && self->service_->initialize(manager);
        if (!*outcome) self->service_.reset();
      });
  const bool posted =
      tasks &&
      tasks->CreateRunner(kResolveRunnerName, kResolveTaskGroup) != OrvaTask::kInvalidRunnerId &&
      tasks->PostTask(kResolveRunnerName, task);
  if (posted) tasks->WaitForTask(task);
  if (!posted || !*outcome) {
    if (posted) tasks->RemoveRunner(kResolveRunnerName);
    setLife(Life::Down, false);
    return false;
  }
  {
    std::lock_guard lock(delegate_mutex_);
    delegate_ = delegate;
  }
  setLife(Life::Up, true);
  return true;
}

void ovProxyResolveServiceProviderImpl::setLife(Life life, bool accepting) {
  {
    std::lock_guard lock(life_mutex_);
    life_ = life;
    initialized_ = accepting;
  }
  life_changed_.notify_all();
}

bool ovProxyResolveServiceProviderImpl::uninitialize() {
  OrvaTask::IOVTManager* tasks = OrvaTask::GetOVTManager();
  if (!tasks) return false;
  {
    std::lock_guard lock(life_mutex_);
    if (life_ != Life::Up) return false;
    // From here no request is accepted, so none can arrive after the runner
    // has gone through what it holds.
    life_ = Life::Closing;
    initialized_ = false;
  }
  scheduled_ = false;
  setDelegate(nullptr);

  auto outcome = std::make_shared<std::atomic<bool>>(false);
  std::weak_ptr<Impl> weak = weak_from_this();
  // Keyed, not grouped: no other component's clean-up by value drops it.
  OrvaTask::TaskPtr task =
      OrvaTask::CreateOrvaTask({.name = "proxy_resolve_teardown",
                                .location = OrvaTask::SourceLocation::Current(),
                                .unique_keys = {OrvaTask::GenerateUniqueKey(kWrapperKeyName)}},
                               [weak, outcome] {
                                 if (std::shared_ptr<Impl> self = weak.lock())
                                   *outcome = self->tearDownOnRunner();
                               });
  if (!tasks->PostTask(kResolveRunnerName, task)) {
    // No runner to go through: nothing runs there any more.
    *outcome = tearDownOnRunner();
    return *outcome;
  }
  if (OnResolveRunner()) {
    // Called from a callback: the tear-down runs once the callback returned.
    ovLog(LogLevel::kInfo, "RSVC_UNIRUN",
          "ProxyResolveService: uninitialize from a callback, finishing on the runner");
    return true;
  }
  // Waits for the service's tear-down only; the answers of the requests it
  // dropped run on the runner afterwards, not while this caller waits.
  tasks->WaitForTask(task);
  return *outcome;
}

bool ovProxyResolveServiceProviderImpl::tearDownOnRunner() {
  bool outcome = false;
  if (service_) outcome = service_->uninitialize();
  // Dropping the service drops its requests; their answers were posted to
  // this runner as they went, and the runner is removed after them.
  service_.reset();
  torn_down_ = true;
  OrvaTask::IOVTManager* tasks = OrvaTask::GetOVTManager();
  std::weak_ptr<Impl> weak = weak_from_this();
  // Neither keyed nor grouped: whatever else is dropped, the runner goes.
  OrvaTask::TaskPtr finish = OrvaTask::CreateOrvaTask(
      {.name = "proxy_resolve_remove_runner", .location = OrvaTask::SourceLocation::Current()},
      [weak] { FinishTeardown(weak.lock().get()); });
  {
    std::lock_guard lock(life_mutex_);
    last_teardown_ = finish;
  }
  {
    std::lock_guard lock(ProcessRunnerTeardown().mutex);
    ProcessRunnerTeardown().last = finish;
  }
  if (!tasks || !tasks->PostTask(kResolveRunnerName, finish)) FinishTeardown(this);
  return outcome;
}

void ovProxyResolveServiceProviderImpl::FinishTeardown(Impl* self) {
  // From the runner's own thread: the timer and whatever else is still
  // queued go with it. Also when the Impl went meanwhile, so that no runner
  // is left behind.
  if (OrvaTask::IOVTManager* tasks = OrvaTask::GetOVTManager()) {
    tasks->RemoveRunner(kResolveRunnerName);
  }
  if (self) self->setLife(Life::Down, false);
}

bool ovProxyResolveServiceProviderImpl::shutDown() {
  if (OnResolveRunner()) {
    ovLog(LogLevel::kError, "RSVC_SHTRUN",
          "ProxyResolveService: module unload refused on the resolve runner");
    return false;
  }
  uninitialize();
  OrvaTask::TaskPtr last;
  {
    std::unique_lock lock(life_mutex_);
    life_changed_.wait(lock, [this] { return life_ == Life::Down || life_ == Life::Up; });
    last = last_teardown_;
  }
  // Returns once the runner's last task returned: no code of the module
  // runs on it any more.
  if (OrvaTask::IOVTManager* tasks = OrvaTask::GetOVTManager(); tasks && last) {
    tasks->WaitForTask(last);
  }
  return true;
}

bool ovProxyResolveServiceProviderImpl::resolve(const std::string& url, const std::string& extra,
                                                ResolveCallback callback,
                                                const std::string& requestId, int timeoutMs) {
  if (!initialized_) return false;
  const std::string full_url = url.find("://") == std::string::npos ? "https://" + url : url;
  std::shared_ptr<ovAnswerOnce> answer = ovAnswerOnce::Make(requestId, std::move(callback));
  bool posted = false;
  {
    // Held across the post, so that uninitialize cannot close between the
    // check and the post and leave this request behind its tear-down.
    std::lock_guard lock(life_mutex_);
    posted = initialized_ && post([full_url, extra, requestId, timeoutMs,
                                   callback = answer->callback()](Impl& self) {
               if (!self.service_) {
                 deliverResult(requestId, ovProxyInfo(),
                               self.torn_down_ ? e_cancelled : e_not_initialized, callback);
                 return;
               }
               if (self.service_->resolve(full_url, extra, callback, requestId, timeoutMs) ==
                       e_pending &&
                   timeoutMs > 0) {
                 self.scheduleTimeoutCheck();
               }
             });
  }
  // A refused request is the caller's to handle: it is never answered.
  if (!posted) answer->disarm();
  return posted;
}

void ovProxyResolveServiceProviderImpl::scheduleTimeoutCheck() {
  if (!service_ || scheduled_.exchange(true)) return;
  OrvaTask::IOVTManager* tasks = OrvaTask::GetOVTManager();
  std::weak_ptr<Impl> weak = weak_from_this();
  OrvaTask::TaskPtr task = OrvaTask::CreateOrvaTask(
      Attribute("ProxyTimeoutCheckTask", std::string(), OrvaTask::SourceLocation::Current()),
      [weak] {
        if (std::shared_ptr<Impl> self = weak.lock()) self->checkTimeoutTasks();
      });
  if (!tasks || !tasks->PostDelayedTask(kResolveRunnerName, task, kTimeoutCheckPeriod)) {
    scheduled_ = false;
  }
}

void ovProxyResolveServiceProviderImpl::checkTimeoutTasks() {
  scheduled_ = false;
  if (!service_) return;
  bool more = false;
  service_->checkTimeouts(more);
  if (more) scheduleTimeoutCheck();
}

eErrorCode ovProxyResolveServiceProviderImpl::resolveSync(const std::string& url,
                                                          const std::string& extra,
                                                          const std::string& requestId,
                                                          ovProxyInfo& info, int timeoutMs) {
  if (!initialized_) return e_not_initialized;
  if (!tracing_.load(std::memory_order_relaxed) && answerFromCache(url, requestId, info)) {
    return e_success;
  }
  auto state = std::make_shared<SyncResolveState>();
  ResolveCallback callback = [state](const std::string& id, const ovProxyInfo& answer,
                                     eErrorCode error) {
    if (state->abandoned) return;
    {
      std::lock_guard lock(state->mutex);
      if (state->abandoned) return;
      state->request_id = id;
      state->answer = answer;
      state->error = error;
      state->done = true;
    }
    state->cv.notify_one();
  };
  if (!resolve(url, extra, std::move(callback), requestId, 0)) {
    // Never posted: nobody will answer.
    return initialized_ ? e_failed : e_not_initialized;
  }

  const int64_t deadline_us = Tav::TimeTicks::Now() + int64_t{timeoutMs} * 1000;
  auto answered = [&] {
    std::unique_lock lock(state->mutex);
    if (!state->done && timeoutMs > 0) {
      for (int64_t now = Tav::TimeTicks::Now(); !state->done && now < deadline_us;
           now = Tav::TimeTicks::Now()) {
        state->cv.wait_for(lock, std::chrono::microseconds(deadline_us - now));
      }
    }
    if (state->done) {
      info = state->answer;
      return true;
    }
    state->abandoned = true;
    return false;
  };
  bool done = false;
  {
    std::lock_guard lock(state->mutex);
    done = state->done;
  }
  if (!done && timeoutMs > 0) {
    // A test clock moves without real time passing: look at it again then.
    const Tav::ClockListenerId listener = Tav::AddClockListener([state] {
      { std::lock_guard lock(state->mutex); }
      state->cv.notify_all();
    });
    done = answered();
    Tav::RemoveClockListener(listener);
  } else {
    done = answered();
  }
  if (done) return state->error;
  cancelResolve(requestId);
  return e_request_timeout;
}

bool ovProxyResolveServiceProviderImpl::answerFromCache(const std::string& url,
                                                        const std::string& requestId,
                                                        ovProxyInfo& info) {
  // Reached only once initialised: a lookup of the provider alone does not
  // join the data-sync bus.
  ovProxyInfoMode* source = cache_source_ ? cache_source_ : ovProxyInfoModeImpl::GetInstance();
  std::shared_ptr<ovProxyHostCacheMode> cache = source->getHostCacheMode();
  if (!cache || !cache->isHostCacheEnabled()) return false;
  const std::string full_url = url.find("://") == std::string::npos ? "https://" + url : url;
  ovProxyInfo cached;
  if (url.empty() || !cache->lookup(ovProxyResolveServiceImpl::hostKey(full_url), cached)) {
    return false;
  }
  ovLog(LogLevel::kInfo, "RSVC_CACHIT",
        "ProxyResolveService: Cache hit - requestId=" + requestId + ", url=*****");
  appendDirectFallback(cached, e_success);
  info = std::move(cached);
  return true;
}

void ovProxyResolveServiceProviderImpl::cancelResolve(const std::string& requestId) {
  if (!initialized_) return;
  post([requestId](Impl& self) {
    if (self.service_) self.service_->cancel(requestId);
  });
}

void ovProxyResolveServiceProviderImpl::setTraceObserver(
    std::shared_ptr<ovResolveTraceObserver> observer) {
  {
    std::lock_guard lock(trace_mutex_);
    trace_observer_ = observer;
    tracing_.store(observer != nullptr, std::memory_order_relaxed);
  }
  // Requests posted after this see it: the runner runs work in posting order.
  post([observer = std::move(observer)](Impl& self) {
    if (self.service_) self.service_->setTraceObserver(observer);
  });
}

void ovProxyResolveServiceProviderImpl::setDelegate(ovProxyServiceDelegate* delegate) {
  std::lock_guard lock(delegate_mutex_);
  if (delegate_ && delegate_ != delegate) delegate_->setNetStateObserver(nullptr);
  delegate_ = delegate;
  if (delegate_) delegate_->setNetStateObserver(this);
}

ovProxyServiceDelegate* ovProxyResolveServiceProviderImpl::getDelegate() const {
  std::lock_guard lock(delegate_mutex_);
  return delegate_;
}

void ovProxyResolveServiceProviderImpl::OnNetworkStateChanged(ovNetworkState state,
                                                              const std::string& networkName) {
  if (!initialized_) return;
  post([state, networkName](Impl& self) {
    if (self.service_) self.service_->OnNetworkStateChanged(state, networkName);
  });
}

void ovProxyResolveServiceProviderImpl::OnNetSettingChange(int setting) {
  if (!initialized_) return;
  post([setting](Impl& self) {
    if (self.service_) self.service_->OnNetSettingChange(setting);
  });
}

}  // namespace OVProxy
