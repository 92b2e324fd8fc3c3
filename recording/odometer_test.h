#pragma once
// The operator's odometer test ("Тест ДПП"): probes serial ports for a sending odometer and
// says which message format its first byte suggests. It only reports; it changes no setting.
//
// Probe order: the configured `dpp_port` first (where the odometer should be), then the USB
// serial adapters an odometer is usually on (/dev/ttyUSB*, then /dev/ttyACM*, each by number),
// then COM1 ... COM10 sorted as text (COM1, COM10, COM2, ..., COM9). A device met twice is
// probed once, at its first place.
//
// Every row it returns is an information row, in order: "Тест ДПП:", then per device
// "Последовательный порт %s" (the device path) followed by one of "недоступен",
// "ДПП новый формат", "ДПП старый формат", "ДПП не найден".
//
// Blocking: up to `wait` per port that opens (one second in the program). Runs on the
// calling thread with private ports and I/O context; a port held by a running write thread
// reports "недоступен".
#include <chrono>
#include <functional>
#include <string>
#include <vector>

// "COM1" ... "COM10" sorted as text (COM1, COM10, COM2, ..., COM9).
std::vector<std::wstring> odometer_test_port_names();

// The device paths to probe, in order. `device_entries` are the names found in the device
// folder (e.g. "ttyUSB1", "ttyS0"); those of USB serial adapters are taken from it, under
// `device_folder`. `device_path_of` maps a port name to its path (serial_device_path).
std::vector<std::wstring> odometer_probe_order(const std::wstring& configured_port,
                                               const std::vector<std::wstring>& device_entries,
                                               const std::function<std::wstring(const std::wstring&)>& device_path_of,
                                               const std::wstring& device_folder = L"/dev");

// The names in a folder (the program lists /dev); empty when it cannot be read.
std::vector<std::wstring> list_device_entries(const std::wstring& folder = L"/dev");

// One device: opens it with the odometer's line settings and waits up to `wait` for a byte;
// the result row.
std::wstring probe_odometer_port(const std::wstring& device_path, std::chrono::milliseconds wait);

using odometer_prober = std::function<std::wstring(const std::wstring& device_path)>;

// The rows of a test over `device_paths` in their order, each probed by `probe`.
std::vector<std::wstring> run_odometer_test(const std::vector<std::wstring>& device_paths,
                                            const odometer_prober& probe);

// The program's test: the configured port, the adapters in /dev, the COM ports; one second
// per port that opens.
std::vector<std::wstring> run_odometer_test(const std::wstring& configured_port);
