#include "app/main_toolbar.h"

#include "app/toolbar_icons.h"
#include "app/window_ids.h"

#include <wx/bitmap.h>
#include <wx/combobox.h>
#include <wx/image.h>
#include <wx/toolbar.h>

namespace main_toolbar {

std::wstring tooltip(int id) {
    switch (id) {
    case ID_CAPTURE: return L"Захват: показывать изображение камеры";
    case ID_CAPTURE_RECORD: return L"Запись: захват и запись кадров по сообщениям ДПП";
    case ID_STOP: return L"Стоп: остановить захват и запись";
    case ID_SETTINGS: return L"Настройки программы";
    case ID_EXIT: return L"Выход из программы";
    case ID_CAMERA_COMBO: return L"Камера (выбирается, пока захват остановлен)";
    case ID_EXPOSURE_COMBO: return L"Режим выдержки камеры";
    default: return {};
    }
}

void add_tools(wxToolBar* bar) {
    const struct {
        int id;
        const wchar_t* label;
        toolbar_icon icon;
    } tools[] = {
        {ID_CAPTURE, L"Камера", toolbar_icon::camera},
        {ID_CAPTURE_RECORD, L"Запись", toolbar_icon::record},
        {ID_STOP, L"Стоп", toolbar_icon::stop},
        {ID_SETTINGS, L"Настройки", toolbar_icon::settings},
        {ID_EXIT, L"Выход", toolbar_icon::exit},
    };
    for (const auto& tool : tools) {
        const wxBitmap icon = toolbar_bitmap(tool.icon);
        const wxString tip(tooltip(tool.id));
        // Grey and light: the toolkit's own dimming keeps the colour, and a red "Выход" or a
        // blue "Настройки" then still looks like it works.
        const wxBitmap disabled(icon.ConvertToImage().ConvertToGreyscale().ConvertToDisabled());
        bar->AddTool(tool.id, tool.label, icon, disabled, wxITEM_NORMAL, tip, tip);
    }
}

void set_control_tips(wxComboBox* camera, wxComboBox* exposure) {
    if (camera) camera->SetToolTip(wxString(tooltip(ID_CAMERA_COMBO)));
    if (exposure) exposure->SetToolTip(wxString(tooltip(ID_EXPOSURE_COMBO)));
}

}  // namespace main_toolbar
