// js_runner_t: evaluates one PAC script for one (URL, host) pair.
//
// A runner owns a copy of the script text and is meant to be built on the
// stack for one evaluation. run() calls the script's FindProxyForURL(url,
// host) and hands back the string it returned:
//   0   (kJsOk)           the string is in `result`;
//   811 (kJsEmptyScript)  the script is empty, nothing was run;
//   22  (kJsLoadFailed)   the script text could not be loaded;
//   999 (kJsEngineFailed) the engine failed: the script did not parse, threw,
//                         lacks FindProxyForURL, returned a non-string or
//                         a string that is not ASCII, went over its time or
//                         heap bound (js_limits.h), or was interrupted by its
//                         caller (js_interrupt.h).
// On any status other than 0, `result` is left as it was.
//
// Threads: run may be called from any thread. One class-wide recursive
// mutex serialises every evaluation in the process (at most one script runs
// at a time); inside an evaluation the lock cs_jsproxy guards the
// process-wide loaded-script buffer, which holds the engine form of the
// running script and exists only while it runs. Evaluations are bounded in
// time, so a script that never returns delays others by at most the bound.
#pragma once

#include <cstdint>
#include <string>

#include "OrvaProxy/oPACParser/js_status.h"
#include "klbutil/klb_sync.h"

namespace OVProxy {

class js_runner_t : klb::no_copy_T<js_runner_t>,
                    public klb::safe_class<js_runner_t, klb::thread_mutex_recursive> {
 public:
  explicit js_runner_t(std::string script);
  virtual ~js_runner_t();

  int32_t run(const std::string& url, const std::string& host, std::string& result);
  // The same, telling where and why a failed evaluation stopped.
  int32_t run(const std::string& url, const std::string& host, std::string& result,
              js_failure_t* failure);
  // Loads the script (prelude, script, top level) without calling
  // FindProxyForURL: kJsOk when it loads, else the status run would give.
  int32_t check(js_failure_t* failure);

 private:
  // Evaluates under both locks; `url` null means check only.
  int32_t evaluate(const std::string* url, const std::string* host, std::string& result,
                   js_failure_t* failure);

  std::string script_;
};

}  // namespace OVProxy
