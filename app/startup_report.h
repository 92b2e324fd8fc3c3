#pragma once
// The information rows written at start, in order. Plain functions: the window writes the
// rows; tests check the texts.
#include "settings/settings_store.h"

#include <wx/string.h>

// "Начало работы. Версия: %s hash: %s" with the version and the build revision.
wxString startup_version_line();
// "OpenCV %s" with the compile-time version of the image library.
wxString startup_opencv_line();
// The GUI library's name and dotted version, e.g. "wxWidgets 3.2.2".
wxString startup_gui_line();
// "Компьютер: %s (%s)" with the host name and the IPv4 address it resolves to.
wxString startup_computer_line();
// "ОС: %s" with the operating system's description.
wxString startup_os_line();
// "Борт: %s" with the setting `side`, its default when it is not set (what recordings get).
wxString startup_side_line(const settings_store& settings);
