#include "export/staging.h"

#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "export/export_control.h"

namespace fs = std::filesystem;

pending_output::~pending_output() { discard(); }

pending_output::pending_output(pending_output&& other) noexcept
    : moves_(std::move(other.moves_)),
      scratch_(std::move(other.scratch_)),
      created_(std::move(other.created_)),
      committed_(other.committed_) {
    other.moves_.clear();
    other.scratch_.clear();
    other.created_.clear();
}

pending_output& pending_output::operator=(pending_output&& other) noexcept {
    if (this != &other) {
        discard();
        moves_ = std::move(other.moves_);
        scratch_ = std::move(other.scratch_);
        created_ = std::move(other.created_);
        committed_ = other.committed_;
        other.moves_.clear();
        other.scratch_.clear();
        other.created_.clear();
    }
    return *this;
}

void pending_output::append(pending_output&& other) {
    moves_.insert(moves_.end(), other.moves_.begin(), other.moves_.end());
    scratch_.insert(scratch_.end(), other.scratch_.begin(), other.scratch_.end());
    created_.insert(created_.end(), other.created_.begin(), other.created_.end());
    other.moves_.clear();
    other.scratch_.clear();
    other.created_.clear();
}

void pending_output::discard() noexcept {
    if (!committed_)
        for (const auto& move : moves_) ::unlink(move.first.c_str());
    for (const auto& dir : scratch_) {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
    if (!committed_)
        for (auto it = created_.rbegin(); it != created_.rend(); ++it) ::rmdir(it->c_str());  // only when empty
    moves_.clear();
    scratch_.clear();
    created_.clear();
}

void pending_output::commit() {
    for (std::size_t moved = 0; moved < moves_.size(); ++moved) {
        const auto& [from, to] = moves_[moved];
        if (std::rename(from.c_str(), to.c_str()) == 0) continue;
        const std::string reason = std::strerror(errno);
        for (std::size_t i = 0; i < moved; ++i) ::unlink(moves_[i].second.c_str());
        throw export_error("Не удалось записать " + to.string() + ": " + reason);
    }
    committed_ = true;
}

void ensure_folder(const fs::path& target, pending_output& output) {
    std::error_code ec;
    // The folders that do not exist yet, outermost first, so an export that stops early can
    // take them away again.
    std::vector<fs::path> missing;
    for (fs::path p = fs::absolute(target, ec); !p.empty() && !fs::exists(p, ec); p = p.parent_path()) {
        missing.insert(missing.begin(), p);
        if (p == p.parent_path()) break;
    }
    fs::create_directories(target, ec);
    for (auto& dir : missing)
        if (fs::is_directory(dir)) output.add_created(dir);
    if (!fs::is_directory(target))
        throw export_error("Не удалось создать папку " + target.string() +
                           (ec ? ": " + ec.message() : ": на этом месте файл"));
}

fs::path make_scratch_dir(const fs::path& target, pending_output& output) {
    ensure_folder(target, output);
    std::string pattern = (target / ".quillmar-export-XXXXXX").string();
    if (!::mkdtemp(pattern.data()))
        throw export_error("Не удалось писать в папку " + target.string() + ": " + std::strerror(errno));
    output.add_scratch(pattern);
    return pattern;
}

fs::path temporary_beside(const fs::path& target, pending_output& output) {
    const fs::path folder = target.has_parent_path() ? target.parent_path() : fs::path(".");
    std::error_code ec;
    if (fs::is_directory(target, ec)) throw export_error("На месте файла " + target.string() + " папка");
    ensure_folder(folder, output);
    std::string pattern = (folder / ("." + target.filename().string() + ".XXXXXX")).string();
    const int fd = ::mkstemp(pattern.data());
    if (fd < 0) throw export_error("Не удалось создать файл в папке " + folder.string() + ": " + std::strerror(errno));
    ::close(fd);
    return pattern;
}
