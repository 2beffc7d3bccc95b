// IOvProxyEnterpriseAdapter: named feature switches read from enterprise
// policy, feature toggles or experiments, with change observers.
//
// Every getter carries the caller's default, returned when the chosen source
// has no value of the getter's type; the adapter stores no defaults. A
// policy id of 0 means "no policy". Names are compared byte-wise.
//
// Thread-safety: every operation may be called from any thread.
// Lifetime: the module's adapter (ovProxyEnterpriseAdapter::GetInstance)
// lives until the process exits.
#pragma once

#include <cstdint>
#include <string>

#include "OrvaProxy/feature_source.h"
#include "OrvaProxy/feature_value.h"
#include "OrvaProxy/i_feature_change_observer.h"
#include "tavbiz/tav_policy.h"

namespace OVProxy {

using opref::oPolicyId;

class IOvProxyEnterpriseAdapter {
 public:
  virtual ~IOvProxyEnterpriseAdapter() = default;

  virtual void Initialize() = 0;
  virtual void Uninitialize() = 0;
  virtual bool GetFeatureBool(const std::string& name, FeatureSource source, bool defaultValue,
                              oPolicyId policyId) = 0;
  virtual int32_t GetFeatureInt(const std::string& name, FeatureSource source, int32_t defaultValue,
                                oPolicyId policyId) = 0;
  virtual std::string GetFeatureString(const std::string& name, FeatureSource source,
                                       const std::string& defaultValue, oPolicyId policyId) = 0;
  // Observers of an unregistered name, and null observers, are ignored.
  virtual void RegisterFeatureObserver(const std::string& name,
                                       IFeatureChangeObserver* observer) = 0;
  virtual void UnregisterFeatureObserver(const std::string& name,
                                         IFeatureChangeObserver* observer) = 0;
  // Whether some source has a value for `name`.
  virtual bool HasFeature(const std::string& name) = 0;
  // Re-reads every registered feature from its sources (no notifications).
  virtual void RefreshAllFeatures() = 0;
};

}  // namespace OVProxy
