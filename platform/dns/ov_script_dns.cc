#include "platform/dns/ov_script_dns.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#endif

#include <atomic>
#include <utility>

#include "tavlib/tav_clock.h"
#include "tavlib/tav_no_destructor.h"

namespace ovplatform {
namespace {

std::atomic<uint64_t> g_network_generation{0};

// The key of the machine's own addresses: no name is empty.
constexpr char kLocalKey[] = "";

}  // namespace

bool IsAddressLiteral(const std::string& text) {
  unsigned char bytes[16];
  return inet_pton(AF_INET, text.c_str(), bytes) == 1 ||
         inet_pton(AF_INET6, text.c_str(), bytes) == 1;
}

ScriptDns::ScriptDns(ScriptDnsOptions options)
    : options_(std::move(options)), generation_(g_network_generation.load()) {}

void ScriptDns::DropIfNetworkChanged() {
  const uint64_t now = g_network_generation.load();
  if (now == generation_) return;
  kept_.clear();
  generation_ = now;
}

std::optional<std::vector<std::string>> ScriptDns::Find(const std::string& key) {
  std::lock_guard lock(mutex_);
  DropIfNetworkChanged();
  const auto it = kept_.find(key);
  if (it == kept_.end()) return std::nullopt;
  if (it->second.until_us <= Tav::TimeTicks::Now()) {
    kept_.erase(it);
    return std::nullopt;
  }
  return it->second.addresses;
}

void ScriptDns::Keep(const std::string& key, std::vector<std::string> addresses) {
  if (options_.keep.count() <= 0) return;
  std::lock_guard lock(mutex_);
  DropIfNetworkChanged();
  const int64_t now = Tav::TimeTicks::Now();
  if (kept_.size() >= options_.max_names && kept_.find(key) == kept_.end()) {
    std::erase_if(kept_, [now](const auto& item) { return item.second.until_us <= now; });
    // Still full of live answers: start over rather than grow.
    if (kept_.size() >= options_.max_names) kept_.clear();
  }
  kept_[key] =
      Kept{std::move(addresses),
           now + std::chrono::duration_cast<std::chrono::microseconds>(options_.keep).count()};
}

std::vector<std::string> ScriptDns::Resolve(const std::string& name, int64_t deadline_us) {
  if (name.empty()) return {};
  if (IsAddressLiteral(name)) return {name};
  if (auto kept = Find(name)) return *std::move(kept);
  if (deadline_us != 0 && Tav::TimeTicks::Now() >= deadline_us) return {};
  std::optional<std::vector<std::string>> found;
  try {
    found = options_.resolver->ResolveHostBefore(name, deadline_us);
  } catch (...) {
    // A resolver that fails resolved nothing.
    found = std::vector<std::string>{};
  }
  if (!found && deadline_us != 0 && Tav::TimeTicks::Now() >= deadline_us) {
    // Cut short by the caller, not by the lookup's bound: not an answer.
    return {};
  }
  std::vector<std::string> addresses = found.value_or(std::vector<std::string>{});
  Keep(name, addresses);
  return addresses;
}

std::vector<std::string> ScriptDns::LocalAddresses() {
  if (auto kept = Find(kLocalKey)) return *std::move(kept);
  std::vector<std::string> addresses;
  try {
    addresses = options_.local->LocalAddresses();
  } catch (...) {
    // Nothing known: the caller falls back to the loopback address.
  }
  Keep(kLocalKey, addresses);
  return addresses;
}

void ScriptDns::Clear() {
  std::lock_guard lock(mutex_);
  kept_.clear();
}

std::shared_ptr<ScriptDns> SystemScriptDns() {
  // Made once and kept until the process exits, like the service using it.
  static Tav::NoDestructor<std::shared_ptr<ScriptDns>> dns(
      std::make_shared<ScriptDns>(ScriptDnsOptions{
          .resolver = MakeBoundedHostResolver(MakeSystemHostResolver(HostFamilies::kAll)),
          .local = MakeSystemLocalAddressSource()}));
  return *dns;
}

void NoteScriptDnsNetworkChange() {
  g_network_generation.fetch_add(1);
}

}  // namespace ovplatform
