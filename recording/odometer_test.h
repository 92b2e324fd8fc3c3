#pragma once
// The operator's odometer test ("Тест ДПП"): probes COM1 ... COM10 for a sending odometer
// and says which message format its first byte suggests. It only reports; it changes no
// setting. Every row it returns is an information row, in order:
//   "Тест ДПП:", then per port "Последовательный порт %s" (device path) followed by one of
//   "недоступен", "ДПП новый формат", "ДПП старый формат", "ДПП не найден".
//
// Blocking: up to `wait` per port that opens (one second in the program). Runs on the
// calling thread with private ports and I/O context; a port held by a running write thread
// reports "недоступен".
#include <chrono>
#include <functional>
#include <string>
#include <vector>

// The probe order: "COM1" ... "COM10" sorted as text (COM1, COM10, COM2, ..., COM9).
std::vector<std::wstring> odometer_test_port_names();

// device_path_of maps a port name to its device path (serial_device_path in the program;
// tests point it elsewhere).
std::vector<std::wstring> run_odometer_test(
    const std::function<std::wstring(const std::wstring&)>& device_path_of,
    std::chrono::milliseconds wait = std::chrono::seconds(1));

// The program's test: real device paths, one second per port.
std::vector<std::wstring> run_odometer_test();
