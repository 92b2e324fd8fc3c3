#pragma once
// frame_browser: the viewer's position in one recorded database, without a window.
//
// Opens a database_reader on the folder and stands on its first frame. The spin control's
// value picks the first frame at or after its truncated count (a count without a frame shows
// the next one); the keys step to the previous / next stored frame or jump to the first /
// last. Saving writes the current frame's stored bytes unchanged.
//
// Ownership: owns the reader, so the database stays open for the browser's life; it only
// reads (no file of the recording changes) and other readers of the folder are not kept out.
// Given the process's reader_pool, the reader shares the pool's handle of the folder.
// Errors: the constructor throws what the reader throws (std::runtime_error with LevelDB's
// text, or the parse error of a malformed stored number).
// Thread safety: one thread (the viewer's GUI thread).
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include <opencv2/core.hpp>

class database_reader;
class reader_pool;

class frame_browser {
public:
    // readers: the process's shared read handles; null: a read handle of its own.
    explicit frame_browser(const std::wstring& folder, reader_pool* readers = nullptr);
    ~frame_browser();
    frame_browser(const frame_browser&) = delete;
    frame_browser& operator=(const frame_browser&) = delete;

    // The spin control's range: the database's dpp_start and dpp_end.
    std::uint32_t first_count() const { return first_; }
    std::uint32_t last_count() const { return last_; }

    // The spin control's value: truncated toward zero and clamped to 0 .. 2^32 - 1, then the
    // first stored frame at or after it.
    void go_to(double spin_value);
    // Previous / next stored frame; false (position unchanged) when there is none.
    bool previous();
    bool next();
    void first();
    void last();

    // The current key's odometer count when it is a frame key (the spin control follows it).
    std::optional<std::uint32_t> current_count() const;
    std::string current_key() const;  // ten digits, or a metadata key, or empty
    std::string current_bytes() const;
    cv::Mat current_frame() const;  // 8-bit BGR; empty when there is no frame here
    // The current frame as stored: a grey frame stays one channel (a third of the pixels to
    // decode, scale and convert), a colour one is BGR; empty when there is no frame here.
    cv::Mat current_picture() const;

    const database_reader& reader() const { return *reader_; }

private:
    std::unique_ptr<database_reader> reader_;
    std::uint32_t first_ = 0;
    std::uint32_t last_ = 0;
};

// Where "Сохранить кадр" writes: the path chosen, as typed; a name without an extension
// gets ".jpg" (the bytes are JPEG data).
std::filesystem::path saved_frame_path(const std::filesystem::path& chosen);

// Creates or truncates path and writes bytes to it; false when the file cannot be created or
// written whole (a partly written file is removed).
bool write_frame_file(const std::filesystem::path& path, const std::string& bytes);
