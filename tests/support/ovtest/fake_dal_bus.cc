#include "ovtest/fake_dal_bus.h"

#include <utility>

namespace ovtest {

FakeDalBus::FakeDalBus() : override_(std::make_unique<ns_dal::ScopedDalBusOverride>(this)) {}

FakeDalBus::~FakeDalBus() {
  override_.reset();
}

void FakeDalBus::SetDelegate(ns_dal::IDALBusDelegate* delegate) {
  std::lock_guard lock(mutex_);
  delegate_ = delegate;
}

void FakeDalBus::Publish(const std::string& mode_id, const std::string& field_id,
                         const std::string& text, int32_t target) {
  std::lock_guard lock(mutex_);
  sent_.push_back(Sent{mode_id, field_id, text, target});
}

void FakeDalBus::RequestSnapshot(const std::string& mode_id) {
  std::optional<std::string> answer;
  {
    std::lock_guard lock(mutex_);
    ++snapshot_requests_;
    if (!auto_answer_) return;
    answer = answer_;
  }
  AnswerSnapshot(mode_id, std::move(answer));
}

std::vector<FakeDalBus::Sent> FakeDalBus::sent() const {
  std::lock_guard lock(mutex_);
  return sent_;
}

void FakeDalBus::ClearSent() {
  std::lock_guard lock(mutex_);
  sent_.clear();
}

int FakeDalBus::snapshot_requests() const {
  std::lock_guard lock(mutex_);
  return snapshot_requests_;
}

void FakeDalBus::SetSnapshotAnswer(std::optional<std::string> answer) {
  std::lock_guard lock(mutex_);
  auto_answer_ = true;
  answer_ = std::move(answer);
}

void FakeDalBus::Deliver(const std::string& mode_id, const std::string& field_id,
                         const std::string& text) {
  ns_dal::IDALBusDelegate* delegate = nullptr;
  {
    std::lock_guard lock(mutex_);
    delegate = delegate_;
  }
  if (delegate) delegate->OnBusMessage(mode_id, field_id, text);
}

std::string FakeDalBus::AskSnapshot(const std::string& mode_id) {
  ns_dal::IDALBusDelegate* delegate = nullptr;
  {
    std::lock_guard lock(mutex_);
    delegate = delegate_;
  }
  return delegate ? delegate->OnBusSnapshotRequest(mode_id) : std::string();
}

void FakeDalBus::AnswerSnapshot(const std::string& mode_id, std::optional<std::string> text) {
  ns_dal::IDALBusDelegate* delegate = nullptr;
  {
    std::lock_guard lock(mutex_);
    delegate = delegate_;
  }
  if (delegate) delegate->OnBusSnapshot(mode_id, std::move(text));
}

}  // namespace ovtest
