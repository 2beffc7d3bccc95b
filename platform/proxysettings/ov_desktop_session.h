// Which desktop the user runs, from XDG_CURRENT_DESKTOP (a ":" list, matched
// without regard to case), else DESKTOP_SESSION, else KDE_FULL_SESSION.
// GNOME and the desktops that keep their proxy settings in GNOME's schema
// (Unity, Cinnamon, Budgie, Pantheon, ...) count as GNOME.
//
// Thread: any; reads the environment through ovplatform::GetOs().
#pragma once

namespace ovplatform {

enum class DesktopKind { kOther, kGnome, kKde };

DesktopKind DetectDesktop();

}  // namespace ovplatform
