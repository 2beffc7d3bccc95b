// A second process on the bus (directory from XDG_RUNTIME_DIR, the
// process's own bus as IPCHelper makes it) for the bus tests. One command
// per line on standard input, one answer line each:
//   join MODE            -> "join applied" | "join nopeer" | "join pending"
//   wait MODE TEXT       -> "heard" once a message TEXT of MODE arrived | "timeout"
//   sendexit MODE TEXT   -> queues TEXT as a coalesced message of MODE and
//                           ends the process at once, without answering
#include <chrono>
#include <condition_variable>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <utility>

#include "nsdal/idal_ipc_sink.h"
#include "nsdal/ipc_helper.h"

namespace {

constexpr auto kWait = std::chrono::seconds(10);

class Sink final : public ns_dal::IDALIPCSink {
 public:
  explicit Sink(std::string mode) : mode_(std::move(mode)) {}
  std::string getModeId() const override { return mode_; }
  std::string getSyncData() override { return std::string(); }
  void applySyncData(const std::string&) override {}
  bool isSyncDataProvider() const override { return false; }
  void onSyncDataUnavailable() override {}
  void onSyncData(const std::string&, const std::string&, const std::string& text) override {
    {
      std::lock_guard lock(mutex_);
      heard_.insert(text);
    }
    changed_.notify_all();
  }
  bool WaitFor(const std::string& text) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kWait, [&] { return heard_.count(text) != 0; });
  }

 private:
  const std::string mode_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::set<std::string> heard_;
};

}  // namespace

int main() {
  // Made before the bus, so destroyed after it stopped delivering.
  static std::map<std::string, std::unique_ptr<Sink>> sinks;
  auto sink_of = [&](const std::string& mode) -> Sink* {
    auto& sink = sinks[mode];
    if (!sink) {
      sink = std::make_unique<Sink>(mode);
      ns_dal::IPCHelper::AddSink(mode, sink.get());
    }
    return sink.get();
  };
  std::string line;
  while (std::getline(std::cin, line)) {
    std::istringstream in(line);
    std::string command, mode, text;
    in >> command >> mode >> text;
    if (command == "join") {
      sink_of(mode);
      const auto state = ns_dal::IPCHelper::WaitForJoin(mode, kWait);
      std::cout << (state == ns_dal::JoinState::kApplied  ? "join applied"
                    : state == ns_dal::JoinState::kNoPeer ? "join nopeer"
                                                          : "join pending")
                << std::endl;
    } else if (command == "wait") {
      std::cout << (sink_of(mode)->WaitFor(text) ? "heard" : "timeout") << std::endl;
    } else if (command == "sendexit") {
      ns_dal::IPCHelper::SyncDataCoalesced(mode, "field", "state",
                                           [text]() -> std::optional<std::string> { return text; });
      return 0;
    } else {
      std::cout << "unknown command" << std::endl;
    }
  }
  return 0;
}
