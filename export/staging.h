#pragma once
// Files an export has written under temporary names, waiting to be moved to the names it
// promised. commit() moves them in order; if a move fails, the files already moved are taken
// back out and nothing promised remains. Until commit() succeeds, the destructor removes every
// temporary file and scratch folder, so an export that stops early leaves nothing behind.
#include <filesystem>
#include <utility>
#include <vector>

class pending_output {
public:
    pending_output() = default;
    ~pending_output();
    pending_output(pending_output&& other) noexcept;
    pending_output& operator=(pending_output&& other) noexcept;
    pending_output(const pending_output&) = delete;
    pending_output& operator=(const pending_output&) = delete;

    // A scratch folder removed with everything in it when this object goes.
    void add_scratch(std::filesystem::path dir) { scratch_.push_back(std::move(dir)); }
    // A folder the export created: removed when the export stops early and it is empty.
    void add_created(std::filesystem::path dir) { created_.push_back(std::move(dir)); }
    // A temporary file to be moved to its final name (same file system) by commit().
    void add_move(std::filesystem::path from, std::filesystem::path to) {
        moves_.emplace_back(std::move(from), std::move(to));
    }
    // Takes over other's files; they are committed after this object's own.
    void append(pending_output&& other);
    // Throws export_error; on failure none of the final names is left.
    void commit();

private:
    void discard() noexcept;

    std::vector<std::pair<std::filesystem::path, std::filesystem::path>> moves_;
    std::vector<std::filesystem::path> scratch_;
    std::vector<std::filesystem::path> created_;  // outermost first
    bool committed_ = false;
};

// Creates the folder target with its missing parents, handing the new ones to output; throws
// export_error when target cannot be a folder.
void ensure_folder(const std::filesystem::path& target, pending_output& output);

// Creates target (a folder, with missing parents) and a hidden scratch folder inside it, and
// hands both to output; throws export_error.
std::filesystem::path make_scratch_dir(const std::filesystem::path& target, pending_output& output);

// A hidden temporary file beside target (same folder, so a rename replaces target at once),
// created empty, its folder created when missing (both handed to output by the caller for the
// file, by this call for the folders); throws export_error.
std::filesystem::path temporary_beside(const std::filesystem::path& target, pending_output& output);
