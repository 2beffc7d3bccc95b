// ins_parser_t: reads an Internet-settings (.ins) file and builds the proxy
// answer it describes.
//
// The text is read at construction into the INI store it derives from:
// lines end at CR or LF; each line is trimmed and the first of "#", "[" and
// "=" decides what it is (a comment, a section header "[name]" up to the
// line's last "]", or "key=value" with the value cut at its first "#").
// Lines with none of them are ignored.
//
// From section "Proxy": when Proxy_Enable is false (the default), both
// strings stay empty. Otherwise proxy_string is a PAC result string: the
// HTTP_Proxy_Server value as it stands when Use_Same_Proxy is true, else
// "PROXY http; PROXY secure; FTP ftp; SOCKS socks" from the non-empty
// values of HTTP_Proxy_Server, Secure_Proxy_Server, FTP_Proxy_Server and
// Socks_Proxy_Server. That string never exceeds kMaxProxyString characters
// (the size of the answer buffer less its terminator): an element that
// would not fit whole is left out, so no entry is ever cut short.
// bypass_string is the raw Proxy_Override value.
//
// Bounds on what is read (a downloaded file may be hostile): only the whole
// lines within the first kMaxInsBytes of the text are parsed; the Use_Same_Proxy value is held to
// kMaxProxyString like the built string, and Proxy_Override to
// kMaxBypassString, both cut after the last whole element (at a "," or ";")
// that fits, so no element is ever cut short.
//
// Thread-safety: none; a parser is built, read and dropped by one thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "klbutil/klb_ini.h"

namespace OVProxy {

class ins_parser_t : public klb::ini_t {
 public:
  static constexpr std::size_t kProxyBufferSize = 1024;
  static constexpr std::size_t kMaxProxyString = kProxyBufferSize - 1;
  static constexpr std::size_t kMaxInsBytes = std::size_t{1} << 20;
  static constexpr std::size_t kMaxBypassString = std::size_t{64} << 10;

  explicit ins_parser_t(std::string_view content);
  ~ins_parser_t() override;

  bool enabled() const { return enabled_; }
  bool use_same() const { return use_same_; }
  const std::string& proxy_string() const { return proxy_string_; }
  const std::string& bypass_string() const { return bypass_string_; }

 private:
  void parse_lines(std::string_view content);
  void read_proxy_settings();

  bool enabled_ = false;
  bool use_same_ = false;
  std::string proxy_string_;
  std::string bypass_string_;
};

}  // namespace OVProxy
