#include "onetxfer/onet_module.h"

#include <cstring>

#include "onetxfer/onet_api.h"
#include "tavlib/tav_message_queue.h"

#ifdef _WIN32
#include "onetxfer/winhttp_file_xfer_client.h"
#else
#include "onetxfer/curl_file_xfer_client.h"
#endif

namespace oXfer {

#ifdef _WIN32
using SystemFileXferClient = WinHttpFileXferClient;
#else
using SystemFileXferClient = CurlFileXferClient;
#endif

class ONetModule final : public Tav::ITavMessageQueueClient {
 public:
  const char* GetModuleId() const override { return orvaus::kONetModuleId; }

  void* QueryInterface(const char* name) override {
    if (name == nullptr) return nullptr;
    if (std::strcmp(name, orvaus::kONetApiName) == 0) {
      return static_cast<orvaus::IONetAPI*>(&client_);
    }
    if (std::strcmp(name, orvaus::kFileXferClientName) == 0) {
      return static_cast<orvaus::IFileXferClient*>(&client_);
    }
    return nullptr;
  }

 private:
  SystemFileXferClient client_;
};

ScopedONetModule::ScopedONetModule() : module_(std::make_shared<ONetModule>()) {
  registered_ = TavMQ_GetService()->RegisterModule(module_);
}

ScopedONetModule::~ScopedONetModule() {
  if (!registered_) return;
  // Only our own registration is removed.
  if (TavMQ_GetService()->GetModule(orvaus::kONetModuleId) == module_) {
    TavMQ_GetService()->UnregisterModule(orvaus::kONetModuleId);
  }
}

}  // namespace oXfer
