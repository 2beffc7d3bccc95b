#include "klbutil/klb_string.h"

namespace klb {

void trim(std::string& text) {
  constexpr const char* kBlank = " \t\r\n";
  const std::size_t last = text.find_last_not_of(kBlank);
  if (last == std::string::npos) {
    text.clear();
    return;
  }
  text.erase(last + 1);
  text.erase(0, text.find_first_not_of(kBlank));
}

}  // namespace klb
