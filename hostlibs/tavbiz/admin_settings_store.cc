#include "tavbiz/admin_settings_store.h"

#include <optional>
#include <utility>

#include "platform/os/ov_os.h"

namespace Tav {
namespace {

// Ids whose value was added, removed or changed between `before` and `after`.
std::set<opref::oPolicyId> ChangedPolicies(
    const std::map<opref::oPolicyId, opref::PolicyValue>& before,
    const std::map<opref::oPolicyId, opref::PolicyValue>& after) {
  std::set<opref::oPolicyId> changed;
  for (const auto& [id, value] : before) {
    auto it = after.find(id);
    if (it == after.end() || it->second != value) changed.insert(id);
  }
  for (const auto& [id, value] : after) {
    if (!before.contains(id)) changed.insert(id);
  }
  return changed;
}

std::string JoinProblems(const std::vector<std::string>& problems) {
  constexpr std::size_t kMaxListed = 5;
  std::string out;
  for (std::size_t i = 0; i < problems.size() && i < kMaxListed; ++i) {
    if (i > 0) out += "; ";
    out += problems[i];
  }
  if (problems.size() > kMaxListed) out += "; ...";
  return out;
}

}  // namespace

AdminSettingsStore::AdminSettingsStore(std::string sourceName, SourceReader reader, LogSink sink)
    : source_name_(std::move(sourceName)), reader_(std::move(reader)), sink_(std::move(sink)) {}

AdminSettingsStore::~AdminSettingsStore() = default;

AdminSettingsStore::SourceReader AdminSettingsStore::FileReader(std::string path) {
  // Through the operating-system layer: on Windows the path is UTF-8 and the
  // layer reads it with the wide-character calls, where a std::filesystem
  // path made from narrow text would read it in the ANSI code page.
  return [path = std::move(path)]() -> AdminSettingsSource {
    ovplatform::Os& os = ovplatform::GetOs();
    AdminSettingsSource source;
    if (!os.FileExists(path)) {
      source.status = AdminSettingsSource::Status::kMissing;
      return source;
    }
    source.status = AdminSettingsSource::Status::kUnreadable;
    std::optional<std::string> text = os.ReadFile(path, kMaxAdminSettingsBytes);
    if (!text) {
      source.error = "not a readable regular file of at most " +
                     std::to_string(kMaxAdminSettingsBytes) + " bytes";
      return source;
    }
    source.status = AdminSettingsSource::Status::kOk;
    source.text = std::move(*text);
    return source;
  };
}

AdminSettings AdminSettingsStore::Load(const AdminSettingsSource& source, bool* failed) {
  const auto log = [this](int32_t level, const std::string& message) {
    if (sink_) sink_(level, message);
  };
  *failed = true;
  switch (source.status) {
    case AdminSettingsSource::Status::kMissing:
      log(3, "AdminSettings: file missing, no values - path=" + source_name_);
      return {};
    case AdminSettingsSource::Status::kUnreadable:
      log(3, "AdminSettings: file unreadable, no values - path=" + source_name_ +
                 ", error=" + source.error);
      return {};
    case AdminSettingsSource::Status::kOk:
      break;
  }
  AdminSettingsParseResult parsed = ParseAdminSettings(source.text);
  if (!parsed.valid) {
    log(3, "AdminSettings: file malformed, no values - path=" + source_name_ +
               ", error=" + JoinProblems(parsed.problems));
    return {};
  }
  *failed = false;
  if (!parsed.problems.empty()) {
    log(3, "AdminSettings: entries ignored - path=" + source_name_ +
               ", count=" + std::to_string(parsed.problems.size()) +
               ", problems=" + JoinProblems(parsed.problems));
  }
  std::size_t toggles = 0;
  for (const auto& [group, names] : parsed.settings.toggles) toggles += names.size();
  log(2, "AdminSettings: loaded - path=" + source_name_ +
             ", policies=" + std::to_string(parsed.settings.policies.size()) +
             ", toggles=" + std::to_string(toggles) +
             ", experiments=" + std::to_string(parsed.settings.experiments.size()));
  return std::move(parsed.settings);
}

void AdminSettingsStore::CheckForChanges() {
  std::lock_guard<std::mutex> check(check_mutex_);
  AdminSettingsSource source;
  try {
    if (reader_) source = reader_();
  } catch (const std::exception& e) {
    source = AdminSettingsSource{AdminSettingsSource::Status::kUnreadable, {}, e.what()};
  }
  if (last_source_ && *last_source_ == source) return;
  last_source_ = source;

  bool failed = false;
  AdminSettings fresh = Load(source, &failed);
  AdminSettings before;
  bool first = false;
  std::vector<opref::IPolicyUpdateObserver*> observers;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    before = std::exchange(settings_, fresh);
    first = !ready_;
    ready_ = true;
    for (const auto& [observer, subscription] : subscribers_) observers.push_back(observer);
  }

  if (first) {
    for (opref::IPolicyUpdateObserver* observer : observers) {
      if (failed && IsSubscribed(observer)) observer->OnPolicyLoadFailed();
      if (IsSubscribed(observer)) observer->OnPolicyReady();
    }
    return;
  }

  const std::set<opref::oPolicyId> changed = ChangedPolicies(before.policies, fresh.policies);
  std::map<opref::oPolicyId, opref::ConfigItem> items;
  for (opref::oPolicyId id : changed) {
    auto it = fresh.policies.find(id);
    items.emplace(id, opref::ConfigItem(id, it == fresh.policies.end()
                                                ? std::nullopt
                                                : std::optional<opref::PolicyValue>(it->second)));
  }
  for (opref::IPolicyUpdateObserver* observer : observers) {
    if (failed && IsSubscribed(observer)) observer->OnPolicyLoadFailed();
    if (IsSubscribed(observer)) observer->OnPolicyReloaded();
    const std::optional<Subscription> subscription = SubscriptionOf(observer);
    if (!subscription) continue;
    opref::PolicyUpdateMap updated;
    for (opref::oPolicyId id : Filter(*subscription, changed)) updated[id] = &items.at(id);
    if (!updated.empty()) observer->OnPolicyUpdated(updated);
  }
}

std::vector<opref::oPolicyId> AdminSettingsStore::Filter(
    const Subscription& subscription, const std::set<opref::oPolicyId>& changed) {
  std::vector<opref::oPolicyId> out;
  for (opref::oPolicyId id : changed) {
    if (subscription.all || subscription.ids.contains(id)) out.push_back(id);
  }
  return out;
}

bool AdminSettingsStore::IsReady() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return ready_;
}

AdminSettings AdminSettingsStore::Snapshot() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return settings_;
}

bool AdminSettingsStore::IsSubscribed(opref::IPolicyUpdateObserver* observer) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return subscribers_.contains(observer);
}

std::optional<AdminSettingsStore::Subscription> AdminSettingsStore::SubscriptionOf(
    opref::IPolicyUpdateObserver* observer) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = subscribers_.find(observer);
  if (it == subscribers_.end()) return std::nullopt;
  return it->second;
}

std::optional<opref::PolicyValue> AdminSettingsStore::GetPolicyValue(opref::oPolicyId id) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = settings_.policies.find(id);
  if (it == settings_.policies.end()) return std::nullopt;
  return it->second;
}

bool AdminSettingsStore::SubscribePolicyUpdate(opref::IPolicyUpdateObserver* observer,
                                               const std::set<opref::oPolicyId>& ids,
                                               uint32_t /*reserved1*/, uint32_t /*reserved2*/) {
  if (observer == nullptr) return false;
  bool deliver_ready = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto [it, inserted] = subscribers_.try_emplace(observer);
    if (ids.empty()) it->second.all = true;
    it->second.ids.insert(ids.begin(), ids.end());
    deliver_ready = inserted && ready_;
  }
  if (deliver_ready) observer->OnPolicyReady();
  return true;
}

void AdminSettingsStore::UnsubscribePolicyUpdate(opref::IPolicyUpdateObserver* observer) {
  std::lock_guard<std::mutex> lock(mutex_);
  subscribers_.erase(observer);
}

std::optional<std::string> AdminSettingsStore::GetFeatureToggle(std::string_view name,
                                                                std::string_view group) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto g = settings_.toggles.find(std::string(group));
  if (g == settings_.toggles.end()) return std::nullopt;
  auto t = g->second.find(std::string(name));
  if (t == g->second.end()) return std::nullopt;
  return t->second;
}

void AdminSettingsStore::SetExperimentDefaults(std::map<std::string, bool> defaults) {
  std::lock_guard<std::mutex> lock(mutex_);
  experiment_defaults_ = {defaults.begin(), defaults.end()};
}

std::vector<std::string> AdminSettingsStore::GetEnabledTests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::map<std::string, bool> merged(experiment_defaults_.begin(), experiment_defaults_.end());
  for (const auto& [name, enabled] : settings_.experiments) merged[name] = enabled;
  std::vector<std::string> out;
  for (const auto& [name, enabled] : merged) {
    if (enabled) out.push_back(name);
  }
  return out;
}

bool AdminSettingsStore::IsTestEnabled(std::string_view name) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = settings_.experiments.find(std::string(name));
  if (it != settings_.experiments.end()) return it->second;
  auto fallback = experiment_defaults_.find(name);
  return fallback != experiment_defaults_.end() && fallback->second;
}

std::map<std::string, bool> BuiltInExperimentDefaults() {
  return {{"UseFileXfer", true}};
}

}  // namespace Tav
