#pragma once
// The exposure modes offered in the toolbar and written to the camera's "ExposureMode".
#include "camera/camera_list.h"

#include <functional>
#include <string>
#include <vector>

// "Off", "ContinuousPreset1" ... "ContinuousPreset9", in this order.
const std::vector<std::wstring>& exposure_mode_names();

// The operator picked `mode`: sets the camera's "ExposureMode" when a camera is open, then
// hands the mode to `keep` (the window saves it as the setting `exposure_mode`). Returns the
// row "Выбран режим выдержки: %s". Throws std::runtime_error "Не удалось установить режим выдержки."
// when the camera refuses, without calling `keep`: the saved mode stays the one the camera
// still has. GUI thread.
std::vector<camera_log_row> choose_exposure_mode(const JAI_Camera* camera, const std::wstring& mode,
                                                 const std::function<void(const std::wstring&)>& keep);

// The error row for a mode the camera refused: which mode, why, and the mode kept.
std::wstring exposure_refused_row(const std::wstring& mode, const std::wstring& kept, const std::string& reason);
