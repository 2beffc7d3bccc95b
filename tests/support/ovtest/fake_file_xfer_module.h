// FakeFileXferModule: a file-transfer module registered with the
// message-queue service while it lives. It records every start and keeps
// each transfer until the test completes it with Complete, on the test's
// thread (standing in for the module's). Readiness and acceptance of starts
// can be switched off. Thread-safe; Complete calls the observer outside the
// fake's lock.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "onetxfer/oxfer_types.h"

namespace ovtest {

class FakeFileXferModule {
 public:
  struct Start {
    oXfer::RequestId id;
    std::string url;
    std::string validator_1;
    std::string validator_2;
  };

  FakeFileXferModule();
  ~FakeFileXferModule();
  FakeFileXferModule(const FakeFileXferModule&) = delete;
  FakeFileXferModule& operator=(const FakeFileXferModule&) = delete;
  void SetReady(bool ready);
  void RefuseStarts(bool refuse);
  std::vector<Start> starts() const;
  // Started and not yet completed.
  std::size_t open_transfers() const;
  // Streams `body` through the transfer's data callback, sets a result record
  // with the validators (none without `withResult`) and calls
  // OnComplete(id, code). False for an unknown or finished id.
  bool Complete(const oXfer::RequestId& id, int32_t code, const std::string& body = "",
                const std::string& validator1 = "", const std::string& validator2 = "",
                bool withResult = true);

 private:
  class Module;
  std::shared_ptr<Module> module_;
};

}  // namespace ovtest
