// The PAC prelude: the JavaScript helper functions every PAC script may use
// (dnsDomainIs, isInNet, shExpMatch, dateRange, ...), evaluated right before
// the script in the same program text.
//
// The engine offers scripts no name resolution (its one host function is
// alert, see js_engine.h), so the name-resolution
// helpers answer as if nothing resolves: dnsResolve is null, isResolvable
// false, myIpAddress "127.0.0.1".
//
// Thread-safety: constant data.
#pragma once

#include <string_view>

namespace OVProxy {

// ASCII text ending with a newline.
extern const std::string_view kPacPrelude;

// Lines of kPacPrelude (its newline count): a line number L of the whole
// program is line L - kPacPreludeLines of the PAC script.
int pac_prelude_lines();

}  // namespace OVProxy
