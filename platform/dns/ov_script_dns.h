// Name lookups and the machine's own addresses for PAC scripts that the
// process's own proxy resolution service evaluates (dnsResolve,
// myIpAddress and their IPv6-aware forms).
//
// Every lookup goes through a bounded resolver (about a second, and never
// past the caller's deadline: the evaluation's own time bound). Answers and
// failures are kept for `keep` (kScriptDnsKeep by default) so that the
// requests of one page load, which come within seconds and evaluate the
// same names, ask the resolver once, while a change in DNS that comes
// without a network-change event still shows within half a minute. A
// lookup cut short by the caller's deadline rather than by its bound is not
// kept: the next evaluation tries again. A network change
// (NoteScriptDnsNetworkChange) drops everything kept, in every instance.
// At most `max_names` names are kept; a script asking thousands of names
// cannot grow the table beyond that.
//
// Address literals (IPv4 dotted quads, IPv6 text) answer themselves without
// a lookup.
//
// Thread: any; lookups run without the instance's lock held, so callers
// asking different names do not wait for each other.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/dns/ov_host_resolver.h"
#include "platform/dns/ov_local_addresses.h"

namespace ovplatform {

inline constexpr std::chrono::seconds kScriptDnsKeep{30};
inline constexpr std::size_t kScriptDnsMaxNames = 1024;

struct ScriptDnsOptions {
  std::shared_ptr<BoundedHostResolver> resolver;  // required
  std::shared_ptr<LocalAddressSource> local;      // required
  std::chrono::milliseconds keep = kScriptDnsKeep;
  std::size_t max_names = kScriptDnsMaxNames;
};

class ScriptDns {
 public:
  explicit ScriptDns(ScriptDnsOptions options);

  // The addresses of `name` in the resolver's order; empty when it does not
  // resolve in time. `deadline_us`: Tav::TimeTicks, 0 for none.
  std::vector<std::string> Resolve(const std::string& name, int64_t deadline_us);
  // The machine's own addresses (ov_local_addresses.h), kept like answers.
  std::vector<std::string> LocalAddresses();
  void Clear();

 private:
  struct Kept {
    std::vector<std::string> addresses;
    int64_t until_us = 0;
  };
  // With mutex_ held: drops everything when the network changed since.
  void DropIfNetworkChanged();
  std::optional<std::vector<std::string>> Find(const std::string& key);
  void Keep(const std::string& key, std::vector<std::string> addresses);

  const ScriptDnsOptions options_;
  std::mutex mutex_;
  std::map<std::string, Kept> kept_;
  uint64_t generation_;
};

// The process's instance on the system resolver (IPv6 and IPv4) and the
// system's interface list.
std::shared_ptr<ScriptDns> SystemScriptDns();

// The network changed: what every instance kept is dropped.
void NoteScriptDnsNetworkChange();

// Whether `text` is an IPv4 dotted quad or an IPv6 address.
bool IsAddressLiteral(const std::string& text);

}  // namespace ovplatform
