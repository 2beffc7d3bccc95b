// js_script_cache_t: compiled forms (engine bytecode) of the scripts
// evaluated lately, so that a PAC evaluated again is loaded instead of
// parsed.
//
// Entries are keyed by the script's whole text: a hash finds the candidate,
// a full compare confirms it, so two scripts never share an entry. The
// cache holds at most kCapacity scripts (the least recently used one goes
// first) and drops a script that has not been used for kIdleLimitUs, so a
// PAC that was replaced does not stay in memory.
//
// Thread-safety: none; the engine uses it under its own lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <string>
#include <string_view>

namespace OVProxy {

class js_script_cache_t {
 public:
  static constexpr std::size_t kCapacity = 4;
  static constexpr int64_t kIdleLimitUs = int64_t{10} * 60 * 1'000'000;  // 10 minutes

  // The compiled form of `script`, or null. `now_us` is a monotonic time;
  // scripts idle for longer than the limit are dropped first.
  const std::string* find(std::string_view script, int64_t now_us);
  void insert(std::string_view script, std::string compiled, int64_t now_us);
  std::size_t size() const { return entries_.size(); }
  std::size_t bytes() const;
  void clear() { entries_.clear(); }

 private:
  struct Entry {
    std::size_t hash;
    std::string script;
    std::string compiled;
    int64_t last_used_us;
  };
  void drop_idle(int64_t now_us);

  std::list<Entry> entries_;  // most recently used first
};

}  // namespace OVProxy
