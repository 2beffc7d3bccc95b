// The decider and downloader over the real file-transfer module and a local
// HTTP server. The owner runner is a thread of its own, so that the test can
// wait for each decision while the transfer module's thread delivers.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "OrvaProxy/ov_pac_file_decider.h"
#include "OrvaProxy/ov_pac_file_downloader.h"
#include "onetxfer/onet_module.h"
#include "orvatask/orva_task.h"
#include "ovtest/fake_feature_sources.h"
#include "ovtest/local_pac_server.h"
#include "ovtest/manual_clock.h"
#include "ovtest/task_environment.h"

namespace OVProxy {
namespace {

using namespace std::chrono_literals;
using ovtest::LocalPacServer;

constexpr const char kOwner[] = "proxy_resolve_runner_name";

struct Decision {
  bool success = false;
  std::string content;
};

// Decisions, as they arrive on the owner runner.
class Recorder final : public ovPacFileDeciderDelegate {
 public:
  void onPacDecisionComplete(bool success, const std::string& pacContent,
                             const std::string&) override {
    Add({success, pacContent});
  }
  void Add(Decision decision) {
    std::lock_guard<std::mutex> lock(mutex_);
    decisions_.push_back(std::move(decision));
    changed_.notify_all();
  }
  // Blocks until `count` have arrived and answers the last.
  Decision WaitFor(std::size_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return decisions_.size() >= count; });
    return decisions_[count - 1];
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Decision> decisions_;
};

class PacFetchTest : public ::testing::Test {
 protected:
  PacFetchTest() {
    experiments_.Enable("UseFileXfer");
    env_.manager().CreateRunner(kOwner, 62);
    env_.manager().CreateRunner("pac_decider_task_runner", 61);
  }

  // Runs `work` on the owner runner and waits for it.
  void OnOwner(std::function<void()> work) {
    auto task = OrvaTask::CreateOrvaTask(
        OrvaTask::TaskAttribute{.name = "test", .location = OrvaTask::SourceLocation::Current()},
        std::move(work));
    ASSERT_TRUE(env_.manager().PostTask(kOwner, task));
    ASSERT_TRUE(env_.manager().WaitForTask(task));
  }

  ovtest::ManualClock clock_;
  ovtest::TaskEnvironment env_{""};
  ovtest::FakeExperimentMgr experiments_;
  LocalPacServer server_;
  oXfer::ScopedONetModule module_;
  Recorder recorder_;
};

TEST_F(PacFetchTest, MonitorFiresOnTheManualClockWhileTheTransferRuns) {
  std::unique_ptr<ovPACFileDecider> decider;
  OnOwner([&] {
    decider = std::make_unique<ovPACFileDecider>(std::make_unique<ovPACFileDownloader>());
    decider->setDelegate(&recorder_);
    decider->setCallbackRunner(kOwner);
    decider->setConfig(std::make_shared<ovProxyConfig>(
        ovProxyConfig::CreateFromCustomPacURL(server_.Url("/stall.pac"))));
    EXPECT_EQ(decider->GetPacContent(), e_pending);
  });
  server_.WaitForStalls(1);
  clock_.Advance(5s);
  EXPECT_FALSE(recorder_.WaitFor(1).success);
  OnOwner([&] { EXPECT_EQ(decider->state(), DeciderState::Failed); });

  server_.ReleaseStalls();
  const Decision late = recorder_.WaitFor(2);
  EXPECT_TRUE(late.success);
  EXPECT_EQ(late.content, LocalPacServer::kPacBody);
  OnOwner([&] {
    EXPECT_EQ(decider->state(), DeciderState::Finished);
    decider.reset();
  });
}

}  // namespace
}  // namespace OVProxy
