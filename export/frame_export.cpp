#include "export/frame_export.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "export/frame_cursor.h"

namespace fs = std::filesystem;

namespace {

void write_file(const fs::path& path, std::string_view bytes) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) throw export_error("Не удалось создать файл " + path.string() + ": " + std::strerror(errno));
    const char* p = bytes.data();
    std::size_t left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            const int e = n < 0 ? errno : ENOSPC;
            ::close(fd);
            throw export_error("Не удалось записать файл " + path.string() + ": " + std::strerror(e));
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    if (::close(fd) != 0) throw export_error("Не удалось записать файл " + path.string() + ": " + std::strerror(errno));
}

}  // namespace

frames_result prepare_frames(leveldb::DB& db, export_range range, const fs::path& dir, const export_control& control,
                             pending_output& output) {
    frame_cursor frames(db, range);
    const fs::path scratch = make_scratch_dir(dir, output);

    frames_result result;
    std::string index = "count,file,bytes\n";
    for (; frames.valid(); frames.next()) {
        if (control.cancelled()) {
            result.cancelled = true;
            return result;  // output removes everything written so far
        }
        if (control.before_frame) control.before_frame(result.frames);
        std::string name(frames.key());
        name += ".jpg";
        const std::string_view bytes = frames.value();
        write_file(scratch / name, bytes);
        index += std::to_string(frames.count()) + ',' + name + ',' + std::to_string(bytes.size()) + '\n';
        output.add_move(scratch / name, dir / name);
        ++result.frames;
        result.bytes += bytes.size();
        if (control.progress) control.progress({result.frames, frames.fraction()});
    }
    // The index comes last, so a folder with index.csv holds every file it names.
    write_file(scratch / frame_index_name, index);
    output.add_move(scratch / frame_index_name, dir / frame_index_name);
    return result;
}

frames_result export_frames(leveldb::DB& db, export_range range, const fs::path& dir, const export_control& control) {
    pending_output output;
    frames_result result = prepare_frames(db, range, dir, control, output);
    if (!result.cancelled) output.commit();
    return result;
}
