#include "camera/exposure_modes.h"

#include <wx/string.h>

#include <stdexcept>

const std::vector<std::wstring>& exposure_mode_names() {
    static const std::vector<std::wstring> names = {L"Off",
                                                    L"ContinuousPreset1",
                                                    L"ContinuousPreset2",
                                                    L"ContinuousPreset3",
                                                    L"ContinuousPreset4",
                                                    L"ContinuousPreset5",
                                                    L"ContinuousPreset6",
                                                    L"ContinuousPreset7",
                                                    L"ContinuousPreset8",
                                                    L"ContinuousPreset9"};
    return names;
}

std::vector<camera_log_row> choose_exposure_mode(const JAI_Camera* camera, const std::wstring& mode,
                                                 const std::function<void(const std::wstring&)>& keep) {
    if (camera) {
        const std::string narrow = wxString(mode).ToStdString();
        if (J_Camera_SetValueString(camera->handle(), "ExposureMode", narrow.c_str()) != J_ST_SUCCESS)
            throw std::runtime_error("Не удалось установить режим выдержки.");
    }
    // Only now: a refused mode in the file would be offered again at the next start.
    if (keep) keep(mode);
    return {{false, L"Выбран режим выдержки: " + mode}};
}

std::wstring exposure_refused_row(const std::wstring& mode, const std::wstring& kept, const std::string& reason) {
    return L"Камера не приняла режим выдержки " + mode + L": " + wxString(reason.c_str(), wxConvLibc).ToStdWstring() +
           L" Оставлен режим " + kept;
}
