#include "OrvaProxy/oPACParser/js_script_cache.h"

#include <functional>
#include <utility>

namespace OVProxy {

void js_script_cache_t::drop_idle(int64_t now_us) {
  entries_.remove_if(
      [now_us](const Entry& entry) { return now_us - entry.last_used_us > kIdleLimitUs; });
}

const std::string* js_script_cache_t::find(std::string_view script, int64_t now_us) {
  drop_idle(now_us);
  const std::size_t hash = std::hash<std::string_view>{}(script);
  for (auto it = entries_.begin(); it != entries_.end(); ++it) {
    if (it->hash != hash || it->script != script) continue;
    it->last_used_us = now_us;
    entries_.splice(entries_.begin(), entries_, it);
    return &entries_.front().compiled;
  }
  return nullptr;
}

void js_script_cache_t::insert(std::string_view script, std::string compiled, int64_t now_us) {
  drop_idle(now_us);
  const std::size_t hash = std::hash<std::string_view>{}(script);
  entries_.remove_if(
      [&](const Entry& entry) { return entry.hash == hash && entry.script == script; });
  entries_.push_front(Entry{hash, std::string(script), std::move(compiled), now_us});
  while (entries_.size() > kCapacity) entries_.pop_back();
}

std::size_t js_script_cache_t::bytes() const {
  std::size_t total = 0;
  for (const Entry& entry : entries_) total += entry.script.size() + entry.compiled.size();
  return total;
}

}  // namespace OVProxy
