// Reads the INI-like "key file" texts of the Linux desktop (mimeapps.list,
// .desktop entries, kioslaverc) into the utility library's INI store.
//
// Lines are trimmed; empty lines and lines starting with "#" or ";" are
// skipped; "[name]" opens a group; "key=value" sets a value of the current
// group (key and value trimmed). A key's locale or KDE flag suffix
// ("Name[de]", "httpProxy[$e]") is kept, so a plain lookup never picks up a
// translated or specially flagged variant. Lines before the first group and
// lines without "=" are ignored. When a key repeats in a group the first
// value stays, as desktop tools read it.
//
// Thread: any; pure function. Bad input never fails: whatever parses is kept.
#pragma once

#include <string_view>

#include "klbutil/klb_ini.h"

namespace ovplatform {

void ParseKeyFile(std::string_view text, klb::ini_t& out);

}  // namespace ovplatform
