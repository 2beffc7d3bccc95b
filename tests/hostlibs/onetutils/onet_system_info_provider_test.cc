#include "onetutils/onet_system_info_provider.h"

#include <gtest/gtest.h>

namespace ONet {
namespace {

TEST(ONetSystemInfoProvider, ClassifiesAddressLiterals) {
  IONetSystemInfoProvider* provider = GetONetSystemInfoProvider();
  ASSERT_NE(provider, nullptr);
  const std::pair<const char*, int> cases[] = {
      {"10.1.2.3", kAddressIPv4},     {"255.255.255.255", kAddressIPv4},
      {"::1", kAddressIPv6},          {"[::1]", kAddressIPv6},
      {"fe80::1%eth0", kAddressIPv6}, {"2001:db8::8a2e:370:7334", kAddressIPv6},
      {"1.2.3", kAddressNone},        {"256.1.1.1", kAddressNone},
      {"example.com", kAddressNone},  {"", kAddressNone},
      {"[example]", kAddressNone},    {"1.2.3.4.5", kAddressNone}};
  for (const auto& [host, kind] : cases) EXPECT_EQ(provider->GetAddressKind(host), kind) << host;
}

}  // namespace
}  // namespace ONet
