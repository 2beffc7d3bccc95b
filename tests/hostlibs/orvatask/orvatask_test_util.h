// Helpers shared by the task library's tests.
#pragma once

#include <functional>
#include <future>
#include <string>
#include <utility>

#include "orvatask/orva_task.h"

namespace orvatask_test {

inline OrvaTask::TaskPtr MakeTask(std::function<void()> function,
                                  OrvaTask::TaskAttribute attr = {}) {
  if (attr.name.empty()) attr.name = "test";
  return OrvaTask::CreateOrvaTask(std::move(attr), std::move(function));
}

// Holds a runner busy until Release, so that work queued behind it has
// certainly not started.
class Gate {
 public:
  OrvaTask::TaskPtr BlockingTask() {
    return MakeTask([this] {
      entered_.set_value();
      released_future_.wait();
    });
  }
  void WaitEntered() { entered_future_.wait(); }
  void Release() { released_.set_value(); }

 private:
  std::promise<void> entered_;
  std::shared_future<void> entered_future_ = entered_.get_future().share();
  std::promise<void> released_;
  std::shared_future<void> released_future_ = released_.get_future().share();
};

}  // namespace orvatask_test
