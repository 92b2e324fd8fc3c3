#include "viewer/frame_browser.h"

#include <cmath>
#include <cstdio>
#include <limits>

#include "database/database_layout.h"
#include "database/database_reader.h"
#include "database/reader_pool.h"

#include <opencv2/imgcodecs.hpp>

frame_browser::frame_browser(const std::wstring& folder, reader_pool* readers)
    : reader_(readers ? readers->open_reader(folder) : std::make_unique<database_reader>(folder)),
      first_(reader_->dpp_start()),
      last_(reader_->dpp_end()) {
    reader_->seek(first_);
}

frame_browser::~frame_browser() = default;

void frame_browser::go_to(double spin_value) {
    double v = std::trunc(spin_value);
    if (!(v >= 0)) v = 0;  // also NaN
    const double top = std::numeric_limits<std::uint32_t>::max();
    if (v > top) v = top;
    reader_->seek(static_cast<std::uint32_t>(v));
}

std::optional<std::uint32_t> frame_browser::current_count() const {
    const std::string key = reader_->current_key();
    if (!is_frame_key(key)) return std::nullopt;
    return parse_count(key);
}

bool frame_browser::previous() {
    const auto here = current_count();
    if (!here) {  // past the frames (a metadata key or nothing): the last frame is previous
        const std::string before = reader_->current_key();
        reader_->seek(last_);
        if (reader_->current_key() == before || !current_count()) return false;
        return true;
    }
    const std::uint32_t c = *here;
    // The reader only seeks forwards (at or after a count): find the largest count whose
    // at-or-after frame still lies before c. The predicate is monotone, so halve the range.
    auto before_here = [&](std::uint32_t n) {
        reader_->seek(n);
        const auto found = current_count();
        return found && *found < c;
    };
    if (c == 0 || !before_here(0)) {
        reader_->seek(c);
        return false;
    }
    std::uint32_t lo = 0, hi = c - 1;  // before_here(lo) holds
    while (lo < hi) {
        const std::uint32_t mid = lo + (hi - lo + 1) / 2;
        if (before_here(mid))
            lo = mid;
        else
            hi = mid - 1;
    }
    reader_->seek(lo);
    return true;
}

bool frame_browser::next() {
    const std::string before = reader_->current_key();
    reader_->advance();
    const std::string after = reader_->current_key();
    if (after == before) return false;
    if (!is_frame_key(after)) {  // never step off the frames onto the metadata
        if (is_frame_key(before)) reader_->seek(parse_count(before));
        return false;
    }
    return true;
}

void frame_browser::first() { reader_->seek(first_); }
void frame_browser::last() { reader_->seek(last_); }

std::string frame_browser::current_key() const { return reader_->current_key(); }
std::string frame_browser::current_bytes() const { return reader_->current_bytes(); }
cv::Mat frame_browser::current_frame() const { return reader_->current_frame(); }

cv::Mat frame_browser::current_picture() const {
    const std::string bytes = reader_->current_bytes();
    if (bytes.empty()) return {};
    const cv::Mat buffer(1, static_cast<int>(bytes.size()), CV_8UC1, const_cast<char*>(bytes.data()));
    try {
        cv::Mat out = cv::imdecode(buffer, cv::IMREAD_UNCHANGED);
        if (out.depth() != CV_8U || (out.channels() != 1 && out.channels() != 3)) return {};
        return out;
    } catch (const cv::Exception&) {
        return {};
    }
}

std::filesystem::path saved_frame_path(const std::filesystem::path& chosen) {
    std::filesystem::path out = chosen;
    const std::filesystem::path extension = chosen.extension();
    if (extension == ".")
        out.replace_extension(".jpg");
    else if (extension.empty())
        out += ".jpg";
    return out;
}

bool write_frame_file(const std::filesystem::path& path, const std::string& bytes) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) return false;
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    const bool closed = std::fclose(file) == 0;
    if (written && closed) return true;
    std::error_code ignored;
    std::filesystem::remove(path, ignored);
    return false;
}
