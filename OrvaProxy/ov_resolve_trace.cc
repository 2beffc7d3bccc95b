#include "OrvaProxy/ov_resolve_trace.h"

#include <unordered_map>

#include "onetutils/orva_url_utils.h"
#include "tavlib/tav_no_destructor.h"

namespace OVProxy {

const char* ovTraceStepKindName(ovTraceStepKind kind) {
  switch (kind) {
    case ovTraceStepKind::Config:
      return "config";
    case ovTraceStepKind::HostCache:
      return "host-cache";
    case ovTraceStepKind::Bypass:
      return "bypass";
    case ovTraceStepKind::Resolver:
      return "resolver";
    case ovTraceStepKind::Pac:
      return "pac";
    case ovTraceStepKind::PkHalf:
      return "pk-half";
    case ovTraceStepKind::Evaluation:
      return "evaluation";
    case ovTraceStepKind::Failed:
      return "failed";
    case ovTraceStepKind::Fallback:
      return "fallback";
    case ovTraceStepKind::Timeout:
      return "timeout";
    case ovTraceStepKind::Answer:
      return "answer";
  }
  return "unknown";
}

const char* ovChangeCauseName(ovChangeCause cause) {
  switch (cause) {
    case ovChangeCause::Settings:
      return "settings change";
    case ovChangeCause::Network:
      return "network change";
    case ovChangeCause::PacScript:
      return "new PAC script";
  }
  return "unknown";
}

std::string ovTraceStep::get(std::string_view name) const {
  for (const auto& [key, value] : fields) {
    if (key == name) return value;
  }
  return {};
}

const ovTraceStep* ovResolveTrace::find(ovTraceStepKind kind) const {
  for (const ovTraceStep& step : steps) {
    if (step.kind == kind) return &step;
  }
  return nullptr;
}

std::string ovTraceUrl(const std::string& url) {
  std::string scheme, host, port, path;
  ONet::IOrvaUrlUtils* utils = ONet::GetOrvaUrlUtils();
  if (utils == nullptr || utils->ParseUrl(url, scheme, host, port, path) == 0 || host.empty()) {
    return "*****";
  }
  for (char& c : scheme) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return scheme + "://" + host + (port.empty() ? "" : ":" + port);
}

std::string ovTraceConfigKind(const ovProxyConfig& config) {
  if (config.auto_detect()) return "auto-detect";
  if (config.has_pac_url()) return "pac";
  return config.proxy_rules().type == ovProxyConfig::RulesType::None ? "direct" : "manual";
}

ovTraceRecord::ovTraceRecord(std::string requestId, const std::string& url) {
  trace_.request_id = std::move(requestId);
  trace_.url = ovTraceUrl(url);
}

void ovTraceRecord::add(ovTraceStepKind kind, ovTraceFields fields) {
  std::lock_guard lock(mutex_);
  trace_.steps.push_back(ovTraceStep{kind, std::move(fields)});
}

bool ovTraceRecord::has(ovTraceStepKind kind) const {
  std::lock_guard lock(mutex_);
  return trace_.find(kind) != nullptr;
}

ovResolveTrace ovTraceRecord::snapshot() const {
  std::lock_guard lock(mutex_);
  return trace_;
}

namespace ovTraceBook {
namespace {

struct Book {
  std::mutex mutex;
  std::unordered_map<std::string, std::shared_ptr<ovTraceRecord>> records;
};

// Never destroyed: executor threads may still note a step while the
// process exits.
Book& TheBook() {
  static Tav::NoDestructor<Book> book;
  return *book;
}

std::atomic<std::size_t> g_open{0};

}  // namespace

bool Active() {
  return g_open.load(std::memory_order_relaxed) != 0;
}

void Open(const std::string& key, std::shared_ptr<ovTraceRecord> record) {
  if (!record) return;
  Book& book = TheBook();
  std::lock_guard lock(book.mutex);
  book.records[key] = std::move(record);
  g_open.store(book.records.size(), std::memory_order_relaxed);
}

void Close(const std::string& key) {
  if (!Active()) return;
  Book& book = TheBook();
  std::lock_guard lock(book.mutex);
  book.records.erase(key);
  g_open.store(book.records.size(), std::memory_order_relaxed);
}

void Note(const std::string& key, ovTraceStepKind kind, ovTraceFields fields) {
  if (!Active()) return;
  std::shared_ptr<ovTraceRecord> record;
  {
    Book& book = TheBook();
    std::lock_guard lock(book.mutex);
    const auto found = book.records.find(key);
    if (found == book.records.end()) return;
    record = found->second;
  }
  record->add(kind, std::move(fields));
}

}  // namespace ovTraceBook
}  // namespace OVProxy
