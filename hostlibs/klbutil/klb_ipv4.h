// IPv4 address tests of the utility library layer, used to match bypass
// entries of Internet-settings files against a host that is an address.
//
// Address grammar (ipv4_test): exactly four groups of one to three decimal
// digits separated by single dots, each group at most 255. Nothing else is
// accepted: no blanks, signs, hexadecimal or octal forms, fewer groups or a
// trailing dot. Leading zeros are read as decimal ("010" is 10).
//
// Address-and-mask grammar (ipv4_match_mask):
//   pattern = addr                 the address itself (mask of 32 one-bits)
//           | addr "/" prefix      prefix: 1 or 2 decimal digits, 0 to 32
//           | addr "/" addr        a dotted mask (any bit pattern)
// `address` matches when (address AND mask) equals (addr AND mask).
//
// Thread-safety: pure functions.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace klb {

bool ipv4_test(std::string_view text);

// The address as a 32-bit number (first group in the top byte), or nullopt
// when `text` does not pass ipv4_test.
std::optional<uint32_t> ipv4_parse(std::string_view text);

// False when `address` or `pattern` does not follow its grammar.
bool ipv4_match_mask(std::string_view address, std::string_view pattern);

}  // namespace klb
