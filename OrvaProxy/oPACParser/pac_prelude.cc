#include "OrvaProxy/oPACParser/pac_prelude.h"

#include <algorithm>

namespace OVProxy {
namespace {

// Notes on the behaviour some helpers keep on purpose, because PAC scripts
// written for the client rely on it:
// - dnsDomainIs compares case-sensitively.
// - convert_addr answers a signed 32-bit number.
// - shExpMatch only rewrites ".", "*" and "?"; every other character keeps
//   its regular-expression meaning.
// - weekdayRange does not wrap around the end of the week.
// - timeRange throws a plain string for an unsupported argument count.
// - dns_resolve is a host function the engine does not offer: calling it
//   throws, which dnsResolve and myIpAddress turn into their fallbacks.
// - The text keeps to the language of the Windows JScript engine
//   (ECMAScript 3): no Array.prototype.indexOf, trim, JSON or the like.
// - Dates are compared by their numbers (getTime), never as objects: that
//   engine compares two Date objects with <= as strings.
constexpr char kPreludeText[] = R"JS(// PAC helper functions.
function dnsDomainIs(host, domain) {
  return host.length >= domain.length &&
         host.substring(host.length - domain.length) == domain;
}

function myIpAddress() {
  try {
    return dns_resolve('');
  } catch (e) {
    return '127.0.0.1';
  }
}

function dnsResolve(host) {
  try {
    return dns_resolve(host);
  } catch (e) {
    return null;
  }
}

function dnsDomainLevels(host) {
  return host.split('.').length - 1;
}

function convert_addr(ipchars) {
  var bytes = ipchars.split('.');
  return ((bytes[0] & 0xff) << 24) |
         ((bytes[1] & 0xff) << 16) |
         ((bytes[2] & 0xff) << 8) |
         (bytes[3] & 0xff);
}

function isInNet(ipaddr, pattern, maskstr) {
  var groups = /^(\d{1,3})\.(\d{1,3})\.(\d{1,3})\.(\d{1,3})$/.exec(ipaddr);
  if (groups == null) {
    ipaddr = dnsResolve(ipaddr);
    if (ipaddr == null) {
      return false;
    }
  } else if (groups[1] > 255 || groups[2] > 255 ||
             groups[3] > 255 || groups[4] > 255) {
    return false;
  }
  var host = convert_addr(ipaddr);
  var pat = convert_addr(pattern);
  var mask = convert_addr(maskstr);
  return (host & mask) == (pat & mask);
}

function convert_addr6(ipchars) {
  ipchars = ipchars.replace(/^:|:$/, '');
  var fields = ipchars.split(':');
  var gap = -1;
  for (var k = 0; k < fields.length && gap == -1; k++) {
    if (fields[k] == '') {
      gap = k;
    }
  }
  if (gap != -1) {
    fields[gap] = '0';
    var missing = 8 - fields.length;
    for (var i = 0; i < missing; i++) {
      fields.splice(gap + 1, 0, '0');
    }
  }
  var words = [];
  for (var j = 0; j < fields.length; j++) {
    words.push(parseInt(fields[j], 16));
  }
  return words;
}

function isInNetEx6(ipaddr, prefix, prefix_len) {
  if (prefix_len > 128) {
    return false;
  }
  var ip = convert_addr6(ipaddr);
  var net = convert_addr6(prefix);
  var whole = Math.floor(prefix_len / 16);
  var rest = prefix_len % 16;
  for (var i = 0; i < whole; i++) {
    if (ip[i] != net[i]) {
      return false;
    }
  }
  if (rest > 0) {
    var mask = (0xffff << (16 - rest)) & 0xffff;
    if ((ip[whole] & mask) != (net[whole] & mask)) {
      return false;
    }
  }
  return true;
}

function isInNetEx4(ipaddr, prefix, prefix_len) {
  if (prefix_len > 32) {
    return false;
  }
  var bytes = [];
  for (var i = 1; i <= 4; i++) {
    var shift = 8 * i - prefix_len;
    if (shift <= 0) {
      bytes.push(255);
    } else if (shift >= 8) {
      // A whole byte outside the prefix. (Shifting by 32 would shift by
      // nothing in JavaScript and turn a /0 mask into 0.0.0.255.)
      bytes.push(0);
    } else {
      bytes.push((0xff >> shift) << shift);
    }
  }
  return isInNet(ipaddr, prefix, bytes.join('.'));
}

function isInNetEx(ipaddr, prefix) {
  var parts = prefix.split('/');
  if (parts.length != 2) {
    return false;
  }
  if (/^\d{1,3}\.\d{1,3}\.\d{1,3}\.\d{1,3}$/.test(ipaddr)) {
    return isInNetEx4(ipaddr, parts[0], parts[1]);
  }
  return isInNetEx6(ipaddr, parts[0], parts[1]);
}

function isPlainHostName(host) {
  return host.indexOf('.') == -1;
}

function isResolvable(host) {
  return dnsResolve(host) != null;
}

function localHostOrDomainIs(host, hostdom) {
  return host == hostdom || hostdom.lastIndexOf(host + '.', 0) == 0;
}

function shExpMatch(url, pattern) {
  pattern = pattern.replace(/\./g, '\\.');
  pattern = pattern.replace(/\*/g, '.*');
  pattern = pattern.replace(/\?/g, '.');
  return new RegExp('^' + pattern + '$').test(url);
}

var wdays = {SUN: 0, MON: 1, TUE: 2, WED: 3, THU: 4, FRI: 5, SAT: 6};

var months = {JAN: 0, FEB: 1, MAR: 2, APR: 3, MAY: 4, JUN: 5,
              JUL: 6, AUG: 7, SEP: 8, OCT: 9, NOV: 10, DEC: 11};

function weekdayRange() {
  var argc = arguments.length;
  if (argc < 1) {
    return false;
  }
  var gmt = arguments[argc - 1] == 'GMT';
  var now = new Date();
  var today = gmt ? now.getUTCDay() : now.getDay();
  var first = arguments[0];
  if (!wdays.hasOwnProperty(first)) {
    return false;
  }
  var days = gmt ? argc - 1 : argc;
  if (days < 2) {
    return today == wdays[first];
  }
  var last = arguments[1];
  if (!wdays.hasOwnProperty(last)) {
    return false;
  }
  return wdays[first] <= today && today <= wdays[last];
}

function dateRange() {
  // A dateRange argument: a month name, a day (below 32) or a year.
  function field(arg, fields) {
    if (typeof arg == 'string' && isNaN(Number(arg))) {
      fields.month = months.hasOwnProperty(arg) ? months[arg] : NaN;
    } else if (Number(arg) < 32) {
      fields.day = Number(arg);
    } else {
      fields.year = Number(arg);
    }
  }
  var argc = arguments.length;
  if (argc < 1) {
    return false;
  }
  var gmt = arguments[argc - 1] == 'GMT';
  if (gmt) {
    argc--;
  }
  if (argc < 1) {
    return false;
  }
  var now = new Date();
  if (gmt) {
    now = new Date(now.getUTCFullYear(), now.getUTCMonth(), now.getUTCDate(),
                   now.getUTCHours(), now.getUTCMinutes(), now.getUTCSeconds());
  }
  if (argc == 1) {
    var only = {};
    field(arguments[0], only);
    if (only.hasOwnProperty('month')) {
      return now.getMonth() == only.month;
    }
    if (only.hasOwnProperty('day')) {
      return now.getDate() == only.day;
    }
    return now.getFullYear() == only.year;
  }
  var half = Math.floor(argc / 2);
  var low = {};
  var high = {};
  for (var i = 0; i < argc; i++) {
    field(arguments[i], i < half ? low : high);
  }
  if (argc <= 2 && low.hasOwnProperty('day')) {
    if (!low.hasOwnProperty('month')) {
      low.month = now.getMonth();
    }
    if (!high.hasOwnProperty('month')) {
      high.month = now.getMonth();
    }
  }
  var lowYear = low.hasOwnProperty('year') ? low.year : now.getFullYear();
  var lowMonth = low.hasOwnProperty('month') ? low.month : 0;
  var lowDay = low.hasOwnProperty('day') ? low.day : 1;
  var highYear = high.hasOwnProperty('year') ? high.year : now.getFullYear();
  var highMonth = high.hasOwnProperty('month') ? high.month : 11;
  // The upper bound ends with its month: 30 APR, not 1 MAY.
  var highDay = Math.min(high.hasOwnProperty('day') ? high.day : 31,
                         new Date(highYear, highMonth + 1, 0).getDate());
  var lower = new Date(lowYear, lowMonth, lowDay, 0, 0, 0);
  var upper = new Date(highYear, highMonth, highDay, 23, 59, 59);
  return lower.getTime() <= now.getTime() && now.getTime() <= upper.getTime();
}

function timeRange() {
  var argc = arguments.length;
  if (argc < 1) {
    return false;
  }
  var gmt = arguments[argc - 1] == 'GMT';
  if (gmt) {
    argc--;
  }
  var now = new Date();
  if (gmt) {
    now = new Date(now.getUTCFullYear(), now.getUTCMonth(), now.getUTCDate(),
                   now.getUTCHours(), now.getUTCMinutes(), now.getUTCSeconds());
  }
  var hour = now.getHours();
  if (argc == 1) {
    return hour == arguments[0];
  }
  if (argc == 2) {
    return arguments[0] <= hour && hour <= arguments[1];
  }
  var lower = new Date(now.getTime());
  var upper = new Date(now.getTime());
  if (argc == 4) {
    lower.setHours(arguments[0], arguments[1]);
    upper.setHours(arguments[2], arguments[3], 59);
  } else if (argc == 6) {
    lower.setHours(arguments[0], arguments[1], arguments[2]);
    upper.setHours(arguments[3], arguments[4], arguments[5]);
  } else {
    throw 'timeRange: bad number of arguments';
  }
  return lower.getTime() <= now.getTime() && now.getTime() <= upper.getTime();
}

function findProxyForURL(url, host) {
  if (typeof FindProxyForURLEx == 'function') {
    return FindProxyForURLEx(url, host);
  }
  return FindProxyForURL(url, host);
}
)JS";

}  // namespace

const std::string_view kPacPrelude{kPreludeText, sizeof(kPreludeText) - 1};

int pac_prelude_lines() {
  static const int lines =
      static_cast<int>(std::count(kPacPrelude.begin(), kPacPrelude.end(), '\n'));
  return lines;
}

}  // namespace OVProxy
