#include "platform/proxysettings/ov_desktop_session.h"

#include <algorithm>
#include <cctype>
#include <string>
#include <string_view>

#include "platform/os/ov_os.h"

namespace ovplatform {
namespace {

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

DesktopKind FromName(std::string_view name) {
  static constexpr std::string_view kGnomeLike[] = {
      "gnome",    "unity",  "cinnamon",        "x-cinnamon",   "budgie",
      "pantheon", "ubuntu", "gnome-flashback", "gnome-classic"};
  if (name == "kde" || name == "plasma") return DesktopKind::kKde;
  for (std::string_view gnome : kGnomeLike) {
    if (name == gnome) return DesktopKind::kGnome;
  }
  return DesktopKind::kOther;
}

}  // namespace

DesktopKind DetectDesktop() {
  Os& os = GetOs();
  if (auto current = os.GetEnv("XDG_CURRENT_DESKTOP"); current && !current->empty()) {
    const std::string names = Lower(*current);
    size_t start = 0;
    while (start <= names.size()) {
      const size_t end = std::min(names.find(':', start), names.size());
      const DesktopKind kind = FromName(std::string_view(names).substr(start, end - start));
      if (kind != DesktopKind::kOther) return kind;
      start = end + 1;
    }
    return DesktopKind::kOther;
  }
  if (auto session = os.GetEnv("DESKTOP_SESSION"); session && !session->empty()) {
    const DesktopKind kind = FromName(Lower(*session));
    if (kind != DesktopKind::kOther) return kind;
  }
  if (auto kde = os.GetEnv("KDE_FULL_SESSION"); kde && !kde->empty()) return DesktopKind::kKde;
  return DesktopKind::kOther;
}

}  // namespace ovplatform
