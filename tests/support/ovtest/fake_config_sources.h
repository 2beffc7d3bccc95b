// Fakes of the user's proxy settings and of the default browser, read by the
// configuration sources. Each installs itself while it lives and counts its
// reads. Any member may be called from any thread.
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
  FakeUserProxySettings() {
    settings_.backend = "fake";
    ovplatform::OverrideUserProxySettingsReaderForTesting(this);
  }
  ~FakeUserProxySettings() override {
    ovplatform::OverrideUserProxySettingsReaderForTesting(nullptr);
  }

  void Set(const ovplatform::UserProxySettings& settings) {
    std::lock_guard lock(mutex_);
    settings_ = settings;
  }
  int reads() const {
    std::lock_guard lock(mutex_);
    return reads_;
  }
  bool Read(ovplatform::UserProxySettings& out, uint32_t& error) override {
    std::lock_guard lock(mutex_);
    ++reads_;
    error = 0;
    out = settings_;
    return true;
  }

 private:
  mutable std::mutex mutex_;
  ovplatform::UserProxySettings settings_;
  int reads_ = 0;
};

class FakeDefaultBrowser final : public ovplatform::DefaultBrowserLocator {
 public:
  // `program` empty: no handler.
  explicit FakeDefaultBrowser(std::string program = {}) : program_(std::move(program)) {
    ovplatform::OverrideDefaultBrowserLocatorForTesting(this);
  }
  ~FakeDefaultBrowser() override { ovplatform::OverrideDefaultBrowserLocatorForTesting(nullptr); }

  void SetProgram(std::string program) {
    std::lock_guard lock(mutex_);
    program_ = std::move(program);
  }
  std::optional<ovplatform::DefaultBrowser> HttpHandler() override {
    std::lock_guard lock(mutex_);
    if (program_.empty()) return std::nullopt;
    return ovplatform::DefaultBrowser{"fake.desktop", "/fake/fake.desktop", program_};
  }

 private:
  mutable std::mutex mutex_;
  std::string program_;
};

}  // namespace ovtest
