#include "tavlib/tav_message_queue.h"

#include <map>
#include <mutex>

#include "tavlib/tav_no_destructor.h"

namespace Tav {
namespace {

class MessageQueueService final : public ITavMessageQueueService {
 public:
  bool RegisterModule(std::shared_ptr<ITavMessageQueueClient> client) override {
    if (!client) return false;
    const char* id = client->GetModuleId();
    if (id == nullptr || *id == '\0') return false;
    std::lock_guard<std::mutex> lock(mutex_);
    return modules_.emplace(id, std::move(client)).second;
  }

  bool UnregisterModule(const std::string& moduleId) override {
    std::shared_ptr<ITavMessageQueueClient> removed;  // released outside the lock
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = modules_.find(moduleId);
    if (it == modules_.end()) return false;
    removed = std::move(it->second);
    modules_.erase(it);
    return true;
  }

  std::shared_ptr<ITavMessageQueueClient> GetModule(const std::string& moduleId) override {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = modules_.find(moduleId);
    return it == modules_.end() ? nullptr : it->second;
  }

  std::vector<std::string> GetModuleIds() override {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> ids;
    ids.reserve(modules_.size());
    for (const auto& [id, client] : modules_) ids.push_back(id);
    return ids;
  }

 private:
  std::mutex mutex_;
  std::map<std::string, std::shared_ptr<ITavMessageQueueClient>> modules_;
};

}  // namespace
}  // namespace Tav

Tav::ITavMessageQueueService* TavMQ_GetService() {
  // Never destroyed: reports may look modules up from threads that are still
  // winding down while the process exits.
  static Tav::NoDestructor<Tav::MessageQueueService> service;
  return service.get();
}
