// The file-transfer module as the message-queue service knows it: registered
// under "com.orva.module.oNet", answering "orvaus.class.IONetAPI" and
// "orvaus.class.IFileXferClient" with a client of its own: a
// WinHttpFileXferClient on Windows, a CurlFileXferClient elsewhere.
//
// On this platform the host is us: whoever hosts the proxy module (the
// module's entry, the ovproxy tool) keeps a ScopedONetModule for as long as
// downloads may be asked for.
//
// Thread: construct and destroy on one thread, never on the module's own.
// Lifetime: destruction unregisters the module; its thread stops once the
// last caller that looked the module up lets go of it.
#pragma once

#include <memory>

namespace oXfer {

class ONetModule;

class ScopedONetModule {
 public:
  ScopedONetModule();
  ~ScopedONetModule();
  ScopedONetModule(const ScopedONetModule&) = delete;
  ScopedONetModule& operator=(const ScopedONetModule&) = delete;

  // False when another module was registered under the same id first; this
  // one then serves nobody.
  bool registered() const { return registered_; }

 private:
  std::shared_ptr<ONetModule> module_;
  bool registered_ = false;
};

}  // namespace oXfer
