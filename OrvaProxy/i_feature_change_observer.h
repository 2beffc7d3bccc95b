// IFeatureChangeObserver: told when the value of a named feature changes in
// one of its sources (in practice, the policy of a monitored feature).
//
// Thread: called on the thread that delivered the policy change, with the
// adapter's lock held by that thread; an observer may call back into the
// adapter there, but must not block on another thread that needs the
// adapter. Lifetime: owned by its registrant, who unregisters it before
// destroying it.
#pragma once

#include <string>

#include "OrvaProxy/feature_source.h"
#include "OrvaProxy/feature_value.h"

namespace OVProxy {

class IFeatureChangeObserver {
 public:
  virtual ~IFeatureChangeObserver() = default;
  virtual void OnFeatureChanged(const std::string& name, FeatureSource source,
                                const FeatureValue& value) = 0;
};

}  // namespace OVProxy
