#include "tavlib/tav_message_queue.h"

#include <gtest/gtest.h>

#include <cstring>
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
  void* QueryInterface(const char* name) override {
    return (name != nullptr && std::strcmp(name, "echo.iface") == 0) ? &iface : nullptr;
  }
  int iface = 7;

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

TEST_F(MessageQueueTest, FindsRegisteredModulesAndTheirInterfacesByExactName) {
  ASSERT_NE(mq_, nullptr);
  auto module = std::make_shared<EchoModule>("com.test.echo");
  ASSERT_TRUE(mq_->RegisterModule(module));

  auto found = mq_->GetModule("com.test.echo");
  ASSERT_EQ(found, module);
  EXPECT_EQ(found->QueryInterface("echo.iface"), &module->iface);
  EXPECT_EQ(found->QueryInterface("ECHO.iface"), nullptr);
  EXPECT_EQ(found->QueryInterface(nullptr), nullptr);
  EXPECT_EQ(mq_->GetModule("com.test.echo "), nullptr);
  EXPECT_EQ(mq_->GetModule("com.test.missing"), nullptr);
  EXPECT_EQ(mq_->GetModuleIds(), std::vector<std::string>{"com.test.echo"});
}

TEST_F(MessageQueueTest, RejectsNullEmptyAndDuplicateRegistrations) {
  EXPECT_FALSE(mq_->RegisterModule(nullptr));
  EXPECT_FALSE(mq_->RegisterModule(std::make_shared<EchoModule>("")));
  EXPECT_FALSE(mq_->RegisterModule(std::make_shared<EchoModule>(nullptr)));

  auto first = std::make_shared<EchoModule>("com.test.dup");
  ASSERT_TRUE(mq_->RegisterModule(first));
  EXPECT_FALSE(mq_->RegisterModule(std::make_shared<EchoModule>("com.test.dup")));
  EXPECT_EQ(mq_->GetModule("com.test.dup"), first);
  EXPECT_FALSE(mq_->UnregisterModule("com.test.other"));
}

TEST_F(MessageQueueTest, ModuleInUseOutlivesItsUnregistration) {
  bool destroyed = false;
  ASSERT_TRUE(mq_->RegisterModule(std::make_shared<EchoModule>("com.test.held", &destroyed)));
  auto held = mq_->GetModule("com.test.held");
  ASSERT_TRUE(mq_->UnregisterModule("com.test.held"));
  EXPECT_EQ(mq_->GetModule("com.test.held"), nullptr);
  EXPECT_FALSE(destroyed);
  EXPECT_NE(held->QueryInterface("echo.iface"), nullptr);
  held.reset();
  EXPECT_TRUE(destroyed);
}

}  // namespace
}  // namespace Tav
