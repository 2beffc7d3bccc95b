#include "ovtest/fake_config_sources.h"

namespace ovtest {

FakeUserProxySettings::FakeUserProxySettings() {
  settings_.backend = "fake";
  ovplatform::OverrideUserProxySettingsReaderForTesting(this);
}

FakeUserProxySettings::~FakeUserProxySettings() {
  ovplatform::OverrideUserProxySettingsReaderForTesting(nullptr);
}

void FakeUserProxySettings::Set(const ovplatform::UserProxySettings& settings) {
  std::lock_guard<std::mutex> lock(mutex_);
  settings_ = settings;
}

void FakeUserProxySettings::Fail(uint32_t error) {
  std::lock_guard<std::mutex> lock(mutex_);
  error_ = error;
}

int FakeUserProxySettings::reads() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return reads_;
}

bool FakeUserProxySettings::Read(ovplatform::UserProxySettings& out, uint32_t& error) {
  std::lock_guard<std::mutex> lock(mutex_);
  ++reads_;
  error = error_;
  if (error_ != 0) return false;
  out = settings_;
  return true;
}

FakeDefaultBrowser::FakeDefaultBrowser(std::string program) : program_(std::move(program)) {
  ovplatform::OverrideDefaultBrowserLocatorForTesting(this);
}

FakeDefaultBrowser::~FakeDefaultBrowser() {
  ovplatform::OverrideDefaultBrowserLocatorForTesting(nullptr);
}

void FakeDefaultBrowser::SetProgram(std::string program) {
  std::lock_guard<std::mutex> lock(mutex_);
  program_ = std::move(program);
}

int FakeDefaultBrowser::lookups() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lookups_;
}

std::optional<ovplatform::DefaultBrowser> FakeDefaultBrowser::HttpHandler() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++lookups_;
  if (program_.empty()) return std::nullopt;
  return ovplatform::DefaultBrowser{"fake.desktop", "/fake/fake.desktop", program_};
}

}  // namespace ovtest
