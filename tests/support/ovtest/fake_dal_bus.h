// FakeDalBus: the process's data-access bus while it lives. It records what
// is published and lets a test act as another process. Any member may be
// called from any thread; the layer's callbacks run on the calling thread.
#pragma once

#include <cstdint>
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

  void SetDelegate(ns_dal::IDALBusDelegate* delegate) override {
    std::lock_guard lock(mutex_);
    delegate_ = delegate;
  }
  void Publish(const std::string& mode_id, const std::string& field_id, const std::string& text,
               int32_t target) override {
    std::lock_guard lock(mutex_);
    sent_.push_back(Sent{mode_id, field_id, text, target});
  }
  void RequestSnapshot(const std::string& mode_id) override {
    std::unique_lock lock(mutex_);
    ++snapshot_requests_;
    if (!auto_answer_) return;
    std::optional<std::string> answer = answer_;
    lock.unlock();
    AnswerSnapshot(mode_id, std::move(answer));
  }

  std::vector<Sent> sent() const {
    std::lock_guard lock(mutex_);
    return sent_;
  }
  void ClearSent() {
    std::lock_guard lock(mutex_);
    sent_.clear();
  }
  int snapshot_requests() const {
    std::lock_guard lock(mutex_);
    return snapshot_requests_;
  }
  // When set, a snapshot request is answered at once with it (nullopt: no
  // live peer); otherwise it waits for AnswerSnapshot.
  void SetSnapshotAnswer(std::optional<std::string> answer) {
    std::lock_guard lock(mutex_);
    auto_answer_ = true;
    answer_ = std::move(answer);
  }

  // As another process.
  void Deliver(const std::string& mode_id, const std::string& field_id, const std::string& text) {
    if (auto* d = delegate()) d->OnBusMessage(mode_id, field_id, text);
  }
  std::string AskSnapshot(const std::string& mode_id) {
    auto* d = delegate();
    return d ? d->OnBusSnapshotRequest(mode_id) : std::string();
  }
  void AnswerSnapshot(const std::string& mode_id, std::optional<std::string> text) {
    if (auto* d = delegate()) d->OnBusSnapshot(mode_id, std::move(text));
  }

 private:
  ns_dal::IDALBusDelegate* delegate() const {
    std::lock_guard lock(mutex_);
    return delegate_;
  }

  mutable std::mutex mutex_;
  ns_dal::IDALBusDelegate* delegate_ = nullptr;
  std::vector<Sent> sent_;
  int snapshot_requests_ = 0;
  bool auto_answer_ = false;
  std::optional<std::string> answer_;
  // Last member: uninstalled first, before the rest goes.
  ns_dal::ScopedDalBusOverride override_{this};
};

}  // namespace ovtest
