#pragma once
// Window and command ids of the main window. Menu items, popup items and toolbar tools with
// the same id share one command handler and one enabling rule.
enum window_id : int {
    ID_LOG_VIEW = 1,
    ID_IMAGE_PANEL = 2,
    ID_DATABASE_LIST = 3,
    ID_CAMERA_COMBO = 4,
    ID_EXPOSURE_COMBO = 5,
    ID_SETTINGS = 6,
    ID_EXIT = 7,
    ID_REFRESH_CAMERAS = 8,
    ID_CAPTURE = 9,
    ID_CAPTURE_RECORD = 10,
    ID_STOP = 11,
    ID_SESSION_CODE = 12,
    ID_REFRESH_DATABASES = 13,
    ID_VIEW_DATABASE = 14,
    ID_DELETE_DATABASE = 15,
    ID_ARCHIVE_DATABASE = 16,
    ID_REPLACE_SIDE = 17,
    ID_REPLACE_SESSION_CODE = 18,
    ID_DPP_TEST = 19,
    ID_COMPARE_DATABASE = 20,
    ID_EXPORT_DATABASE = 21,
};
