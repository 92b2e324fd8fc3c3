#pragma once
// A pseudo-terminal pair standing in for a serial line: the program opens the device
// path (the slave side) as its odometer port, and whoever holds this object writes the
// odometer's bytes into the master side. Used by the odometer simulator and by tests.
//
// Ownership: owns both descriptors. The slave descriptor is kept open as well, so the line
// does not report a hang-up while the reader reopens it; close_slave() lets a test see
// what a reader does when the far end goes away (close() of the master).
// Thread safety: none of its own; one thread at a time (the owner) writes and closes.
// Errors: the constructor throws std::runtime_error with the system's text.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

class pseudo_terminal {
public:
    pseudo_terminal();
    ~pseudo_terminal();
    pseudo_terminal(const pseudo_terminal&) = delete;
    pseudo_terminal& operator=(const pseudo_terminal&) = delete;

    // The slave side's path, e.g. /dev/pts/7.
    const std::string& device_path() const { return path_; }

    // Writes all bytes to the master side; false when the line is gone. While nobody reads
    // the slave side the line's buffer fills and the write waits; give_up is asked at least
    // every 50 ms while it waits, and a true answer abandons the write (false returned).
    bool write(const std::uint8_t* data, std::size_t size, const std::function<bool()>& give_up = {});

    // Closes the master side: readers of the slave see end of input / an error.
    void close_master();
    void close_slave();

private:
    int master_ = -1;
    int slave_ = -1;
    std::string path_;
};
