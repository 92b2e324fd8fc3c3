#include "camera/exposure_modes.h"

#include "settings/settings_keys.h"

#include <stdexcept>

const std::vector<std::wstring>& exposure_mode_names() {
    static const std::vector<std::wstring> names = {
        L"Off", L"ContinuousPreset1", L"ContinuousPreset2", L"ContinuousPreset3", L"ContinuousPreset4",
        L"ContinuousPreset5", L"ContinuousPreset6", L"ContinuousPreset7", L"ContinuousPreset8",
        L"ContinuousPreset9"};
    return names;
}

std::vector<camera_log_row> choose_exposure_mode(settings_store& settings, const JAI_Camera* camera,
                                                 const std::wstring& mode) {
    settings.write_text(settings_keys::exposure_mode, mode);
    settings.flush();
    if (camera) {
        const std::string narrow = wxString(mode).ToStdString();
        if (J_Camera_SetValueString(camera->handle(), "ExposureMode", narrow.c_str()) != J_ST_SUCCESS)
            throw std::runtime_error("Error setting exposure mode.");
    }
    return {{false, L"Exposure mode selected: " + mode}};
}
