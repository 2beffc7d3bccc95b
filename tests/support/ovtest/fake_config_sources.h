// Fakes of the platform layers the configuration sources read: the user's
// proxy settings and the default browser. Each installs itself while it
// lives and counts its reads.
//
// Thread-safety: every member may be called from any thread (the system
// source reads on its polling runner).
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "platform/browser/ov_default_browser.h"
#include "platform/proxysettings/ov_user_proxy_settings.h"

namespace ovtest {

class FakeUserProxySettings final : public ovplatform::UserProxySettingsReader {
 public:
  FakeUserProxySettings();
  ~FakeUserProxySettings() override;

  void Set(const ovplatform::UserProxySettings& settings);
  // Makes reads fail with `error`; 0 makes them succeed again.
  void Fail(uint32_t error);
  int reads() const;

  bool Read(ovplatform::UserProxySettings& out, uint32_t& error) override;

 private:
  mutable std::mutex mutex_;
  ovplatform::UserProxySettings settings_;
  uint32_t error_ = 0;
  int reads_ = 0;
};

class FakeDefaultBrowser final : public ovplatform::DefaultBrowserLocator {
 public:
  // `program` empty: no handler.
  explicit FakeDefaultBrowser(std::string program = {});
  ~FakeDefaultBrowser() override;

  void SetProgram(std::string program);
  int lookups() const;

  std::optional<ovplatform::DefaultBrowser> HttpHandler() override;

 private:
  mutable std::mutex mutex_;
  std::string program_;
  int lookups_ = 0;
};

}  // namespace ovtest
