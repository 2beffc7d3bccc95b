// Local time-zone offset of the utility library layer.
//
// The PAC engine's Date asks here for "local time minus UTC" at an instant,
// so tests can pin the zone as they pin the clock. Production reads the
// system's zone rules (TZ and the zone database), daylight saving included.
//
// Thread-safety: callable from any thread; the test override is global.
#pragma once

#include <cstdint>
#include <optional>

namespace klb {

// Local time minus UTC, in seconds, at `utc_seconds` since 1970-01-01 UTC.
int32_t local_utc_offset_seconds(int64_t utc_seconds);

// A fixed offset for every instant (nullopt restores the system's rules).
// Returns the override in force before.
std::optional<int32_t> set_utc_offset_for_testing(std::optional<int32_t> offset_seconds);

}  // namespace klb
