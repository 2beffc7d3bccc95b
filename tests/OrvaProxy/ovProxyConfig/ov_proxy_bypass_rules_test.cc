#include "OrvaProxy/ovProxyConfig/ov_proxy_bypass_rules.h"

#include <gtest/gtest.h>

#include "onetutils/onet_system_info_provider.h"
#include "onetutils/orva_url_utils.h"

namespace OVProxy {
namespace {

// Every case runs with the network utilities present and without them: both
// roads must give the same host.
class BypassRules : public ::testing::TestWithParam<bool> {
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

  static ovProxyBypassRules Rules(std::string_view text) {
    ovProxyBypassRules rules;
    rules.ParseFromString(text);
    return rules;
  }
};

INSTANTIATE_TEST_SUITE_P(WithAndWithoutUtilities, BypassRules, ::testing::Bool(),
                         [](const auto& p) { return p.param ? "Utilities" : "Fallback"; });

TEST_P(BypassRules, Matching) {
  const struct {
    const char* rules;
    const char* url;
    bool bypassed;
  } cases[] = {
      {"corp.example", "https://corp.example:8443/x", true},
      {"corp.example", "https://evilcorp.example", false},
      {"corp.example", "https://corp.example@evil.example/", false},
      {".corp.example", "https://a.corp.example", false},
      {"*.corp.example", "https://a.corp.example", true},
      {"*corp.example", "https://evilcorp.example", true},
      {"a*.example", "https://ab.example", false},
      {"<local>", "http://intranet:8080/x", true},
      {"<local>", "http://10.1.2.3/", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Rules(c.rules).Matches(c.url, false), c.bypassed) << c.rules << " " << c.url;
  }
}

TEST_P(BypassRules, ImplicitRulesLookAtTheHostOnly) {
  const std::pair<const char*, bool> cases[] = {
      {"http://localhost/x", true},
      {"http://127.0.0.1:8080/", true},
      {"http://[::1]:8080/", true},
      {"http://169.254.10.20/", true},
      {"http://localhost.evil.example/", false},
      {"http://example.org/?next=http://localhost/", false},
      {"http://localhost@evil.example/", false},
      {"http://128.0.0.1/", false},
  };
  const ovProxyBypassRules none;
  for (const auto& [url, bypassed] : cases) {
    EXPECT_EQ(ovProxyBypassRules::MatchesImplicitRules(url), bypassed) << url;
    EXPECT_EQ(none.Matches(url, false), bypassed) << url;
    EXPECT_EQ(none.Matches(url, true), !bypassed) << url;
  }
  // Without a host nothing explicit matches; inverted, that goes direct.
  EXPECT_FALSE(Rules("*").Matches("", false));
  EXPECT_TRUE(Rules("*").Matches("", true));
}

}  // namespace
}  // namespace OVProxy
