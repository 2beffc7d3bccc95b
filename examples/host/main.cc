// A host of the installed OrvaProxy module, used exactly as a client module
// uses it: load the module (InitModule), find "IOrvaProxyService",
// initialise it with a delegate, report a network change through the
// observer the provider hands over, ask for every URL at once and wait for
// the answers, then shut down cleanly (uninitialize, TermModule).
//
//   orvaproxy_host https://example.org/ intranet.example:8443
#include <OrvaProxy/orva_proxy.h>

#include <condition_variable>
#include <cstddef>
#include <iostream>
#include <map>
#include <mutex>
#include <string>

namespace {

// The host's side of the provider: it keeps the observer through which it
// tells the module about network changes.
class Host final : public OVProxy::ovProxyServiceDelegate {
 public:
  void setNetStateObserver(OVProxy::ovNetStateObserver* observer) override {
    std::lock_guard lock(mutex_);
    observer_ = observer;
  }
  // What the host calls when the operating system reports a new network.
  void NetworkChanged(const std::string& name) {
    std::lock_guard lock(mutex_);
    if (observer_) observer_->OnNetworkStateChanged(OVProxy::ovNetworkState::Connected, name);
  }

 private:
  std::mutex mutex_;
  OVProxy::ovNetStateObserver* observer_ = nullptr;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::cerr << "usage: orvaproxy_host URL...\n";
    return 2;
  }
  Tav::ITavMessageQueueClient* module = InitModule();
  auto* provider = static_cast<OVProxy::ovProxyResolveServiceProvider*>(
      module ? module->QueryInterface("IOrvaProxyService") : nullptr);
  Host host;
  if (!provider || !provider->initialize(&host)) {
    std::cerr << "orvaproxy_host: the proxy module could not be initialised\n";
    TermModule(module);
    return 1;
  }
  provider->setDelegate(&host);
  host.NetworkChanged("example-network");

  std::mutex mutex;
  std::condition_variable answered;
  std::map<std::string, std::string> answers;  // request id -> line
  std::size_t open = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string url = argv[i];
    std::string request_id;  // the provider writes a fresh one in
    std::lock_guard lock(mutex);
    ++open;
    const bool accepted = provider->resolveProxy(
        url, "",
        [&, url](const std::string& id, const OVProxy::ovProxyInfo& info,
                 OVProxy::eErrorCode code) {
          std::lock_guard inner(mutex);
          answers[id] =
              url + "\t" +
              (code == OVProxy::e_success ? info.ToPacString() : "ERROR " + std::to_string(code));
          if (--open == 0) answered.notify_all();
        },
        request_id, 5000);
    if (!accepted) --open;
  }
  {
    // Every accepted request is answered, at the latest when its time-out
    // has passed.
    std::unique_lock lock(mutex);
    answered.wait(lock, [&] { return open == 0; });
    for (const auto& [id, line] : answers) std::cout << line << "\n";
  }
  provider->setDelegate(nullptr);
  provider->uninitialize();
  return TermModule(module);
}
