#pragma once
// Camera discovery and choice for the main window: the camera map, its log rows, opening
// the camera picked by name, and the start-up choice by the `driver` setting.
//
// Log rows are returned, not written: only the GUI thread writes rows, and it does so in
// the order given. All functions run on the GUI thread.
#include "camera/jai_camera.h"
#include "camera/jai_factory.h"

#include <map>
#include <optional>
#include <string>
#include <vector>

// Camera name (model, IP, driver tag) -> camera ID, ordered by the name's bytes.
using camera_map = std::map<std::string, std::string>;

struct camera_log_row {
    bool error = false;
    std::wstring text;
};

// "[FilterDriver]" when the ID contains "INT=>FD", else "[SocketDriver]" when it contains
// "INT=>SD", else "[UnknownDriver]".
std::string camera_driver_tag(const std::string& camera_id);

// Enumerates the cameras, reopening `factory` before the walk and after each camera. Throws
// std::runtime_error with "Не удалось открыть библиотеку камер.", "Не удалось обновить список камер.",
// "Не удалось получить число камер.", "Не удалось прочитать идентификатор камеры.",
// "Не удалось прочитать модель камеры." or "Не удалось прочитать IP-адрес камеры." (each but the first
// followed by the library's words when it gave any); when two cameras give the same name the
// first one stays.
camera_map enumerate_cameras(jai_factory& factory);

// "Найдено камер: %u" with the map's size, then one row per camera holding its ID.
std::vector<camera_log_row> camera_list_rows(const camera_map& cameras);

// Refresh: enumerate; on success `cameras` holds the new map and `rows` the rows above; on
// failure `ok` is false, `cameras` is empty and `rows` holds the error row (the caller keeps
// its previous map).
struct camera_refresh {
    bool ok = false;
    camera_map cameras;
    std::vector<camera_log_row> rows;
};
camera_refresh refresh_camera_list(jai_factory& factory);

// The start-up choice: the first name in map order that contains `driver`, else the first
// name; nothing for an empty map.
std::optional<std::string> choose_startup_camera(const camera_map& cameras, const std::string& driver);

// Select: a name not in the map gives no camera and no row; a camera that cannot be opened
// gives the error row "Не удалось открыть камеру." (with the library's words after it when it gave
// any); an opened one gives
// "Выбрана камера: %s" with its ID.
struct camera_selection {
    jai_camera_ptr camera;
    std::vector<camera_log_row> rows;
};
camera_selection select_camera(const jai_factory& factory, const camera_map& cameras, const std::string& name);

// Lists the cameras and selects the start-up choice for `driver`, as the window does at start;
// no camera (and no row) when none is found.
camera_selection select_startup_camera(jai_factory& factory, const std::string& driver);
