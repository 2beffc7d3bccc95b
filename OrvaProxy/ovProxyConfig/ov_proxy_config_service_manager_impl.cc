#include "OrvaProxy/ovProxyConfig/ov_proxy_config_service_manager_impl.h"

#include <algorithm>
#include <cctype>

#include "OrvaProxy/ovProxyConfig/ov_polling_proxy_config_service.h"
#include "OrvaProxy/ovProxyConfig/ov_proxy_config_service_firefox.h"
#include "OrvaProxy/ovProxyConfig/ov_proxy_config_service_win.h"
#include "OrvaProxy/ov_log.h"
#include "orvatask/orva_task.h"
#include "platform/browser/ov_default_browser.h"

#define OV_CHECK_OWNER() checkOwnerThreadImpl(__func__, __FILE__, __LINE__)

namespace OVProxy {
namespace {

const char* SourceName(const ovProxyConfig& config) {
  return config.source() == ConfigSource::Firefox ? "Firefox" : "System";
}

}  // namespace

ovProxyConfigServiceManagerImpl::ovProxyConfigServiceManagerImpl(const std::string& ownerRunnerName)
    : owner_runner_name_(ownerRunnerName) {
  OrvaTask::IOVTManager* manager = OrvaTask::GetOVTManager();
  if (!owner_runner_name_.empty() && manager != nullptr) {
    owner_runner_id_ = manager->GetRunnerId(owner_runner_name_);
  }
  windows_service_ = std::make_unique<ovProxyConfigServiceWin>(
      owner_runner_name_, ovPollingProxyConfigService::kDefaultPollInterval);
  windows_service_->addObserver(this);
  ovLog(LogLevel::kInfo, "CfgMgr00001", "ConfigServiceManager: System service initialized");
}

ovProxyConfigServiceManagerImpl::~ovProxyConfigServiceManagerImpl() {
  if (windows_service_) windows_service_->removeObserver(this);
  if (firefox_service_) firefox_service_->removeObserver(this);
  firefox_service_.reset();
  windows_service_.reset();
  observers_.clear();
}

bool ovProxyConfigServiceManagerImpl::checkOwnerThreadImpl(const char* /*function*/,
                                                           const char* /*file*/,
                                                           int /*line*/) const {
  if (owner_runner_id_ == OrvaTask::kInvalidRunnerId) return true;
  OrvaTask::IOVTManager* manager = OrvaTask::GetOVTManager();
  if (manager == nullptr) return true;
  const std::string current = OrvaTask::GetRunnerNameOfCurrentThread();
  return !current.empty() && manager->GetRunnerId(current) == owner_runner_id_;
}

ovProxyConfigAvailability ovProxyConfigServiceManagerImpl::getLatestProxyConfig(
    ovProxyConfig& out) {
  if (browser_type_ == ovBrowserType::Undetected) detectAndSetDefaultBrowser();
  ovProxyConfigService* service = getActiveService();
  return service != nullptr ? service->getLatestProxyConfig(out) : CONFIG_UNSET;
}

void ovProxyConfigServiceManagerImpl::onLazyPoll() {
  if (ovProxyConfigService* service = getActiveService()) service->onLazyPoll();
}

void ovProxyConfigServiceManagerImpl::onNetworkStateChanged() {
  if (windows_service_) windows_service_->onNetworkStateChanged();
  if (firefox_service_) firefox_service_->onNetworkStateChanged();
}

void ovProxyConfigServiceManagerImpl::addObserver(ovProxyConfigServiceObserver* observer) {
  if (observer == nullptr || !OV_CHECK_OWNER()) return;
  if (std::find(observers_.begin(), observers_.end(), observer) == observers_.end()) {
    observers_.push_back(observer);
  }
}

void ovProxyConfigServiceManagerImpl::removeObserver(ovProxyConfigServiceObserver* observer) {
  if (observer == nullptr || !OV_CHECK_OWNER()) return;
  if (auto it = std::find(observers_.begin(), observers_.end(), observer); it != observers_.end()) {
    observers_.erase(it);
  }
}

std::string ovProxyConfigServiceManagerImpl::getServiceName() {
  ovProxyConfigService* service = getActiveService();
  return service != nullptr ? "ProxyConfigServiceManager(" + service->getServiceName() + ")"
                            : "ProxyConfigServiceManager(no service)";
}

const ovProxyConfig* ovProxyConfigServiceManagerImpl::currentConfig() {
  ovProxyConfigService* service = getActiveService();
  return service != nullptr ? service->currentConfig() : nullptr;
}

void ovProxyConfigServiceManagerImpl::setBrowserType(ovBrowserType type) {
  if (!OV_CHECK_OWNER()) return;
  const ovBrowserType old_type = browser_type_;
  browser_type_ = type;
  handleBrowserTypeChange(old_type, type);
}

ovBrowserType ovProxyConfigServiceManagerImpl::getBrowserType() {
  return OV_CHECK_OWNER() ? browser_type_ : ovBrowserType::Undetected;
}

std::string ovProxyConfigServiceManagerImpl::describeSource() {
  ovProxyConfigService* service = getActiveService();
  if (service == nullptr) return "none";
  if (service == firefox_service_.get()) {
    const std::string path = firefox_service_->profilePath();
    return path.empty() ? "Firefox" : "Firefox (" + path + ")";
  }
  const std::string backend = windows_service_->lastBackend();
  return backend.empty() ? "system" : "system (" + backend + ")";
}

bool ovProxyConfigServiceManagerImpl::shouldUseFirefoxConfig() {
  if (browser_type_ != ovBrowserType::Firefox || !firefox_service_) return false;
  if (!firefox_service_->hasConfig()) return true;
  const bool use_firefox = firefox_service_->availability() != CONFIG_UNSET;
  // Asked at every request: say it when the choice changes only.
  if (logged_choice_ != static_cast<int>(use_firefox)) {
    logged_choice_ = static_cast<int>(use_firefox);
    if (use_firefox) {
      ovLog(LogLevel::kInfo, "CfgMgr00003",
            "ConfigServiceManager: Config source selected - Firefox");
    } else {
      ovLog(LogLevel::kInfo, "CfgMgr00002",
            "ConfigServiceManager: Config source selected - System (Firefox UNSET)");
    }
  }
  return use_firefox;
}

ovProxyConfigService* ovProxyConfigServiceManagerImpl::getActiveService() {
  if (shouldUseFirefoxConfig() && firefox_service_) return firefox_service_.get();
  return windows_service_.get();
}

void ovProxyConfigServiceManagerImpl::handleBrowserTypeChange(ovBrowserType oldType,
                                                              ovBrowserType newType) {
  if (newType == ovBrowserType::Firefox && !firefox_service_) {
    firefox_service_ = std::make_unique<ovProxyConfigServiceFirefox>(
        owner_runner_name_, ovPollingProxyConfigService::kDefaultPollInterval);
    firefox_service_->addObserver(this);
  }
  if (oldType != newType) {
    if (ovProxyConfigService* service = getActiveService()) service->pollNow();
  }
}

void ovProxyConfigServiceManagerImpl::detectAndSetDefaultBrowser() {
  const ovBrowserType detected = getDefaultBrowser();
  setBrowserType(detected == ovBrowserType::Undetected ? ovBrowserType::Other : detected);
}

ovBrowserType ovProxyConfigServiceManagerImpl::getDefaultBrowser() {
  const auto handler = ovplatform::GetDefaultBrowserLocator().HttpHandler();
  browser_program_ = handler ? handler->program : std::string();
  if (browser_program_.empty()) return ovBrowserType::Undetected;
  std::string lower = browser_program_;
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  const ovBrowserType type =
      lower.find("firefox") != std::string::npos ? ovBrowserType::Firefox : ovBrowserType::Other;
  ovLog(LogLevel::kInfo, "CfgMgr00006",
        "ConfigServiceManager: Default browser detected - program=" + browser_program_ +
            ", firefox=" + (type == ovBrowserType::Firefox ? "1" : "0"));
  return type;
}

void ovProxyConfigServiceManagerImpl::onProxyConfigChanged(const ovProxyConfig& config,
                                                           ovProxyConfigAvailability availability) {
  const bool from_firefox = config.source() == ConfigSource::Firefox;
  // Each poll delivers its result; a repeat of the last one is not news.
  Received& last = last_received_[from_firefox ? 1 : 0];
  if (!last.any || last.availability != availability || last.config != config) {
    last.any = true;
    last.config = config;
    last.availability = availability;
    ovLog(LogLevel::kInfo, "CfgMgr00004",
          std::string("ConfigServiceManager: Received config change - from=") + SourceName(config) +
              ", availability=" + ovProxyConfigAvailabilityName(availability));
  }
  if (from_firefox && availability == CONFIG_UNSET) {
    if (windows_service_) windows_service_->pollNow();
    return;
  }
  if (from_firefox == shouldUseFirefoxConfig()) notifyObservers(config, availability);
}

void ovProxyConfigServiceManagerImpl::notifyObservers(const ovProxyConfig& config,
                                                      ovProxyConfigAvailability availability) {
  if (observers_.empty()) return;
  if (availability == last_availability_ && config == last_config_) return;
  last_config_ = config;
  last_availability_ = availability;
  ovLog(LogLevel::kInfo, "CfgMgr00005",
        std::string("ConfigServiceManager: Config changed - source=") + SourceName(config) +
            ", observers=" + std::to_string(observers_.size()));
  const std::vector<ovProxyConfigServiceObserver*> observers = observers_;
  for (ovProxyConfigServiceObserver* observer : observers) {
    if (std::find(observers_.begin(), observers_.end(), observer) == observers_.end()) continue;
    observer->onProxyConfigChanged(config, availability);
  }
}

}  // namespace OVProxy
