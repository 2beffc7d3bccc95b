// Text helpers shared by the proxy value types. Internal to the layer.
#pragma once

#include <string_view>
#include <vector>

namespace OVProxy::internal {

// Splits `text` at any byte of `separators`, trims spaces and tabs and drops
// empty pieces. The pieces view into `text`.
std::vector<std::string_view> SplitEntries(std::string_view text, std::string_view separators);

bool EqualsIgnoreCase(std::string_view a, std::string_view b);

}  // namespace OVProxy::internal
