// A consumer of the installed OrvaProxy package: builds a manual proxy
// configuration from the command line and tells, for each URL, whether the
// bypass list sends it direct.
//
//   orvaproxy_example "http=proxy:3128" "*.corp.example;<local>" https://a.corp.example/
#include <OrvaProxy/orva_proxy.h>

#include <iostream>

int main(int argc, char** argv) {
  if (argc < 2) {
    std::cerr << "usage: orvaproxy_example PROXY-STRING [BYPASS-LIST [URL...]]\n";
    return 2;
  }
  OVProxy::ovProxyConfig config;
  config.proxy_rules().ParseFromString(argv[1]);
  if (argc > 2) config.proxy_rules().bypass_rules.ParseFromString(argv[2]);

  std::cout << config.toString() << "\n";
  std::cout << "bypass: " << config.proxy_rules().bypass_rules.ToString() << "\n";
  for (int i = 3; i < argc; ++i) {
    const bool direct =
        config.proxy_rules().bypass_rules.Matches(argv[i], config.proxy_rules().invert_bypass);
    std::cout << argv[i] << "\t" << (direct ? "bypassed (DIRECT)" : "through the proxy") << "\n";
  }
  return 0;
}
