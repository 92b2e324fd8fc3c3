#include "app/toolbar_icons.h"

#include "app/icons/camera_png.h"
#include "app/icons/exit_png.h"
#include "app/icons/record_png.h"
#include "app/icons/settings_png.h"
#include "app/icons/stop_png.h"

#include <wx/image.h>
#include <wx/imagpng.h>
#include <wx/mstream.h>

std::span<const unsigned char> toolbar_icon_png(toolbar_icon icon) {
    switch (icon) {
    case toolbar_icon::camera: return camera_png;
    case toolbar_icon::settings: return settings_png;
    case toolbar_icon::exit: return exit_png;
    case toolbar_icon::record: return record_png;
    case toolbar_icon::stop: return stop_png;
    }
    return {};
}

wxBitmap toolbar_bitmap(toolbar_icon icon) {
    // A handler of our own: wxBitmap::NewFromPNGData on GTK asks the toolkit's process-wide
    // handler list, which this program leaves empty (and a failed lookup pops up a warning).
    const auto png = toolbar_icon_png(icon);
    wxMemoryInputStream in(png.data(), png.size());
    wxPNGHandler handler;
    wxImage image;
    if (!handler.LoadFile(&image, in, false)) return wxBitmap();
    return wxBitmap(image);
}

wxIcon window_icon() {
    wxIcon icon;
    icon.CopyFromBitmap(toolbar_bitmap(toolbar_icon::camera));
    return icon;
}
