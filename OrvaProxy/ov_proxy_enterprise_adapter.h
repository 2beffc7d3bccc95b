// ovProxyEnterpriseAdapter: the process-wide answer to "what is the value of
// feature X in source Y?", for this library and for other modules (which
// find it under "IOrvaProxyEnterpriseAdapter").
//
// Each registered feature has a cached value per source: its policy (read
// from the policy provider's memory by the feature's policy id), its feature
// toggle and its experiment. Values are loaded when a feature is registered
// through a getter, by RefreshAllFeatures, and, for policies, when the
// provider reports that it is ready or that policies changed; observers of a
// monitored feature hear of policy changes.
//
// Toggle texts are typed: exactly "true", "false", "1", "0" are booleans; ""
// is an empty string; text starting with a digit or "-" is an integer
// (ParseIntFromString); anything else is a string ("True" included). An
// experiment is a boolean true when enabled and has no value otherwise.
//
// Thread-safety: every operation holds the adapter's recursive lock while it
// reads or changes the tables, Initialize and RegisterFeature included, and
// the policy provider is queried under it too, so a value stored is never
// older than one stored before it. Observers are called with the lock held
// by the notifying thread (see IFeatureChangeObserver).
// Lifetime: GetInstance's adapter is created on first call and destroyed at
// process exit (Uninitialize runs then). An adapter must not outlive the
// policy provider it subscribed to in Initialize.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "OrvaProxy/feature_source.h"
#include "OrvaProxy/feature_value.h"
#include "OrvaProxy/i_feature_change_observer.h"
#include "OrvaProxy/i_ov_proxy_enterprise_adapter.h"
#include "OrvaProxy/ov_export.h"
#include "tavbiz/tav_policy.h"

namespace ExperimentFramework {
class IExperimentMgr;
}

namespace OVProxy {

class OV_PROXY_EXPORT ovProxyEnterpriseAdapter : public IOvProxyEnterpriseAdapter,
                                                 public opref::IPolicyUpdateObserver {
 public:
  static ovProxyEnterpriseAdapter* GetInstance();

  ~ovProxyEnterpriseAdapter() override;
  ovProxyEnterpriseAdapter(const ovProxyEnterpriseAdapter&) = delete;
  ovProxyEnterpriseAdapter& operator=(const ovProxyEnterpriseAdapter&) = delete;

  // IOvProxyEnterpriseAdapter
  // Takes the experiment manager, registers the built-in features, subscribes
  // to the monitored ones' policies and loads every feature. Once only.
  void Initialize() override;
  // Unsubscribes, forgets the experiment manager and every feature (not the
  // observers).
  void Uninitialize() override;
  bool GetFeatureBool(const std::string& name, FeatureSource source, bool defaultValue,
                      oPolicyId policyId) override;
  int32_t GetFeatureInt(const std::string& name, FeatureSource source, int32_t defaultValue,
                        oPolicyId policyId) override;
  std::string GetFeatureString(const std::string& name, FeatureSource source,
                               const std::string& defaultValue, oPolicyId policyId) override;
  void RegisterFeatureObserver(const std::string& name, IFeatureChangeObserver* observer) override;
  void UnregisterFeatureObserver(const std::string& name,
                                 IFeatureChangeObserver* observer) override;
  bool HasFeature(const std::string& name) override;
  void RefreshAllFeatures() override;

  // The getters with the monitor flag. An unregistered name is registered
  // and loaded here, except by the Bool and Int getters when the policy id is
  // 0; with `monitor`, an initialised adapter also subscribes to the policy.
  bool GetFeatureBoolImpl(const std::string& name, FeatureSource source, bool defaultValue,
                          oPolicyId policyId, bool monitor);
  int32_t GetFeatureIntImpl(const std::string& name, FeatureSource source, int32_t defaultValue,
                            oPolicyId policyId, bool monitor);
  std::string GetFeatureStringImpl(const std::string& name, FeatureSource source,
                                   const std::string& defaultValue, oPolicyId policyId,
                                   bool monitor);

  // Inserts or replaces the feature with no values; loads nothing.
  void RegisterFeature(const std::string& name, oPolicyId policyId, FeatureValue::Type type,
                       bool monitored);
  // Reads the three sources of a registered feature. No notification.
  void LoadFeature(const std::string& name);
  bool HasFeatureInSource(const std::string& name, FeatureSource source);
  // Calls the observers of `name` (a copy of the list, outside this call's
  // own hold of the lock).
  void NotifyFeatureChange(const std::string& name, FeatureSource source,
                           const FeatureValue& value);

  // opref::IPolicyUpdateObserver
  void OnPolicyReady() override;
  void OnPolicyUpdated(const opref::PolicyUpdateMap& updated) override;

  // True exactly for "true", "True", "TRUE" and "1".
  static bool ParseBoolFromString(const std::string& text);
  // Decimal, after leading white space and an optional sign; trailing text
  // ignored. No digits, or outside the 32-bit range: 0.
  static int32_t ParseIntFromString(const std::string& text);

 protected:
  // The module uses GetInstance; tests create their own adapters.
  ovProxyEnterpriseAdapter();

 private:
  struct FeatureEntry {
    std::string name;
    oPolicyId policy_id = 0;
    FeatureValue::Type type = FeatureValue::Type::None;
    bool monitored = false;
    FeatureValue policy_value;
    FeatureValue toggle_value;
    FeatureValue experiment_value;
  };

  void RegisterMonitoredFeatures();
  // The value of `source` for `name`, registering and loading the name as
  // the getters do.
  FeatureValue ReadFeature(const std::string& name, FeatureSource source, oPolicyId policyId,
                           bool monitor, FeatureValue::Type type);
  static const FeatureValue* SlotOf(const FeatureEntry& entry, FeatureSource source);
  static FeatureValue QueryPolicy(oPolicyId policyId, FeatureValue::Type type);
  FeatureValue QueryFromPolicyProvider(const std::string& name);
  FeatureValue QueryFromFeatureToggleProvider(const std::string& name);
  FeatureValue QueryFromExperimentProvider(const std::string& name);

  mutable std::recursive_mutex lock_;
  ExperimentFramework::IExperimentMgr* experiment_mgr_ = nullptr;
  // The provider subscribed to in Initialize, unsubscribed from in
  // Uninitialize.
  opref::IPolicyProvider* policy_provider_ = nullptr;
  bool initialized_ = false;
  std::map<std::string, FeatureEntry> features_;
  std::map<std::string, std::vector<IFeatureChangeObserver*>> observers_;
  std::string toggle_group_;
};

}  // namespace OVProxy
