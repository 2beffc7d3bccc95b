// AdminSettingsStore: the in-memory store of the administrator's settings
// (tavbiz/admin_settings.h), serving as the process's policy provider,
// feature-toggle provider and experiment manager.
//
// The store reads its source only in CheckForChanges. The first call loads
// it and makes the store ready (OnPolicyReady to subscribers); every later
// call re-reads it and, when the text differs from the last one read, takes
// the new values and tells subscribers which of their policies changed
// (OnPolicyUpdated). A missing, unreadable or malformed source means no
// values and one warning line per change of that state; it never fails a
// caller. Who calls CheckForChanges decides how quickly changes are seen:
// production runs an AdminSettingsWatcher, tests call it directly.
//
// Thread-safety: every operation may be called from any thread.
// CheckForChanges calls are serialised; observers are called on the thread
// of the CheckForChanges that found the change (or of the subscription that
// found the store ready), never under the store's own lock. An observer that
// subscribes while a change is being delivered may hear OnPolicyReady on its
// own thread while the update reaches it on the checking thread.
// Lifetime: the store must outlive its watcher and its subscribers'
// subscriptions.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "tavbiz/admin_settings.h"
#include "tavbiz/experiment_mgr.h"
#include "tavbiz/tav_feature_toggle.h"
#include "tavbiz/tav_policy.h"
#include "tavbiz/tavbiz_export.h"

namespace Tav {

// What reading the source found.
struct AdminSettingsSource {
  enum class Status { kOk, kMissing, kUnreadable };
  Status status = Status::kMissing;
  std::string text;   // kOk: the contents
  std::string error;  // kUnreadable: why

  bool operator==(const AdminSettingsSource&) const = default;
};

class TAVBIZ_EXPORT AdminSettingsStore final : public opref::IPolicyProvider,
                                               public IFeatureToggleProvider,
                                               public ExperimentFramework::IExperimentMgr {
 public:
  using SourceReader = std::function<AdminSettingsSource()>;
  // level: 2 information, 3 warning.
  using LogSink = std::function<void(int32_t level, const std::string& message)>;

  // `sourceName` names the source in log lines (the file's path).
  AdminSettingsStore(std::string sourceName, SourceReader reader, LogSink sink);
  ~AdminSettingsStore() override;
  AdminSettingsStore(const AdminSettingsStore&) = delete;
  AdminSettingsStore& operator=(const AdminSettingsStore&) = delete;

  // Reads the file at `path`; larger than kMaxAdminSettingsBytes counts as
  // unreadable.
  static SourceReader FileReader(std::string path);

  // Reads the source and applies what changed (see above).
  void CheckForChanges();
  bool IsReady() const;
  AdminSettings Snapshot() const;

  // opref::IPolicyProvider
  std::optional<opref::PolicyValue> GetPolicyValue(opref::oPolicyId id) const override;
  bool SubscribePolicyUpdate(opref::IPolicyUpdateObserver* observer,
                             const std::set<opref::oPolicyId>& ids, uint32_t reserved1,
                             uint32_t reserved2) override;
  void UnsubscribePolicyUpdate(opref::IPolicyUpdateObserver* observer) override;

  // IFeatureToggleProvider
  std::optional<std::string> GetFeatureToggle(std::string_view name,
                                              std::string_view group) const override;

  // Experiments the settings have no entry for take these values; an entry
  // in the settings (true or false) always wins.
  void SetExperimentDefaults(std::map<std::string, bool> defaults);

  // ExperimentFramework::IExperimentMgr
  std::vector<std::string> GetEnabledTests() const override;
  bool IsTestEnabled(std::string_view name) const override;

 private:
  struct Subscription {
    bool all = false;  // every id, whatever `ids` holds
    std::set<opref::oPolicyId> ids;
  };

  // The ids of `subscription` among `changed`.
  static std::vector<opref::oPolicyId> Filter(const Subscription& subscription,
                                              const std::set<opref::oPolicyId>& changed);
  AdminSettings Load(const AdminSettingsSource& source, bool* failed);
  bool IsSubscribed(opref::IPolicyUpdateObserver* observer) const;
  std::optional<Subscription> SubscriptionOf(opref::IPolicyUpdateObserver* observer) const;

  const std::string source_name_;
  const SourceReader reader_;
  const LogSink sink_;

  std::mutex check_mutex_;  // serialises CheckForChanges; never held by observers' callers
  std::optional<AdminSettingsSource> last_source_;  // guarded by check_mutex_

  mutable std::mutex mutex_;  // guards what follows
  bool ready_ = false;
  AdminSettings settings_;
  std::map<opref::IPolicyUpdateObserver*, Subscription> subscribers_;
  std::map<std::string, bool, std::less<>> experiment_defaults_;
};

// The experiments this platform turns on unless the administrator's settings
// say otherwise: "UseFileXfer" (PAC files download through the file-transfer
// module, which on this platform is part of the package).
TAVBIZ_EXPORT std::map<std::string, bool> BuiltInExperimentDefaults();

}  // namespace Tav
