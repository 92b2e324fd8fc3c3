#pragma once
// The exposure modes offered in the toolbar and written to the camera's "ExposureMode".
#include "camera/camera_list.h"
#include "settings/settings_store.h"

#include <string>
#include <vector>

// "Off", "ContinuousPreset1" ... "ContinuousPreset9", in this order.
const std::vector<std::wstring>& exposure_mode_names();

// The operator picked `mode`: writes it to the setting `exposure_mode` and saves the file,
// then sets the camera's "ExposureMode" when a camera is open. Returns the row
// "Exposure mode selected: %s". Throws std::runtime_error "Error setting exposure mode."
// when the camera refuses (the setting is already saved by then). GUI thread.
std::vector<camera_log_row> choose_exposure_mode(settings_store& settings, const JAI_Camera* camera,
                                                 const std::wstring& mode);
