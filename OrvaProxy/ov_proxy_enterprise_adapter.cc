#include "OrvaProxy/ov_proxy_enterprise_adapter.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <set>

#include "tavbiz/experiment_mgr.h"
#include "tavbiz/tav_feature_toggle.h"
#include "tavlib/tav_string_conv.h"

namespace OVProxy {
namespace {

using Lock = std::lock_guard<std::recursive_mutex>;

struct BuiltInFeature {
  const char* name;
  oPolicyId policy_id;
  FeatureValue::Type type;
  bool monitored;
};

constexpr BuiltInFeature kBuiltInFeatures[] = {
    {"ProxyDirectFirstFlag", 52, FeatureValue::Type::Bool, true},
    {"TryPKRequestDirectFirst", 50, FeatureValue::Type::Bool, false},
    {"ProxyPKRequestDelay", 51, FeatureValue::Type::Int, false},
    {"UseWinINetResolveProxy", 47, FeatureValue::Type::Bool, false},
    {"UseWinINetProxyResolver", 0, FeatureValue::Type::Bool, false},
    {"DisableWinINetProxyResolver", 0, FeatureValue::Type::Bool, false},
};

// The white space std::isspace accepts in the "C" locale.
bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace

ovProxyEnterpriseAdapter* ovProxyEnterpriseAdapter::GetInstance() {
  static ovProxyEnterpriseAdapter instance;
  return &instance;
}

ovProxyEnterpriseAdapter::ovProxyEnterpriseAdapter() = default;

ovProxyEnterpriseAdapter::~ovProxyEnterpriseAdapter() {
  Uninitialize();
}

void ovProxyEnterpriseAdapter::Initialize() {
  // Locked (recursively: the provider may report "ready" from inside the
  // subscription below), so that a concurrent getter never sees a half-built
  // table and a second caller finds the flag set.
  Lock lock(lock_);
  if (initialized_) return;
  experiment_mgr_ = ExperimentFramework::GetExperimentMgr();
  RegisterMonitoredFeatures();
  initialized_ = true;
}

void ovProxyEnterpriseAdapter::Uninitialize() {
  Lock lock(lock_);
  if (!initialized_) return;
  if (policy_provider_ != nullptr) policy_provider_->UnsubscribePolicyUpdate(this);
  policy_provider_ = nullptr;
  experiment_mgr_ = nullptr;
  features_.clear();
  initialized_ = false;
}

void ovProxyEnterpriseAdapter::RegisterMonitoredFeatures() {
  Lock lock(lock_);
  for (const BuiltInFeature& feature : kBuiltInFeatures) {
    RegisterFeature(feature.name, feature.policy_id, feature.type, feature.monitored);
  }
  policy_provider_ = opref::GetPolicyProvider();
  if (policy_provider_ != nullptr) {
    std::set<oPolicyId> ids;
    for (const auto& [name, entry] : features_) {
      if (entry.monitored && entry.policy_id != 0) ids.insert(entry.policy_id);
    }
    if (!ids.empty()) policy_provider_->SubscribePolicyUpdate(this, ids, 0, 0);
  }
  // Names first: a provider's "ready" above may not change the table, but an
  // observer it called could have.
  std::vector<std::string> names;
  for (const auto& [name, entry] : features_) names.push_back(name);
  for (const std::string& name : names) LoadFeature(name);
}

void ovProxyEnterpriseAdapter::RegisterFeature(const std::string& name, oPolicyId policyId,
                                               FeatureValue::Type type, bool monitored) {
  Lock lock(lock_);
  FeatureEntry entry;
  entry.name = name;
  entry.policy_id = policyId;
  entry.type = type;
  entry.monitored = monitored;
  features_[name] = std::move(entry);
}

void ovProxyEnterpriseAdapter::LoadFeature(const std::string& name) {
  Lock lock(lock_);
  auto it = features_.find(name);
  if (it == features_.end()) return;
  // The sources never call back into the adapter from these queries.
  FeatureValue policy = QueryFromPolicyProvider(name);
  FeatureValue toggle = QueryFromFeatureToggleProvider(name);
  FeatureValue experiment = QueryFromExperimentProvider(name);
  it->second.policy_value = std::move(policy);
  it->second.toggle_value = std::move(toggle);
  it->second.experiment_value = std::move(experiment);
}

void ovProxyEnterpriseAdapter::RefreshAllFeatures() {
  Lock lock(lock_);
  if (!initialized_) return;
  std::vector<std::string> names;
  for (const auto& [name, entry] : features_) names.push_back(name);
  for (const std::string& name : names) LoadFeature(name);
}

const FeatureValue* ovProxyEnterpriseAdapter::SlotOf(const FeatureEntry& entry,
                                                     FeatureSource source) {
  switch (source) {
    case FeatureSource::Policy:
      return &entry.policy_value;
    case FeatureSource::FeatureToggle:
      return &entry.toggle_value;
    case FeatureSource::Experiment:
      return &entry.experiment_value;
  }
  return nullptr;
}

FeatureValue ovProxyEnterpriseAdapter::ReadFeature(const std::string& name, FeatureSource source,
                                                   oPolicyId policyId, bool monitor,
                                                   FeatureValue::Type type) {
  Lock lock(lock_);
  auto it = features_.find(name);
  if (it == features_.end()) {
    if (policyId == 0 && type != FeatureValue::Type::String) return {};
    RegisterFeature(name, policyId, type, monitor);
    LoadFeature(name);
    if (monitor && initialized_ && policy_provider_ != nullptr && policyId != 0) {
      policy_provider_->SubscribePolicyUpdate(this, {policyId}, 0, 0);
    }
    it = features_.find(name);
    if (it == features_.end()) return {};
  }
  const FeatureValue* slot = SlotOf(it->second, source);
  return slot != nullptr ? *slot : FeatureValue{};
}

bool ovProxyEnterpriseAdapter::GetFeatureBool(const std::string& name, FeatureSource source,
                                              bool defaultValue, oPolicyId policyId) {
  return GetFeatureBoolImpl(name, source, defaultValue, policyId, false);
}

int32_t ovProxyEnterpriseAdapter::GetFeatureInt(const std::string& name, FeatureSource source,
                                                int32_t defaultValue, oPolicyId policyId) {
  return GetFeatureIntImpl(name, source, defaultValue, policyId, false);
}

std::string ovProxyEnterpriseAdapter::GetFeatureString(const std::string& name,
                                                       FeatureSource source,
                                                       const std::string& defaultValue,
                                                       oPolicyId policyId) {
  return GetFeatureStringImpl(name, source, defaultValue, policyId, false);
}

bool ovProxyEnterpriseAdapter::GetFeatureBoolImpl(const std::string& name, FeatureSource source,
                                                  bool defaultValue, oPolicyId policyId,
                                                  bool monitor) {
  const FeatureValue value = ReadFeature(name, source, policyId, monitor, FeatureValue::Type::Bool);
  return value.type == FeatureValue::Type::Bool ? value.bool_value : defaultValue;
}

int32_t ovProxyEnterpriseAdapter::GetFeatureIntImpl(const std::string& name, FeatureSource source,
                                                    int32_t defaultValue, oPolicyId policyId,
                                                    bool monitor) {
  const FeatureValue value = ReadFeature(name, source, policyId, monitor, FeatureValue::Type::Int);
  return value.type == FeatureValue::Type::Int ? value.int_value : defaultValue;
}

std::string ovProxyEnterpriseAdapter::GetFeatureStringImpl(const std::string& name,
                                                           FeatureSource source,
                                                           const std::string& defaultValue,
                                                           oPolicyId policyId, bool monitor) {
  FeatureValue value = ReadFeature(name, source, policyId, monitor, FeatureValue::Type::String);
  if (value.type != FeatureValue::Type::String) return defaultValue;
  return std::move(value.string_value);
}

bool ovProxyEnterpriseAdapter::HasFeature(const std::string& name) {
  return HasFeatureInSource(name, FeatureSource::Policy) ||
         HasFeatureInSource(name, FeatureSource::FeatureToggle) ||
         HasFeatureInSource(name, FeatureSource::Experiment);
}

bool ovProxyEnterpriseAdapter::HasFeatureInSource(const std::string& name, FeatureSource source) {
  Lock lock(lock_);
  auto it = features_.find(name);
  if (it != features_.end()) {
    const FeatureValue* slot = SlotOf(it->second, source);
    return slot != nullptr && !slot->is_none();
  }
  switch (source) {
    case FeatureSource::Policy:
      return !QueryFromPolicyProvider(name).is_none();
    case FeatureSource::FeatureToggle:
      return !QueryFromFeatureToggleProvider(name).is_none();
    case FeatureSource::Experiment:
      return !QueryFromExperimentProvider(name).is_none();
  }
  return false;
}

void ovProxyEnterpriseAdapter::RegisterFeatureObserver(const std::string& name,
                                                       IFeatureChangeObserver* observer) {
  if (observer == nullptr) return;
  Lock lock(lock_);
  if (!features_.contains(name)) return;
  observers_[name].push_back(observer);
}

void ovProxyEnterpriseAdapter::UnregisterFeatureObserver(const std::string& name,
                                                         IFeatureChangeObserver* observer) {
  if (observer == nullptr) return;
  Lock lock(lock_);
  auto it = observers_.find(name);
  if (it == observers_.end()) return;
  std::erase(it->second, observer);
  if (it->second.empty()) observers_.erase(it);
}

void ovProxyEnterpriseAdapter::NotifyFeatureChange(const std::string& name, FeatureSource source,
                                                   const FeatureValue& value) {
  std::vector<IFeatureChangeObserver*> observers;
  {
    Lock lock(lock_);
    auto it = observers_.find(name);
    if (it == observers_.end()) return;
    observers = it->second;
  }
  for (IFeatureChangeObserver* observer : observers) {
    if (observer != nullptr) observer->OnFeatureChanged(name, source, value);
  }
}

void ovProxyEnterpriseAdapter::OnPolicyReady() {
  // The provider is queried under the lock, as LoadFeature does: a value
  // read outside it could land after a newer one read by a concurrent
  // update and overwrite it. The provider never calls back from a query, so
  // this adds no lock-order hazard.
  Lock lock(lock_);
  std::vector<std::string> names;
  for (const auto& [name, entry] : features_) names.push_back(name);
  for (const std::string& name : names) {
    auto it = features_.find(name);
    if (it == features_.end()) continue;  // an observer changed the table
    FeatureValue result = QueryFromPolicyProvider(name);
    it->second.policy_value = result;
    if (it->second.monitored && !result.is_none()) {
      NotifyFeatureChange(name, FeatureSource::Policy, result);
    }
  }
}

void ovProxyEnterpriseAdapter::OnPolicyUpdated(const opref::PolicyUpdateMap& updated) {
  Lock lock(lock_);
  // Every monitored feature with an updated id (several names may share one
  // policy), in name order.
  std::vector<std::string> names;
  for (const auto& [name, entry] : features_) {
    if (entry.monitored && entry.policy_id != 0 && updated.contains(entry.policy_id)) {
      names.push_back(name);
    }
  }
  for (const std::string& name : names) {
    auto it = features_.find(name);
    if (it == features_.end()) continue;  // an observer changed the table
    const FeatureValue before = it->second.policy_value;
    FeatureValue after = QueryFromPolicyProvider(name);
    it->second.policy_value = after;
    const bool changed =
        after.is_none() || before.is_none() || (before.type == after.type && before != after);
    if (changed) NotifyFeatureChange(name, FeatureSource::Policy, after);
  }
}

FeatureValue ovProxyEnterpriseAdapter::QueryPolicy(oPolicyId policyId, FeatureValue::Type type) {
  if (policyId == 0) return {};
  switch (type) {
    case FeatureValue::Type::Bool: {
      int32_t value = 0;
      if (Tav::QueryBooleanPolicyValueFromMemory(policyId, value, nullptr, nullptr, nullptr) == 0) {
        return {};
      }
      return FeatureValue::FromBool(value == 1);
    }
    case FeatureValue::Type::Int: {
      int32_t value = 0;
      if (Tav::QueryInt32PolicyValueFromMemory(policyId, value, nullptr, nullptr, nullptr) == 0) {
        return {};
      }
      return FeatureValue::FromInt(value);
    }
    case FeatureValue::Type::String: {
      std::wstring value;
      if (Tav::QueryStringPolicyValueFromMemory(policyId, value, nullptr, nullptr, nullptr) == 0) {
        return {};
      }
      return FeatureValue::FromString(Tav::WideToUTF8(value));
    }
    case FeatureValue::Type::None:
      break;
  }
  return {};
}

FeatureValue ovProxyEnterpriseAdapter::QueryFromPolicyProvider(const std::string& name) {
  Lock lock(lock_);
  auto it = features_.find(name);
  if (it == features_.end()) return {};
  return QueryPolicy(it->second.policy_id, it->second.type);
}

FeatureValue ovProxyEnterpriseAdapter::QueryFromFeatureToggleProvider(const std::string& name) {
  std::string text;
  if (Tav::QueryFeatureToggle(Tav::UTF8ToSystemCodePage(name), toggle_group_, "", text) == 0) {
    return {};
  }
  text = Tav::SystemCodePageToUTF8(text);
  if (text == "true" || text == "false" || text == "1" || text == "0") {
    return FeatureValue::FromBool(ParseBoolFromString(text));
  }
  if (text.empty()) return FeatureValue::FromString(std::string());
  if (std::isdigit(static_cast<unsigned char>(text[0])) != 0 || text[0] == '-') {
    return FeatureValue::FromInt(ParseIntFromString(text));
  }
  return FeatureValue::FromString(std::move(text));
}

FeatureValue ovProxyEnterpriseAdapter::QueryFromExperimentProvider(const std::string& name) {
  Lock lock(lock_);
  if (experiment_mgr_ == nullptr) return {};
  // A test that is off has no value, rather than the value false.
  return experiment_mgr_->IsTestEnabled(name) ? FeatureValue::FromBool(true) : FeatureValue{};
}

bool ovProxyEnterpriseAdapter::ParseBoolFromString(const std::string& text) {
  return text == "true" || text == "True" || text == "TRUE" || text == "1";
}

int32_t ovProxyEnterpriseAdapter::ParseIntFromString(const std::string& text) {
  std::size_t i = 0;
  while (i < text.size() && IsSpace(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  std::size_t end = i;
  while (end < text.size() && text[end] >= '0' && text[end] <= '9') ++end;
  if (end == i) return 0;
  // Parse sign and digits together so that the most negative value fits.
  std::string digits = (negative ? "-" : "") + text.substr(i, end - i);
  int32_t value = 0;
  const auto [ptr, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  return error == std::errc() ? value : 0;
}

}  // namespace OVProxy
