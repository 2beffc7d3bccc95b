// The DNS layer: what script lookups keep and when they ask again, and the
// machine's own addresses from the routing table and the interface list.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ovtest/fake_host_resolver.h"
#include "ovtest/manual_clock.h"
#include "platform/dns/ov_local_addresses.h"
#include "platform/dns/ov_script_dns.h"

namespace ovplatform {
namespace {

using std::chrono::seconds;

// The fake's answers on the calling thread: what is kept is under test here,
// not the bound (the engine's tests run lookups against their bound).
class InlineLookups final : public BoundedHostResolver {
 public:
  explicit InlineLookups(std::shared_ptr<HostResolver> inner) : inner_(std::move(inner)) {}
  std::optional<std::vector<std::string>> ResolveHostBefore(const std::string& host,
                                                            int64_t) override {
    return inner_->ResolveHost(host);
  }

 private:
  const std::shared_ptr<HostResolver> inner_;
};

TEST(ScriptDns, KeepsAnswersAndFailuresBriefly) {
  ovtest::ManualClock clock;
  auto fake = std::make_shared<ovtest::FakeHostResolver>(
      std::map<std::string, std::vector<std::string>>{{"a.example", {"192.0.2.1"}}});
  ScriptDns dns({.resolver = std::make_shared<InlineLookups>(fake),
                 .local = std::make_shared<ovtest::FakeLocalAddresses>(
                     std::vector<std::string>{"192.0.2.50"}),
                 .max_names = 4});
  const struct {
    const char* step;
    std::function<void()> act;  // before asking for a.example and b.example
    int a_lookups;              // lookups of each name so far
    int b_lookups;
  } steps[] = {
      {"first", [] {}, 1, 1},
      {"kept, answer and failure alike", [&] { clock.Advance(kScriptDnsKeep - seconds(1)); }, 1, 1},
      {"gone after the keep time", [&] { clock.Advance(seconds(1)); }, 2, 2},
      {"network change", [] { NoteScriptDnsNetworkChange(); }, 3, 3},
      {"a full table starts over",
       [&] {
         for (const char* name : {"c", "d", "e"}) dns.Resolve(name, 0);
       },
       4, 4},
      {"literals ask nothing", [&] { dns.Resolve("192.0.2.9", 0), dns.Resolve("::1", 0); }, 4, 4},
  };
  for (const auto& s : steps) {
    SCOPED_TRACE(s.step);
    s.act();
    EXPECT_EQ(dns.Resolve("a.example", 0), std::vector<std::string>{"192.0.2.1"});
    EXPECT_TRUE(dns.Resolve("b.example", 0).empty());
    EXPECT_EQ(fake->Lookups("a.example"), s.a_lookups);
    EXPECT_EQ(fake->Lookups("b.example"), s.b_lookups);
  }
  EXPECT_EQ(fake->Lookups("192.0.2.9") + fake->Lookups("::1"), 0);
  EXPECT_EQ(dns.LocalAddresses(), std::vector<std::string>{"192.0.2.50"});
}

TEST(LocalAddresses, DefaultRouteInterfaceFromTheRoutingTables) {
  const std::string header =
      "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n";
  const struct {
    const char* route;
    const char* expected;
  } v4[] = {
      {"eth0\t0002A8C0\t00000000\t0001\t0\t0\t100\t00FFFFFF\t0\t0\t0\n", ""},  // no default
      {"eth0\t00000000\t0102A8C0\t0003\t0\t0\t100\t00000000\t0\t0\t0\n"
       "wlan0\t00000000\t0101A8C0\t0003\t0\t0\t50\t00000000\t0\t0\t0\n",
       "wlan0"},                                                             // least metric
      {"tun0\t00000000\t00000000\t0000\t0\t0\t0\t00000000\t0\t0\t0\n", ""},  // not up
      {"garbage\n\t\n", ""},
  };
  for (const auto& c : v4)
    EXPECT_EQ(DefaultRouteInterface4(header + c.route), c.expected) << c.route;

  const std::string zero(32, '0');
  const std::string v6 =
      zero + " 00 " + zero + " 00 " + zero + " ffffffff 00000001 00000000 00200200       lo\n" +
      "20010db8000000000000000000000000 40 " + zero + " 00 " + zero +
      " 00000100 00000001 00000000 00000001     eth0\n" + zero + " 00 " + zero + " 00 " +
      "fe800000000000000000000000000001 00000400 00000001 00000000 00000003     eth1\n";
  EXPECT_EQ(DefaultRouteInterface6(v6), "eth1");
  EXPECT_EQ(DefaultRouteInterface6(""), "");
}

TEST(LocalAddresses, RankedDefaultRouteFirstLoopbackOnlyAlone) {
  const InterfaceAddress lo4{"lo", "127.0.0.1", false, true, false};
  const InterfaceAddress lo6{"lo", "::1", true, true, false};
  const InterfaceAddress docker{"docker0", "172.17.0.1", false, false, false};
  const InterfaceAddress eth4{"eth0", "192.168.1.20", false, false, false};
  const InterfaceAddress eth6{"eth0", "2001:db8::20", true, false, false};
  const InterfaceAddress eth6ll{"eth0", "fe80::1", true, false, true};
  const struct {
    std::vector<InterfaceAddress> list;
    const char* default4;
    std::vector<std::string> expected;
  } cases[] = {
      {{lo4, lo6, docker, eth6ll, eth6, eth4},
       "eth0",
       {"192.168.1.20", "2001:db8::20", "172.17.0.1"}},
      {{lo4, docker, eth4}, "", {"172.17.0.1", "192.168.1.20"}},  // no default: list order
      {{lo4, lo6, eth6ll}, "", {"127.0.0.1", "::1"}},
      {{}, "", {}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(RankLocalAddresses(c.list, c.default4, c.default4), c.expected) << c.default4;
  }
#if !defined(_WIN32)
  // The real machine: never loopback while another address exists.
  const auto loopback = [](const std::string& a) { return a.rfind("127.", 0) == 0 || a == "::1"; };
  const std::vector<std::string> mine = MakeSystemLocalAddressSource()->LocalAddresses();
  ASSERT_FALSE(mine.empty());
  if (!std::all_of(mine.begin(), mine.end(), loopback)) {
    EXPECT_TRUE(std::none_of(mine.begin(), mine.end(), loopback)) << mine.front();
  }
#endif
}

}  // namespace
}  // namespace ovplatform
