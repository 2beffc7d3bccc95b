// The common library's message-queue service: the process-wide registry
// through which the client's modules find each other.
//
// A module registers its client under the module identifier the client
// reports ("com.Kelbrin.module.OrvaTelemetry", ...). Whoever needs the module
// asks the service for it by that identifier and then asks the module's
// client for an interface by name; every lookup of something that is not
// there answers null.
//
// Ownership: the registry holds a shared reference to each registered client,
// and a lookup hands out another, so a module unregistered while a caller is
// using it stays alive until that caller lets go. Interface pointers a client
// answers are owned by the client and valid while the caller holds it.
// A host that owns its client itself registers it with a non-owning
// std::shared_ptr (the aliasing constructor with an empty owner).
//
// Thread-safety: every operation of the service may be called from any
// thread. Clients answer lookups on the caller's thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace Tav {

// What a module implements to take part in the message queue. Only the
// module identifier and the interface lookup must be provided; the other
// operations have the neutral behaviour a module without queue traffic wants.
class ITavMessageQueueClient {
 public:
  virtual ~ITavMessageQueueClient() = default;

  // The host has attached the module to the queue.
  virtual void OnAttached() {}
  // Hands the module the host's context. 0 on success, 4 for a null context.
  virtual int32_t Initialize(void* hostContext) { return hostContext == nullptr ? 4 : 0; }
  // The constant identifier the module is registered under.
  virtual const char* GetModuleId() const = 0;
  // Start and stop of message delivery; 0 on success.
  virtual int32_t Start() { return 0; }
  virtual int32_t Stop() { return 0; }
  // The interface called `name` (a NUL-terminated byte string compared
  // exactly), or null. The pointer is the interface's own type, cast to
  // void*; the caller casts it back to exactly that type.
  virtual void* QueryInterface(const char* name) = 0;
  // Whether the module wants its messages on the host's main thread.
  virtual bool NeedsMainThread() const { return false; }
};

class ITavMessageQueueService {
 public:
  virtual ~ITavMessageQueueService() = default;

  // Registers `client` under its module identifier. False (and nothing
  // changes) for a null client, a null or empty identifier, or an identifier
  // already registered.
  virtual bool RegisterModule(std::shared_ptr<ITavMessageQueueClient> client) = 0;
  // Removes the module registered under `moduleId`; false when none was.
  virtual bool UnregisterModule(const std::string& moduleId) = 0;
  // The module registered under `moduleId`, or null.
  virtual std::shared_ptr<ITavMessageQueueClient> GetModule(const std::string& moduleId) = 0;
  // Identifiers of the registered modules, in byte order.
  virtual std::vector<std::string> GetModuleIds() = 0;
};

}  // namespace Tav

// The process-wide service; never null and never destroyed, so it may be
// reached from any thread until the very end of the process.
Tav::ITavMessageQueueService* TavMQ_GetService();
