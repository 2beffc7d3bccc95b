// Proxy auto-configuration for the Northwind Traders corporate network.
// Maintained by network engineering; every change goes through review.
//
// Order of decisions:
//   1. plain host names and the corporate domains go direct;
//   2. literal addresses in private ranges go direct;
//   3. partner extranets use the partner gateway;
//   4. collaboration and update services use the media proxies;
//   5. everything else uses the regional web proxies, by scheme.
//
// Change log (most recent first):
//   2025-11-04  media proxies for the new conferencing relays (CHG-20931)
//   2025-09-18  Frankfurt egress for European country domains (CHG-20411)
//   2025-06-02  partner gateway for the supplier portal (CHG-19876)
//   2025-02-11  private 100.64/10 range of the SD-WAN goes direct (CHG-19102)
//   2024-10-30  SOCKS for market-data feeds, requested by Treasury (CHG-18650)
//   2024-07-15  blackhole for advertising and tracking hosts (CHG-18233)
//   2024-03-01  first version generated from the old proxy.pac templates

var WEB_PROXIES = "PROXY webproxy1.northwind.example:8080; PROXY webproxy2.northwind.example:8080";
var MEDIA_PROXIES = "PROXY media1.northwind.example:3128; PROXY media2.northwind.example:3128";
var PARTNER_GATEWAY = "PROXY partnergw.northwind.example:8443";
var SOCKS_GATEWAY = "SOCKS5 socks.northwind.example:1080";
var FTP_PROXY = "PROXY ftpproxy.northwind.example:2121";

function isIpLiteral(host) {
  return /^\d{1,3}\.\d{1,3}\.\d{1,3}\.\d{1,3}$/.test(host);
}

function isCorporateHost(host) {
  if (isPlainHostName(host)) return true;
  if (dnsDomainIs(host, ".northwind.example")) return true;
  if (dnsDomainIs(host, ".northwind.local")) return true;
  if (dnsDomainIs(host, ".nw-corp.example")) return true;
  if (shExpMatch(host, "*.intra.northwind.example")) return true;
  if (shExpMatch(host, "*.lab.northwind.example")) return true;
  if (shExpMatch(host, "build-*.northwind.example")) return true;
  if (shExpMatch(host, "git.northwind.example")) return true;
  if (shExpMatch(host, "wiki.northwind.example")) return true;
  if (shExpMatch(host, "jira.northwind.example")) return true;
  if (localHostOrDomainIs(host, "intranet.northwind.example")) return true;
  return false;
}

// Software-as-a-service tenants reached without the proxy: their traffic is
// already inspected by the cloud access broker, and the proxies break the
// long-lived connections some of them keep.
var DIRECT_SAAS_DOMAINS = [
  ".northwind.sharepoint-like.example",
  ".northwind.crm-like.example",
  ".northwind.hr-suite.example",
  ".northwind.expenses.example",
  ".northwind.ticketing.example",
  ".northwind.payroll.example",
  ".northwind.learning.example",
  ".northwind.signing.example",
  ".northwind.travel.example",
  ".northwind.analytics.example",
  ".northwind.backup.example",
  ".northwind.status-page.example"
];

function isDirectSaas(host) {
  for (var i = 0; i < DIRECT_SAAS_DOMAINS.length; i++) {
    if (dnsDomainIs(host, DIRECT_SAAS_DOMAINS[i])) return true;
  }
  return false;
}

function isPrivateAddress(host) {
  if (!isIpLiteral(host)) return false;
  if (isInNet(host, "10.0.0.0", "255.0.0.0")) return true;
  if (isInNet(host, "172.16.0.0", "255.240.0.0")) return true;
  if (isInNet(host, "192.168.0.0", "255.255.0.0")) return true;
  if (isInNet(host, "127.0.0.0", "255.0.0.0")) return true;
  if (isInNet(host, "100.64.0.0", "255.192.0.0")) return true;
  return false;
}

function isPartnerExtranet(host) {
  return shExpMatch(host, "*.contoso-partner.example") ||
         shExpMatch(host, "*.fabrikam-extranet.example") ||
         shExpMatch(host, "extranet.adatum.example") ||
         shExpMatch(host, "*.supplier-portal.example") ||
         shExpMatch(host, "edi.*.logistics.example") ||
         shExpMatch(host, "*.tailspin-b2b.example");
}

function isMediaService(host) {
  return shExpMatch(host, "*.meet.example") ||
         shExpMatch(host, "*.conference-cdn.example") ||
         shExpMatch(host, "media-??.streaming.example") ||
         shExpMatch(host, "*.video.example") ||
         shExpMatch(host, "*.voip.example") ||
         shExpMatch(host, "turn*.relay.example") ||
         shExpMatch(host, "*.updates.example") ||
         shExpMatch(host, "download.*.example") ||
         shExpMatch(host, "*.windowsupdate.example") ||
         shExpMatch(host, "*.akadns-like.example");
}

function isBlockedCategory(url, host) {
  return shExpMatch(host, "*.ads.example") ||
         shExpMatch(host, "tracker.*") ||
         shExpMatch(host, "*.doubleclick-like.example") ||
         shExpMatch(url, "*://*/banner/*") ||
         shExpMatch(url, "*://*/pixel.gif*");
}

function needsSocks(host) {
  return shExpMatch(host, "*.trading-feed.example") ||
         shExpMatch(host, "quotes.*.example") ||
         shExpMatch(host, "*.market-data.example");
}

function regionalProxies(host) {
  // Hosts of the Asian subsidiaries leave through the Singapore egress.
  if (shExpMatch(host, "*.sg") || shExpMatch(host, "*.jp") ||
      shExpMatch(host, "*.kr") || shExpMatch(host, "*.cn")) {
    return "PROXY sg-proxy.northwind.example:8080; " + WEB_PROXIES;
  }
  // European country domains use the Frankfurt egress first.
  if (shExpMatch(host, "*.de") || shExpMatch(host, "*.fr") ||
      shExpMatch(host, "*.nl") || shExpMatch(host, "*.it") ||
      shExpMatch(host, "*.es")) {
    return "PROXY fra-proxy.northwind.example:8080; " + WEB_PROXIES;
  }
  return WEB_PROXIES;
}

// Entry point. The browser hands in the full URL and the host name taken
// from it; some clients hand in host names in upper case, so compare lower
// case throughout. Literal IPv4 addresses are tested against the private
// ranges without any name lookup, so this file never waits for DNS.
// Decisions are ordered from the cheapest to the most expensive test; keep
// the corporate checks first, they answer most requests on the campus.
// Any new rule needs a test URL in the proxy team's regression list.
function FindProxyForURL(url, host) {
  host = host.toLowerCase();

  if (isCorporateHost(host)) return "DIRECT";
  if (isDirectSaas(host)) return "DIRECT";
  if (isPrivateAddress(host)) return "DIRECT";
  if (isIpLiteral(host) && isInNet(host, "203.0.113.0", "255.255.255.0")) {
    return PARTNER_GATEWAY;
  }

  if (isBlockedCategory(url, host)) return "PROXY blackhole.northwind.example:9";
  if (isPartnerExtranet(host)) return PARTNER_GATEWAY + "; DIRECT";
  if (needsSocks(host)) return SOCKS_GATEWAY + "; " + WEB_PROXIES;
  if (isMediaService(host)) return MEDIA_PROXIES + "; DIRECT";

  var scheme = url.substring(0, url.indexOf(":"));
  switch (scheme) {
    case "http":
    case "https":
      return regionalProxies(host) + "; DIRECT";
    case "ftp":
      return FTP_PROXY + "; DIRECT";
    case "ws":
    case "wss":
      return MEDIA_PROXIES + "; " + WEB_PROXIES;
    default:
      return WEB_PROXIES;
  }
}
