#include "OrvaProxy/ovProxyConfig/ov_proxy_bypass_rules.h"

#include <gtest/gtest.h>

#include "onetutils/onet_system_info_provider.h"
#include "onetutils/orva_url_utils.h"

namespace OVProxy {
namespace {

// Runs every case twice: with the network utilities present, and without
// them (the fallback host extraction and address test).
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
                         [](const auto& param_info) {
                           return param_info.param ? "Utilities" : "Fallback";
                         });

TEST_P(BypassRules, ParseSplitsTrimsAndRecognisesLocal) {
  ovProxyBypassRules rules = Rules(" corp.example ; other.example , <local>");
  ASSERT_EQ(rules.rules().size(), 2u);
  EXPECT_EQ(rules.rules()[0], "corp.example");
  EXPECT_EQ(rules.rules()[1], "other.example");
  EXPECT_TRUE(rules.bypass_simple_hostnames());
  EXPECT_EQ(rules.ToString(), "<local>;corp.example;other.example");

  EXPECT_EQ(Rules("in side.example").rules()[0], "inside.example");
  EXPECT_EQ(Rules("").ToString(), "");
  EXPECT_EQ(Rules(";;,,").rules().size(), 0u);
}

TEST_P(BypassRules, AddRuleAndEquality) {
  ovProxyBypassRules rules;
  EXPECT_FALSE(rules.AddRuleFromString(""));
  EXPECT_FALSE(rules.AddRuleFromString(" \t"));
  EXPECT_TRUE(rules.AddRuleFromString(" a.example\t"));
  EXPECT_TRUE(rules.AddRuleFromString("a.example"));  // duplicates are kept
  EXPECT_EQ(rules.ToString(), "a.example;a.example");

  ovProxyBypassRules other = rules;
  EXPECT_EQ(other, rules);
  other.PrependRuleToBypassSimpleHostnames();
  EXPECT_NE(other, rules);
  EXPECT_EQ(other.ToString(), "<local>;a.example;a.example");
  other.Clear();
  EXPECT_EQ(other, ovProxyBypassRules());
}

TEST_P(BypassRules, DomainRulesAreDotBoundedAndCaseSensitive) {
  ovProxyBypassRules rules = Rules("corp.example");
  EXPECT_TRUE(rules.Matches("http://corp.example/x", false));
  EXPECT_TRUE(rules.Matches("https://corp.example:8443/x", false));
  EXPECT_TRUE(rules.Matches("https://a.b.corp.example", false));
  EXPECT_FALSE(rules.Matches("https://evilcorp.example", false));
  EXPECT_FALSE(rules.Matches("https://CORP.EXAMPLE", false));
  EXPECT_FALSE(rules.Matches("https://corp.example.net", false));

  // A rule with a leading dot never matches a subdomain by suffix.
  EXPECT_FALSE(Rules(".corp.example").Matches("https://a.corp.example", false));
}

TEST_P(BypassRules, Wildcards) {
  ovProxyBypassRules sub = Rules("*.corp.example");
  EXPECT_TRUE(sub.Matches("https://a.corp.example", false));
  EXPECT_FALSE(sub.Matches("https://corp.example", false));

  ovProxyBypassRules both = Rules("*corp.example");
  EXPECT_TRUE(both.Matches("https://corp.example", false));
  EXPECT_TRUE(both.Matches("https://evilcorp.example", false));

  ovProxyBypassRules all = Rules("*");
  EXPECT_TRUE(all.Matches("https://anything.example", false));

  // A '*' that is not first is an ordinary byte.
  EXPECT_FALSE(Rules("a*.example").Matches("https://ab.example", false));
}

TEST_P(BypassRules, ImplicitLocalAddresses) {
  ovProxyBypassRules none;
  EXPECT_TRUE(none.Matches("http://localhost/x", false));
  EXPECT_TRUE(none.Matches("http://localhost.evil.example/", false));  // substring rule
  EXPECT_TRUE(none.Matches("http://127.0.0.1:8080/", false));
  EXPECT_TRUE(none.Matches("http://[::1]:8080/", false));
  EXPECT_TRUE(none.Matches("http://169.254.10.20/", false));
  EXPECT_FALSE(none.Matches("http://10.0.0.1/", false));
  EXPECT_FALSE(none.Matches("http://public.example/", false));
  EXPECT_TRUE(ovProxyBypassRules::MatchesImplicitRules("localhost"));
}

TEST_P(BypassRules, SimpleHostnamesWithLocal) {
  ovProxyBypassRules rules = Rules("<local>");
  EXPECT_TRUE(rules.Matches("http://intranet/", false));
  EXPECT_TRUE(rules.Matches("http://intranet:8080/x", false));
  EXPECT_FALSE(rules.Matches("http://10.1.2.3/", false));
  EXPECT_FALSE(rules.Matches("http://intranet.corp/", false));
  EXPECT_FALSE(Rules("").Matches("http://intranet/", false));
}

TEST_P(BypassRules, Invert) {
  ovProxyBypassRules none;
  EXPECT_TRUE(none.Matches("https://public.example/", true));
  EXPECT_FALSE(none.Matches("http://127.0.0.1/", true));
  // A URL without a host matches nothing explicit; inverted it goes direct.
  EXPECT_FALSE(Rules("*").Matches("", false));
  EXPECT_TRUE(Rules("*").Matches("", true));
}

}  // namespace
}  // namespace OVProxy
