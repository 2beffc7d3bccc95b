#include "platform/wpad/ov_dhcp_lease_scanner.h"

#include <map>
#include <string_view>
#include <tuple>

#include "platform/os/ov_os.h"
#include "platform/wpad/ov_dhcp_lease_parser.h"

namespace ovplatform {
namespace {

// dhclient keeps appending to its lease file; a long-lived one stays far
// below this. Anything larger is not a lease file.
constexpr size_t kMaxLeaseFileBytes = 1024 * 1024;
// Bounds the work of one detection on a folder full of unrelated files.
constexpr size_t kMaxLeaseFiles = 256;

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

bool EndsWith(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

// The interface a lease file speaks for, from its name, when the lease itself
// does not say: NetworkManager's "<client>-<uuid>-<iface>.lease" and
// dhclient's "dhclient.<iface>.leases". Otherwise the path itself (networkd
// names its files after the interface index, one file per interface).
std::string InterfaceFromFileName(const std::string& path, std::string_view name) {
  std::string_view stem = name;
  if (EndsWith(stem, ".leases")) {
    stem.remove_suffix(7);
  } else if (EndsWith(stem, ".lease")) {
    stem.remove_suffix(6);
  }
  constexpr size_t kUuidLength = 36;
  const size_t dash = stem.find('-');
  if (dash != std::string_view::npos) {
    const std::string_view rest = stem.substr(dash + 1);
    if (rest.size() > kUuidLength + 1 && rest[8] == '-' && rest[13] == '-' && rest[18] == '-' &&
        rest[23] == '-' && rest[kUuidLength] == '-') {
      return std::string(rest.substr(kUuidLength + 1));
    }
  }
  if (StartsWith(stem, "dhclient.") && stem.size() > 9) return std::string(stem.substr(9));
  return path;
}

struct Candidate {
  // Newest first: file time, then the file's place in the scan, then the
  // lease's place in the file.
  std::tuple<int64_t, size_t, size_t> rank;
  DhcpLease lease;
  std::string interface;
  std::string file;
};

void CollectFile(Os& os, const std::string& path, std::string_view name, size_t fileIndex,
                 std::map<std::string, Candidate>& newest) {
  const std::optional<std::string> text = os.ReadFile(path, kMaxLeaseFileBytes);
  if (!text) return;
  const int64_t modified = os.ModifiedTimeNs(path).value_or(0);
  std::vector<DhcpLease> leases = ParseDhcpLeaseFile(*text);
  for (size_t i = 0; i < leases.size(); ++i) {
    Candidate candidate{{modified, fileIndex, i}, std::move(leases[i]), {}, path};
    candidate.interface = candidate.lease.interface.empty() ? InterfaceFromFileName(path, name)
                                                            : candidate.lease.interface;
    auto [it, inserted] = newest.try_emplace(candidate.interface, candidate);
    if (!inserted && it->second.rank < candidate.rank) it->second = std::move(candidate);
  }
}

std::string BaseName(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

std::vector<LeaseLocation> DefaultWpadLeaseLocations() {
  return {
      {"/var/lib/dhcp", "dhclient", ".leases"},
      {"/var/lib/dhclient", "", ""},
      {"/var/lib/NetworkManager", "", ".lease"},
      {"/run/systemd/netif/leases", "", ""},
  };
}

std::vector<LeaseLocation> WpadLeaseLocations() {
  const std::optional<std::string> value = GetOs().GetEnv(kWpadLeaseDirsVariable);
  if (!value) return DefaultWpadLeaseLocations();
  std::vector<LeaseLocation> locations;
  std::string_view rest = *value;
  while (!rest.empty()) {
    const size_t colon = rest.find(':');
    const std::string_view entry = rest.substr(0, colon);
    if (!entry.empty()) locations.push_back({std::string(entry), "", ""});
    rest.remove_prefix(colon == std::string_view::npos ? rest.size() : colon + 1);
  }
  return locations;
}

std::optional<LeaseWpadHit> FindWpadUrlInLeases(const std::vector<LeaseLocation>& locations,
                                                int64_t nowSeconds) {
  Os& os = GetOs();
  std::map<std::string, Candidate> newest;
  size_t files = 0;
  for (const LeaseLocation& location : locations) {
    if (files >= kMaxLeaseFiles) break;
    if (!os.IsDirectory(location.path)) {
      CollectFile(os, location.path, BaseName(location.path), files++, newest);
      continue;
    }
    for (const std::string& name : os.ListDirectory(location.path)) {
      if (files >= kMaxLeaseFiles) break;
      if (!StartsWith(name, location.namePrefix) || !EndsWith(name, location.nameSuffix)) continue;
      CollectFile(os, JoinPath(location.path, name), name, files++, newest);
    }
  }

  const Candidate* best = nullptr;
  for (const auto& [interface, candidate] : newest) {
    if (candidate.lease.wpadUrl.empty()) continue;
    if (candidate.lease.expiresAt && *candidate.lease.expiresAt <= nowSeconds) continue;
    if (best == nullptr || best->rank < candidate.rank) best = &candidate;
  }
  if (best == nullptr) return std::nullopt;
  return LeaseWpadHit{best->lease.wpadUrl, best->interface, best->file};
}

}  // namespace ovplatform
