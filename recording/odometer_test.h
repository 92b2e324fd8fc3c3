#pragma once
// The operator's odometer test ("Тест ДПП"): probes serial ports for a sending odometer and
// says which message format it sends, in the words of the "Формат ДПП" setting. It only
// reports; it changes no setting (the window offers that for the configured port).
//
// Probe order: the configured `dpp_port` first (where the odometer should be), then the USB
// serial adapters an odometer is usually on (/dev/ttyUSB*, then /dev/ttyACM*, each by number),
// then COM1 ... COM10 sorted as text (COM1, COM10, COM2, ..., COM9). A device met twice is
// probed once, at its first place.
//
// The format is judged from what arrives within the wait, never from a single byte: both
// decoders run over the same bytes, and a format is accepted when its decoder found a run of
// at least odometer_run_needed messages each within odometer_step_limit of the one before
// (forward or backward). Bytes before the first message, or a message cut off where the
// reading began, do not matter. When both formats or neither pass, the verdict is "unknown".
//
// Every row returned is an information row, in order: "Тест ДПП:", then per device
// "Последовательный порт %s" (the device path) followed by its verdict row: "ДПП7: сообщений
// N, счёт A…B" or the same with "ДПП4", "нет данных", "данные не распознаны (байт: N)",
// "недоступен".
//
// Blocking: up to `wait` per port that opens (one second in the program), less once the
// format is decided. Runs on the calling thread with private ports and I/O context. A stop
// predicate, when given, is asked between ports and at least every 50 ms within a port's wait.
// Thread safety: free functions without shared state; call from any thread.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

// Messages in a row that make a format certain, and the largest step between their counts.
inline constexpr std::size_t odometer_run_needed = 8;
inline constexpr std::uint32_t odometer_step_limit = 1000;

enum class odometer_verdict_kind {
    format4,      // "ДПП4"
    format7,      // "ДПП7"
    silent,       // the port opened but nothing arrived
    unknown,      // bytes arrived, but not one format's messages (or both formats' alike)
    unavailable,  // the port did not open
};

struct odometer_verdict {
    odometer_verdict_kind kind = odometer_verdict_kind::silent;
    std::size_t bytes = 0;           // bytes received
    std::size_t messages = 0;        // format4/format7: messages in the run that decided it
    std::uint32_t first_count = 0;   // that run's first and last counts
    std::uint32_t last_count = 0;
    bool both_formats = false;       // unknown: both formats passed
    std::wstring row;                // the verdict row of the log
};

// "ДПП4" or "ДПП7" for a format verdict, the values of the "Формат ДПП" setting; "" otherwise.
std::wstring odometer_setting_of(odometer_verdict_kind kind);

// The verdict on bytes received from one port, in arrival order (empty: silent).
odometer_verdict classify_odometer_bytes(const std::vector<std::uint8_t>& bytes);

// The verdict on a port that did not open.
odometer_verdict unavailable_odometer_verdict();

using odometer_stop = std::function<bool()>;  // true: give up as soon as possible

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

// One device: opens it with the odometer's line settings and reads for up to `wait`,
// returning early once a format is decided, the line fails or `stop` says so.
odometer_verdict probe_odometer_port(const std::wstring& device_path, std::chrono::milliseconds wait,
                                     const odometer_stop& stop = {});

using odometer_prober = std::function<odometer_verdict(const std::wstring& device_path)>;

struct odometer_port_result {
    std::wstring path;
    odometer_verdict verdict;
};

struct odometer_test_result {
    std::vector<std::wstring> rows;                   // the log rows, as above
    std::optional<odometer_port_result> configured;  // the configured port's, once probed
    bool stopped = false;                             // given up before every port was probed
};

// A test over `device_paths` in their order, each probed by `probe`; the one equal to
// `configured_path` is also returned on its own. `stop` is asked before each port.
odometer_test_result probe_odometer_ports(const std::vector<std::wstring>& device_paths,
                                          const std::wstring& configured_path, const odometer_prober& probe,
                                          const odometer_stop& stop = {});

// The program's test: the configured port, the adapters in /dev, the COM ports; up to one
// second per port that opens.
odometer_test_result probe_odometer_ports(const std::wstring& configured_port, const odometer_stop& stop = {});
