#pragma once
// Toolbar icons, 24 x 24: camera (greys with black), settings (greys and blues), exit (reds
// with white), record (a red disc), stop (a grey square); the camera is also the window's icon. They are the PNG files of app/icons/,
// built into the program as bytes, so nothing is read from disk at run time; the disabled
// state shows a greyed copy (app/main_toolbar.cpp).
// Thread safety: GUI thread only (the toolkit's bitmaps). Each call decodes its image anew.
// Errors: an image that does not decode gives an invalid bitmap (the tests decode each one).
#include <span>

#include <wx/bitmap.h>
#include <wx/icon.h>

enum class toolbar_icon { camera, settings, exit, record, stop };

// The icon's PNG bytes as built in.
std::span<const unsigned char> toolbar_icon_png(toolbar_icon icon);

wxBitmap toolbar_bitmap(toolbar_icon icon);

// The camera icon as the window's icon.
wxIcon window_icon();
