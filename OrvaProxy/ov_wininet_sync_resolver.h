// ovWininetSyncResolver: answers on the calling thread from a configuration
// whose PAC text has already been downloaded (ovProxyConfig::pac_content).
//
// The PAC text is evaluated in process by js_runner_t, or, when the PAC URL
// names an Internet-settings file (is_ins_url), read by ins_parser_t with
// its bypass list. A script sees the URL as PacScriptUrl cleans it and the
// host of the full URL (host_from_url). The answer string is parsed by analyze_auto_config_group
// and written into the result with fill_proxy_info. A successful resolution
// reports latency metric 21.
//
// resolve answers e_success; e_resolver_not_initialized before initialize;
// e_invalid_argument without a configuration or for an empty URL;
// e_not_supported without PAC text or for a "file://" PAC URL;
// e_resolve_failed when the evaluation (or the .ins reading) failed.
// requestId and extra are not used; nothing is cancelled (it answers at
// once).
//
// Threads: resolve may run on any thread and keeps no per-request state;
// evaluations are serialised process-wide by js_runner_t. initialize and
// uninitialize are not synchronised with resolve.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "OrvaProxy/oPACParser/js_status.h"
#include "OrvaProxy/ov_proxy_resolver.h"

namespace OVProxy {

class ovWininetSyncResolver : public ovProxyResolver {
 public:
  // What one resolution did, for tools that show more than the answer.
  struct Detail {
    int32_t status = 0;    // js_runner_t status (or the .ins reading's)
    std::string answer;    // the answer string before parsing
    js_failure_t failure;  // why the evaluation failed
  };

  ovWininetSyncResolver();
  ~ovWininetSyncResolver() override;

  eErrorCode initialize() override;
  eErrorCode uninitialize() override;
  eErrorCode resolve(const std::string& requestId, const std::string& url, const std::string& extra,
                     std::shared_ptr<ovProxyConfig> config, ovProxyInfo& result) override;
  std::string getName() override;
  bool isAvailable() override;

  // resolve, also telling what the evaluation did (`detail` may be null).
  eErrorCode resolveWithDetail(const std::string& url, std::shared_ptr<ovProxyConfig> config,
                               ovProxyInfo& result, Detail* detail);

 private:
  eErrorCode resolveInner(const std::string& url, const ovProxyConfig& config,
                          const std::string& pac_text, ovProxyInfo& result, Detail& detail);

  bool initialized_ = false;
  bool available_ = true;
};

// The host a PAC script is asked about: ONet::UrlHostWithoutBrackets (no
// user information, no port, an IPv6 literal without its brackets).
std::string host_from_url(const std::string& url);

// Whether the first ".ins" in `pac_url` (case-sensitive) ends it.
bool is_ins_url(const std::string& pac_url);

// Reads .ins `content` and answers for `host`: 0 with the proxy string (or
// "" when the host is bypassed) in `answer`; 2 for empty content.
int32_t resolve_with_ins(const std::string& content, const std::string& url,
                         const std::string& host, std::string& answer);

}  // namespace OVProxy
