// Finds the WPAD URL the DHCP servers handed out, by reading the lease files
// of the machine's DHCP clients (see ov_dhcp_lease_parser.h for the formats).
//
// Which lease counts: for every interface only its newest lease (the newest
// file, and within a file the last lease), and only while that lease has not
// expired. An older lease of the same interface never speaks for it: after a
// move from an office network to a home network the office's WPAD URL must
// not be used any more. Among interfaces whose newest lease carries a URL the
// newest wins.
//
// Where: ORVAPROXY_WPAD_LEASE_DIRS, when set, is a colon-separated list of
// lease files and folders (every file of a folder is read); set but empty
// means no lease files at all. Otherwise the usual places of dhclient,
// NetworkManager and systemd-networkd.
//
// Thread: blocking file reads through platform/os; callable from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace ovplatform {

inline constexpr const char kWpadLeaseDirsVariable[] = "ORVAPROXY_WPAD_LEASE_DIRS";

struct LeaseLocation {
  std::string path;  // a folder or a single file
  // For folders: only names with this prefix and suffix (empty: any).
  std::string namePrefix;
  std::string nameSuffix;
};

struct LeaseWpadHit {
  std::string url;
  std::string interface;  // the lease's interface, or a name derived from its file
  std::string file;
};

// The locations from ORVAPROXY_WPAD_LEASE_DIRS, or the defaults.
std::vector<LeaseLocation> WpadLeaseLocations();
std::vector<LeaseLocation> DefaultWpadLeaseLocations();

// `nowSeconds`: wall-clock seconds since 1970-01-01 UTC, to drop expired leases.
std::optional<LeaseWpadHit> FindWpadUrlInLeases(const std::vector<LeaseLocation>& locations,
                                                int64_t nowSeconds);

}  // namespace ovplatform
