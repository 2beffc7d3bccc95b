// Bounds on the setting values the configuration sources take from the
// system (GNOME, KDE, the environment, WinHTTP) and from Firefox's prefs.js,
// and a log of conditions that says each one once.
//
// Real values stay far below the bounds. A value past one comes from a
// broken or hostile file; keeping it would cost its size again at every copy
// of the configuration (each poll, each observer, the data-sync channel), so
// it is refused, as if it were not set, and the source says so:
//   kMaxHostNameBytes  255 bytes: the longest host name DNS can carry; a
//                      proxy host or a bypass entry past it is dropped.
//   kMaxUrlBytes       2 KiB: a PAC URL.
//   kMaxListBytes      64 KiB: a manual proxy string or a bypass list (about
//                      a thousand entries).
//
// Thread: the functions are pure; an ovConditionLog belongs to one thread at
// a time (a source's polling runner).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "OrvaProxy/ov_log.h"

namespace OVProxy {

inline constexpr std::size_t kMaxHostNameBytes = 255;
inline constexpr std::size_t kMaxUrlBytes = 2 * 1024;
inline constexpr std::size_t kMaxListBytes = 64 * 1024;

// `value`, or empty when it is longer than `limit`; a refusal is named in
// `refused` ("<what>: 70000 bytes, limit 65536").
std::string BoundedValue(std::string_view what, std::string value, std::size_t limit,
                         std::vector<std::string>& refused);

// A manual proxy string ("h:p" lists or "scheme=h:p;..." entries) without
// the entries whose host is longer than a host name; unchanged when none is.
std::string DropOverlongProxyHosts(std::string_view what, const std::string& proxy,
                                   std::vector<std::string>& refused);

// A bypass list ("," or ";" separated) without the entries longer than a
// host name (blanks not counted, as the rules drop them); unchanged when none
// is.
std::string DropOverlongBypassEntries(std::string_view what, const std::string& list,
                                      std::vector<std::string>& refused);

// Logs a set of conditions (such as refused values) when it starts and when
// it changes, and one line when it ends, instead of once per poll.
class ovConditionLog {
 public:
  // `subject` starts each line: "ProxyConfigServiceFirefox: Settings not used".
  ovConditionLog(LogLevel level, LogLabel label, std::string subject)
      : level_(level), label_(label), subject_(std::move(subject)) {}

  // The conditions that hold now; empty when none does.
  void Update(const std::vector<std::string>& conditions);

 private:
  LogLevel level_;
  LogLabel label_;
  std::string subject_;
  std::string last_;  // the conditions last logged, joined
};

}  // namespace OVProxy
