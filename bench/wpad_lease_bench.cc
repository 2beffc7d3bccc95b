// DHCP-based WPAD discovery: parsing a long-lived dhclient lease file, and one
// scan of a folder of lease files as a detection does it.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/wpad/ov_dhcp_lease_parser.h"
#include "platform/wpad/ov_dhcp_lease_scanner.h"

namespace {

std::string DhclientFile(int leases) {
  std::string text = "default-duid \"\\000\\001\\000\\001\\042\\017\";\n";
  for (int i = 0; i < leases; ++i) {
    text += "lease {\n  interface \"wlan0\";\n  fixed-address 192.168.1." +
            std::to_string(i % 250) +
            ";\n  option subnet-mask 255.255.255.0;\n  option routers 192.168.1.1;\n"
            "  option dhcp-lease-time 86400;\n  option domain-name-servers 192.168.1.1;\n"
            "  option unknown-252 \"http://wpad.corp.example/wpad.dat\\000\";\n"
            "  option domain-name \"corp.example\";\n  renew 4 2026/12/03 20:44:06;\n"
            "  rebind 4 2026/12/03 20:48:31;\n  expire 4 2099/12/03 20:49:46;\n}\n";
  }
  return text;
}

void BM_ParseDhclientFile(benchmark::State& state) {
  const std::string text = DhclientFile(static_cast<int>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(ovplatform::ParseDhcpLeaseFile(text));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_ParseDhclientFile)->Arg(1)->Arg(200);

void BM_ScanLeaseFolder(benchmark::State& state) {
  const auto folder = std::filesystem::temp_directory_path() / "ovwpad_lease_bench";
  std::filesystem::create_directories(folder);
  for (int i = 0; i < 10; ++i) {
    std::ofstream(folder / ("dhclient-11111111-2222-3333-4444-55555555555" + std::to_string(i) +
                            "-wlan0.lease"))
        << DhclientFile(3);
  }
  const std::vector<ovplatform::LeaseLocation> locations = {{folder.string(), "", ""}};
  for (auto _ : state) {
    benchmark::DoNotOptimize(ovplatform::FindWpadUrlInLeases(locations, 1796587200));
  }
  std::filesystem::remove_all(folder);
}
BENCHMARK(BM_ScanLeaseFolder);

}  // namespace
