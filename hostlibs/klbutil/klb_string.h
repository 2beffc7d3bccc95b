// String helpers of the utility library layer.
#pragma once

#include <string>

namespace klb {

// Removes spaces, tabs, carriage returns and line feeds from both ends of
// `text`, in place.
void trim(std::string& text);

}  // namespace klb
