#include "app/toolbar_icons.h"

#include "app/icons/camera_png.h"
#include "app/icons/exit_png.h"
#include "app/icons/settings_png.h"

std::span<const unsigned char> toolbar_icon_png(toolbar_icon icon) {
    switch (icon) {
    case toolbar_icon::camera: return camera_png;
    case toolbar_icon::settings: return settings_png;
    case toolbar_icon::exit: return exit_png;
    }
    return {};
}

wxBitmap toolbar_bitmap(toolbar_icon icon) {
    const auto png = toolbar_icon_png(icon);
    return wxBitmap::NewFromPNGData(png.data(), png.size());
}

wxIcon window_icon() {
    wxIcon icon;
    icon.CopyFromBitmap(toolbar_bitmap(toolbar_icon::camera));
    return icon;
}
