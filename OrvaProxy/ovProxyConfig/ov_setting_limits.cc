#include "OrvaProxy/ovProxyConfig/ov_setting_limits.h"

namespace OVProxy {
namespace {

std::string TooLong(std::string_view what, std::size_t size, std::size_t limit) {
  return std::string(what) + ": " + std::to_string(size) + " bytes, limit " + std::to_string(limit);
}

// The host of one proxy entry: after "key=" and "scheme://", before the
// last ":" (the port). Brackets count; only the length matters here.
std::string_view ProxyEntryHost(std::string_view entry) {
  if (const std::size_t equals = entry.find('='); equals != std::string_view::npos) {
    entry.remove_prefix(equals + 1);
  }
  if (const std::size_t scheme = entry.find("://"); scheme != std::string_view::npos) {
    entry.remove_prefix(scheme + 3);
  }
  if (const std::size_t colon = entry.rfind(':'); colon != std::string_view::npos) {
    entry = entry.substr(0, colon);
  }
  return entry;
}

std::size_t LengthWithoutBlanks(std::string_view text) {
  std::size_t length = 0;
  for (char c : text) length += (c != ' ' && c != '\t') ? 1 : 0;
  return length;
}

// Splits at any of `separators`, drops the pieces `drop` refuses and joins
// the rest with `joiner`; the text itself when nothing was dropped.
template <typename Drop>
std::string DropPieces(const std::string& text, std::string_view separators, char joiner,
                       Drop drop) {
  std::string kept;
  bool dropped = false;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find_first_of(separators, start);
    if (end == std::string::npos) end = text.size();
    const std::string_view piece = std::string_view(text).substr(start, end - start);
    if (drop(piece)) {
      dropped = true;
    } else if (!piece.empty()) {
      if (!kept.empty()) kept += joiner;
      kept += piece;
    }
    start = end + 1;
  }
  return dropped ? kept : text;
}

}  // namespace

std::string BoundedValue(std::string_view what, std::string value, std::size_t limit,
                         std::vector<std::string>& refused) {
  if (value.size() <= limit) return value;
  refused.push_back(TooLong(what, value.size(), limit));
  return {};
}

std::string DropOverlongProxyHosts(std::string_view what, const std::string& proxy,
                                   std::vector<std::string>& refused) {
  // A string with "=" is split at ";" only (the per-scheme form); a plain
  // list also at blanks and "," as the proxy list reads it.
  const std::string_view separators =
      proxy.find('=') != std::string::npos ? std::string_view(";") : "; ,\t\r\n";
  return DropPieces(proxy, separators, ';', [&](std::string_view entry) {
    const std::size_t host = ProxyEntryHost(entry).size();
    if (host <= kMaxHostNameBytes) return false;
    refused.push_back(TooLong(std::string(what) + " host", host, kMaxHostNameBytes));
    return true;
  });
}

std::string DropOverlongBypassEntries(std::string_view what, const std::string& list,
                                      std::vector<std::string>& refused) {
  return DropPieces(list, ",;", ',', [&](std::string_view entry) {
    const std::size_t length = LengthWithoutBlanks(entry);
    if (length <= kMaxHostNameBytes) return false;
    refused.push_back(TooLong(std::string(what) + " entry", length, kMaxHostNameBytes));
    return true;
  });
}

void ovConditionLog::Update(const std::vector<std::string>& conditions) {
  std::string joined;
  for (const std::string& condition : conditions) {
    if (!joined.empty()) joined += "; ";
    joined += condition;
  }
  if (joined == last_) return;
  if (joined.empty()) {
    ovLog(level_, label_, subject_ + " - none any more");
  } else {
    ovLog(level_, label_, subject_ + " - " + joined);
  }
  last_ = std::move(joined);
}

}  // namespace OVProxy
