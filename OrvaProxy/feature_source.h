// FeatureSource: which of a feature's three independent sources a query
// reads. The adapter never merges sources; the caller always names one.
// Any value other than the three below selects nothing.
#pragma once

#include <cstdint>

namespace OVProxy {

enum class FeatureSource : int32_t {
  Policy = 0,         // enterprise policy, by the feature's policy id
  FeatureToggle = 1,  // feature toggle, by name
  Experiment = 2,     // experiment, by name (only "enabled" is a value)
};

}  // namespace OVProxy
