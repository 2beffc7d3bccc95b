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
// - dns_resolve(name) and dns_resolve_ex(name) are host functions that only
//   an engine with name lookups offers ('' asks for the machine's own
//   addresses). Elsewhere calling them throws: the helpers fall back (null,
//   '', "127.0.0.1") and set __ovDnsBlind, which the engine reads after the
//   call so that a caller can tell an answer that needed DNS it did not get.
// - An address literal resolves to itself without asking anyone, as it does
//   in browsers: dnsResolve takes IPv4 literals, the Ex forms IPv6 (with or
//   without brackets) too.
// - The text keeps to the language of the Windows JScript engine
//   (ECMAScript 3): no Array.prototype.indexOf, trim, JSON or the like.
// - Dates are compared by their numbers (getTime), never as objects: that
//   engine compares two Date objects with <= as strings.
constexpr char kPreludeText[] = R"JS(// PAC helper functions.
function dnsDomainIs(host, domain) {
  return host.length >= domain.length &&
         host.substring(host.length - domain.length) == domain;
}

var __ovDnsBlind = false;

// What `text` is as an address literal: 4, 6, or 0 for none.
function __ovAddressKind(text) {
  text = String(text);
  var quad = /^(\d{1,3})\.(\d{1,3})\.(\d{1,3})\.(\d{1,3})$/.exec(text);
  if (quad != null) {
    return quad[1] <= 255 && quad[2] <= 255 && quad[3] <= 255 && quad[4] <= 255 ? 4 : 0;
  }
  var halves = text.split('::');
  if (text.indexOf(':') == -1 || halves.length > 2) {
    return 0;
  }
  var count = 0;
  for (var h = 0; h < halves.length; h++) {
    var groups = halves[h] == '' ? [] : halves[h].split(':');
    for (var g = 0; g < groups.length; g++) {
      if (/^[0-9A-Fa-f]{1,4}$/.test(groups[g])) {
        count += 1;
      } else if (h == halves.length - 1 && g == groups.length - 1 &&
                 __ovAddressKind(groups[g]) == 4) {
        count += 2;
      } else {
        return 0;
      }
    }
  }
  return (halves.length == 2 ? count <= 7 : count == 8) ? 6 : 0;
}

function myIpAddress() {
  try {
    return dns_resolve('');
  } catch (e) {
    __ovDnsBlind = true;
    return '127.0.0.1';
  }
}

function dnsResolve(host) {
  if (__ovAddressKind(host) == 4) {
    return String(host);
  }
  try {
    return dns_resolve(host);
  } catch (e) {
    __ovDnsBlind = true;
    return null;
  }
}

function myIpAddressEx() {
  try {
    return dns_resolve_ex('');
  } catch (e) {
    __ovDnsBlind = true;
    return '127.0.0.1';
  }
}

function dnsResolveEx(host) {
  var literal = String(host).replace(/^\[(.*)\]$/, '$1');
  if (__ovAddressKind(literal) != 0) {
    return literal;
  }
  try {
    return dns_resolve_ex(host);
  } catch (e) {
    __ovDnsBlind = true;
    return '';
  }
}

function isResolvableEx(host) {
  return dnsResolveEx(host) != '';
}

function getClientVersion() {
  return '1.0';
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

// IPv6 addresses first, then IPv4, each in ascending order; false unless
// every element of the semicolon-separated list is an address.
function sortIpAddressList(list) {
  if (typeof list != 'string' || list == '') {
    return false;
  }
  var items = list.split(';');
  var keyed = [];
  for (var i = 0; i < items.length; i++) {
    var text = items[i].replace(/^\s+|\s+$/g, '');
    var kind = __ovAddressKind(text);
    var key = kind == 4 ? '1' : '0';
    if (kind == 4) {
      key += ('0000000' + (convert_addr(text) >>> 0).toString(16)).slice(-8);
    } else if (kind == 6) {
      // The eight words as 4-digit hex: text that sorts as the addresses do.
      var tail = /^(.*:)(\d+\.\d+\.\d+\.\d+)$/.exec(text);
      var words = text;
      if (tail != null) {
        var v4 = convert_addr(tail[2]);
        words = tail[1] + ((v4 >>> 16) & 0xffff).toString(16) + ':' + (v4 & 0xffff).toString(16);
      }
      words = convert_addr6(words);
      for (var w = 0; w < words.length; w++) {
        key += ('000' + (words[w] || 0).toString(16)).slice(-4);
      }
    } else {
      return false;
    }
    keyed.push({key: key, text: text});
  }
  keyed.sort(function(a, b) {
    return a.key < b.key ? -1 : (a.key > b.key ? 1 : 0);
  });
  var sorted = [];
  for (var j = 0; j < keyed.length; j++) {
    sorted.push(keyed[j].text);
  }
  return sorted.join(';');
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
