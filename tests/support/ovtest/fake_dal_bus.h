// FakeDalBus: an in-process bus for the data-access layer. While it lives it
// is the process's bus (IPCHelper talks to it); it records what the process
// publishes and lets a test act as another process: deliver its messages,
// ask for this process's snapshot, answer snapshot requests.
//
// Thread: every member may be called from any thread. Deliver and the
// snapshot calls run the layer's callbacks on the calling thread.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "nsdal/dal_bus.h"
#include "nsdal/ipc_helper.h"

namespace ovtest {

class FakeDalBus final : public ns_dal::IDALBus {
 public:
  struct Sent {
    std::string mode_id;
    std::string field_id;
    std::string text;
    int32_t target = 0;
  };

  FakeDalBus();
  ~FakeDalBus() override;

  // ns_dal::IDALBus
  void SetDelegate(ns_dal::IDALBusDelegate* delegate) override;
  void Publish(const std::string& mode_id, const std::string& field_id, const std::string& text,
               int32_t target) override;
  void RequestSnapshot(const std::string& mode_id) override;

  std::vector<Sent> sent() const;
  void ClearSent();
  int snapshot_requests() const;
  // When set, a snapshot request is answered at once with it (nullopt: no
  // live peer); otherwise it waits for AnswerSnapshot.
  void SetSnapshotAnswer(std::optional<std::string> answer);

  // As another process.
  void Deliver(const std::string& mode_id, const std::string& field_id, const std::string& text);
  std::string AskSnapshot(const std::string& mode_id);
  void AnswerSnapshot(const std::string& mode_id, std::optional<std::string> text);

 private:
  mutable std::mutex mutex_;
  ns_dal::IDALBusDelegate* delegate_ = nullptr;
  std::vector<Sent> sent_;
  int snapshot_requests_ = 0;
  bool auto_answer_ = false;
  std::optional<std::string> answer_;
  std::unique_ptr<ns_dal::ScopedDalBusOverride> override_;
};

}  // namespace ovtest
