#include "tavlib/tav_message_queue.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

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

}  // namespace
}  // namespace Tav
