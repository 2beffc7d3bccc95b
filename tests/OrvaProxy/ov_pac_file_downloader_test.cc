#include "OrvaProxy/ov_pac_file_downloader.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "onetxfer/oxfer_types.h"
#include "orvatask/orva_task.h"
#include "ovtest/fake_feature_sources.h"
#include "ovtest/fake_file_xfer_module.h"
#include "ovtest/task_environment.h"

namespace OVProxy {
namespace {

constexpr const char kRunner[] = "main.thread.runner";
constexpr const char kUrl[] = "http://wpad.corp/wpad.dat";
constexpr const char kOtherUrl[] = "http://other.corp/proxy.pac";

struct Delivered {
  PacRequestId id;
  std::string content;
  bool success = false;
  std::string error;
};

class PacFileDownloaderTest : public ::testing::Test {
 protected:
  PacFileDownloaderTest() { experiments_.Enable("UseFileXfer"); }

  // Starts a download and answers the id the downloader wrote.
  PacRequestId Start(const std::string& url) {
    PacRequestId id;
    downloader_->Download(
        id, url,
        [this](const PacRequestId& requestId, const std::string& content, bool success,
               const std::string& error) {
          delivered_.push_back({requestId, content, success, error});
        },
        kRunner);
    return id;
  }

  // Delivers whatever was posted and answers the one outcome.
  Delivered Outcome() {
    delivered_.clear();
    env_.RunUntilIdle();
    EXPECT_EQ(delivered_.size(), 1u);
    return delivered_.empty() ? Delivered{} : delivered_.back();
  }

  ovtest::TaskEnvironment env_;
  ovtest::FakeExperimentMgr experiments_;
  ovtest::FakeFileXferModule xfer_;
  std::unique_ptr<ovPACFileDownloader> downloader_ = std::make_unique<ovPACFileDownloader>();
  std::vector<Delivered> delivered_;
};

TEST_F(PacFileDownloaderTest, MissingLinksFailOnTheCallbackRunnerNeverInline) {
  using Break = void (*)(ovtest::FakeExperimentMgr&, ovtest::FakeFileXferModule&);
  const std::pair<Break, const char*> cases[] = {
      {[](auto& e, auto&) { e.Disable("UseFileXfer"); }, "xfer is not available"},
      {[](auto&, auto& x) { x.SetReady(false); }, "xfer is not available"},
      {[](auto&, auto& x) { x.RefuseStarts(true); }, "xfer request start failed"},
  };
  for (const auto& [breakIt, error] : cases) {
    SCOPED_TRACE(error);
    delivered_.clear();
    breakIt(experiments_, xfer_);
    EXPECT_TRUE(Start(kUrl).empty());
    EXPECT_TRUE(delivered_.empty()) << "never inline";
    const Delivered out = Outcome();
    EXPECT_FALSE(out.success);
    EXPECT_EQ(out.error, error);
    experiments_.Enable("UseFileXfer");
    xfer_.SetReady(true);
    xfer_.RefuseStarts(false);
  }
  EXPECT_TRUE(xfer_.starts().empty());
}

TEST_F(PacFileDownloaderTest, ValidatorsCacheAndNoUpdateFollowTheUrl) {
  const std::string pac = "function FindProxyForURL(u, h) { return 'DIRECT'; }";

  const PacRequestId first = Start(kUrl);
  ASSERT_FALSE(first.empty());
  ASSERT_TRUE(xfer_.Complete(first, oXfer::kResultOk, pac, "\"e1\"", "Mon, 01 Jan 2024"));
  Delivered out = Outcome();
  EXPECT_EQ(out.content, pac);

  // Each step: the URL, what the module answers, what must have been sent
  // and what the caller gets.
  const struct {
    const char* url;
    int32_t code;
    const char* body;
    bool withResult;
    const char* sent_validator_1;
    bool success;
    std::string content;
    const char* error;
  } steps[] = {
      {kUrl, oXfer::kResultNotModified, "", true, "\"e1\"", true, pac, "xfer download no update"},
      {kOtherUrl, oXfer::kResultHttpError, "", true, "", false, "", "xfer download stream failure"},
      // A failure elsewhere kept the cache and its validators.
      {kUrl, oXfer::kResultNotModified, "", true, "\"e1\"", true, pac, "xfer download no update"},
      // An empty 2xx body hands back the kept body and keeps the cache.
      {kUrl, oXfer::kResultOk, "", true, "\"e1\"", true, pac, ""},
      {kUrl, oXfer::kResultOk, "x", false, "\"e1\"", false, "",
       "xfer download stream failure, no result"},
      // The kept body belongs to its URL only.
      {kOtherUrl, oXfer::kResultNotModified, "", true, "", true, "", "xfer download no update"},
  };
  for (const auto& s : steps) {
    const PacRequestId id = Start(s.url);
    const ovtest::FakeFileXferModule::Start sent = xfer_.starts().back();
    EXPECT_EQ(sent.url, s.url);
    EXPECT_EQ(sent.validator_1, s.sent_validator_1) << s.url;
    EXPECT_EQ(sent.validator_2, *s.sent_validator_1 ? "Mon, 01 Jan 2024" : "") << s.url;
    ASSERT_TRUE(xfer_.Complete(id, s.code, s.body, "\"new\"", "", s.withResult));
    out = Outcome();
    SCOPED_TRACE(testing::Message() << s.url << " " << s.code);
    EXPECT_EQ(out.success, s.success);
    EXPECT_EQ(out.content, s.content);
    EXPECT_EQ(out.error, s.error);
  }
}

TEST_F(PacFileDownloaderTest, OutcomesAreGroupedWithTheDeciderForCancellation) {
  experiments_.Disable("UseFileXfer");
  Start(kUrl);
  EXPECT_EQ(env_.manager().CancelTasksByValue(61), 1u);
  env_.RunUntilIdle();
  EXPECT_TRUE(delivered_.empty());
}

TEST_F(PacFileDownloaderTest, TransferOutlivingTheDownloaderTouchesNothing) {
  // Completed after the downloader is gone: the observer must not reach it.
  const PacRequestId running = Start(kUrl);
  // Completed before, but delivered after: the posted task must not either.
  const PacRequestId delivered = Start(kOtherUrl);
  ASSERT_TRUE(xfer_.Complete(delivered, oXfer::kResultOk, "FindProxyForURL"));
  downloader_.reset();
  ASSERT_TRUE(xfer_.Complete(running, oXfer::kResultOk, "FindProxyForURL", "\"e\""));
  env_.RunUntilIdle();
  EXPECT_TRUE(delivered_.empty());
  EXPECT_EQ(xfer_.open_transfers(), 0u);
}

}  // namespace
}  // namespace OVProxy
