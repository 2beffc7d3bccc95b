// What a PAC script is told about the URL it decides for.
//
// A PAC script may come from whoever answers WPAD on the local network, so
// it is handed only what it needs to choose a proxy: user name, password
// and fragment are removed from every URL, and for https and wss URLs the
// path and query as well ("https://host[:port]/"), since those travel
// encrypted and are none of the network's business. The host argument of
// FindProxyForURL is taken from the full URL and is unchanged.
//
// Thread-safety: a pure function.
#pragma once

#include <string>

namespace OVProxy {

std::string PacScriptUrl(const std::string& url);

}  // namespace OVProxy
