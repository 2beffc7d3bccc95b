// FakeFileXferModule: a file-transfer module registered with the
// message-queue service while it lives. It records every start and cancel
// and keeps each started transfer until the test completes it with
// Complete, on the test's thread (standing in for the module's thread).
//
// Readiness, the client interface and acceptance of starts can be switched
// off to exercise a downloader's missing links.
//
// Thread-safety: every operation may be called from any thread; Complete
// calls the observer on the calling thread, outside the fake's lock.
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
    bool use_validators = false;
    bool follow_redirects = false;
  };

  FakeFileXferModule();
  ~FakeFileXferModule();
  FakeFileXferModule(const FakeFileXferModule&) = delete;
  FakeFileXferModule& operator=(const FakeFileXferModule&) = delete;

  void SetReady(bool ready);
  void OfferClient(bool offer);
  void RefuseStarts(bool refuse);

  std::vector<Start> starts() const;
  std::vector<oXfer::RequestId> cancels() const;
  // Started and not yet completed.
  std::size_t open_transfers() const;

  // Completes transfer `id`: streams `body` through its data callback, sets
  // a result record with the validators (none when `withResult` is false)
  // and calls OnComplete(id, code). False for an unknown or finished id.
  bool Complete(const oXfer::RequestId& id, int32_t code, const std::string& body = "",
                const std::string& validator1 = "", const std::string& validator2 = "",
                bool withResult = true);

 private:
  class Module;
  std::shared_ptr<Module> module_;
};

}  // namespace ovtest
