// A test parameter for bypass cases: true runs a case with the network
// utilities present, false with them overridden away, so that both roads of
// host parsing are held to the same answers.
#pragma once

#include <gtest/gtest.h>

#include <optional>

#include "onetutils/onet_system_info_provider.h"
#include "onetutils/orva_url_utils.h"

namespace OVProxy::ovtest_config {

class WithAndWithoutUrlUtils : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    if (!GetParam()) {
      ONet::OverrideOrvaUrlUtilsForTesting(nullptr);
      ONet::OverrideONetSystemInfoProviderForTesting(nullptr);
    }
  }
  void TearDown() override {
    ONet::OverrideOrvaUrlUtilsForTesting(std::nullopt);
    ONet::OverrideONetSystemInfoProviderForTesting(std::nullopt);
  }
};

inline const char* UrlUtilsCaseName(const ::testing::TestParamInfo<bool>& info) {
  return info.param ? "Utilities" : "Fallback";
}

}  // namespace OVProxy::ovtest_config
