#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "tavlib/tav_message_queue.h"
#include "tavlib/tav_string_conv.h"

namespace Tav {
namespace {

class EchoModule final : public ITavMessageQueueClient {
 public:
  explicit EchoModule(const char* id, bool* destroyed = nullptr) : id_(id), destroyed_(destroyed) {}
  ~EchoModule() override {
    if (destroyed_ != nullptr) *destroyed_ = true;
  }
  const char* GetModuleId() const override { return id_; }
  void* QueryInterface(const char*) override { return nullptr; }

 private:
  const char* id_;
  bool* destroyed_;
};

class MessageQueueTest : public ::testing::Test {
 protected:
  void TearDown() override {
    for (const std::string& id : mq_->GetModuleIds()) mq_->UnregisterModule(id);
  }
  ITavMessageQueueService* mq_ = TavMQ_GetService();
};

TEST_F(MessageQueueTest, FindsModulesByExactNameAndRejectsBadRegistrations) {
  auto module = std::make_shared<EchoModule>("com.test.echo");
  ASSERT_TRUE(mq_->RegisterModule(module));
  EXPECT_EQ(mq_->GetModule("com.test.echo"), module);
  EXPECT_EQ(mq_->GetModule("com.test.echo "), nullptr);

  for (auto bad :
       {std::shared_ptr<EchoModule>(), std::make_shared<EchoModule>(""),
        std::make_shared<EchoModule>(nullptr), std::make_shared<EchoModule>("com.test.echo")}) {
    EXPECT_FALSE(mq_->RegisterModule(bad));
  }
  EXPECT_EQ(mq_->GetModule("com.test.echo"), module);
  EXPECT_FALSE(mq_->UnregisterModule("com.test.other"));
}

TEST_F(MessageQueueTest, ModuleInUseOutlivesItsUnregistration) {
  bool destroyed = false;
  ASSERT_TRUE(mq_->RegisterModule(std::make_shared<EchoModule>("com.test.held", &destroyed)));
  auto held = mq_->GetModule("com.test.held");
  ASSERT_TRUE(mq_->UnregisterModule("com.test.held"));
  EXPECT_EQ(mq_->GetModule("com.test.held"), nullptr);
  EXPECT_FALSE(destroyed);
  held.reset();
  EXPECT_TRUE(destroyed);
}

TEST(StringConvTest, RoundTripsEveryPlaneAndReplacesWhatIsMalformed) {
  // ASCII, two-, three- and four-byte sequences.
  const std::string text = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z";
  const std::wstring wide = UTF8ToWide(text);
  ASSERT_EQ(wide.size(), sizeof(wchar_t) == 2 ? 6u : 5u);
  EXPECT_EQ(wide[1], L'\u00E9');
  EXPECT_EQ(WideToUTF8(wide), text);
  EXPECT_EQ(WideToUTF8(UTF8ToWide("")), "");

  const std::pair<std::string, std::wstring> cases[] = {
      {"a\x80z", L"a\uFFFDz"},                            // lone continuation
      {"\xC0\xAF", L"\uFFFD\uFFFD"},                      // overlong slash
      {"\xED\xA0\x80", L"\uFFFD\uFFFD\uFFFD"},            // encoded surrogate
      {"\xF4\x90\x80\x80", L"\uFFFD\uFFFD\uFFFD\uFFFD"},  // beyond U+10FFFF
  };
  for (const auto& [input, expected] : cases) EXPECT_EQ(UTF8ToWide(input), expected) << input;
  // A lone high surrogate.
  EXPECT_EQ(WideToUTF8(std::wstring{L'x', static_cast<wchar_t>(0xD800), L'y'}), "x\xEF\xBF\xBDy");
}

}  // namespace
}  // namespace Tav
