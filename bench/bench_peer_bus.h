// A real data-sync bus for the benchmarks: this process on a Unix-socket bus
// in a directory of its own, one peer process joined to it
// (tests/OrvaProxy/ov_proxy_sync_peer, at OV_SYNC_PEER_PATH), and what this
// process publishes counted on the way. Header only; Linux.
#pragma once

#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "nsdal/dal_bus.h"
#include "nsdal/dal_bus_directory.h"
#include "nsdal/unix_dal_bus.h"
#include "ovtest/child_process.h"
#include "ovtest/scoped_temp_dir.h"

namespace ovbench {

// Counts messages, bytes and the largest message on the way to `inner`.
class CountingBus final : public ns_dal::IDALBus {
 public:
  explicit CountingBus(ns_dal::IDALBus* inner) : inner_(inner) {}
  void SetDelegate(ns_dal::IDALBusDelegate* delegate) override { inner_->SetDelegate(delegate); }
  void Publish(const std::string& mode_id, const std::string& field_id, const std::string& text,
               int32_t target) override {
    messages_.fetch_add(1);
    bytes_.fetch_add(text.size());
    uint64_t seen = largest_.load();
    while (text.size() > seen && !largest_.compare_exchange_weak(seen, text.size())) {
    }
    inner_->Publish(mode_id, field_id, text, target);
  }
  void RequestSnapshot(const std::string& mode_id) override { inner_->RequestSnapshot(mode_id); }
  uint64_t messages() const { return messages_.load(); }
  uint64_t bytes() const { return bytes_.load(); }
  uint64_t largest() const { return largest_.load(); }

 private:
  ns_dal::IDALBus* inner_;
  std::atomic<uint64_t> messages_{0}, bytes_{0}, largest_{0};
};

// `ready` once the peer process answered its join. `before_join` runs once
// the counting bus exists and before the peer joins (a caller that answers
// the peer's snapshot request installs itself there).
struct PeerBus {
  explicit PeerBus(const std::function<void(CountingBus&)>& before_join = nullptr) {
    std::string error;
    auto directory = ns_dal::EnsureBusDirectory(runtime.path(), ::geteuid(), "/tmp", &error);
    ns_dal::UnixDalBusOptions options;
    options.directory = directory.value_or("");
    options.uid = ::geteuid();
    bus = ns_dal::UnixDalBus::Create(options, &error);
    if (!bus) return;
    counting = std::make_unique<CountingBus>(bus.get());
    if (before_join) before_join(*counting);
    peer = std::make_unique<ovtest::ChildProcess>(
        OV_SYNC_PEER_PATH, std::vector<std::string>{},
        std::vector<std::string>{"XDG_RUNTIME_DIR=" + runtime.path()});
    ready = peer->Ask("join").rfind("join", 0) == 0;
  }

  ovtest::ScopedTempDir runtime{"ovbench"};
  std::unique_ptr<ns_dal::UnixDalBus> bus;
  std::unique_ptr<CountingBus> counting;
  std::unique_ptr<ovtest::ChildProcess> peer;
  bool ready = false;
};

}  // namespace ovbench
