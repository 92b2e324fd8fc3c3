#pragma once
// The main window's three tools ("Камера", "Настройки", "Выход") and the tooltips of the whole
// toolbar. A disabled tool gets a greyed copy of its icon, so "Камера" while capturing no
// longer looks like a button that works; every tool and control says in Russian what it does.
// GUI thread only.
#include <string>

class wxComboBox;
class wxToolBar;

namespace main_toolbar {

// The tooltip of a tool or toolbar control, by its window id; empty for any other id.
std::wstring tooltip(int id);

// Adds the three tools, in their order, with normal and greyed icons and tooltips.
void add_tools(wxToolBar* bar);

// Sets the tooltips of the two combo boxes.
void set_control_tips(wxComboBox* camera, wxComboBox* exposure);

}  // namespace main_toolbar
