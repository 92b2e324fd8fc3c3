#pragma once
// depot_recording: what a closed recording becomes in the depot, and the upload, listing and
// download of it.
//
// Layout: every regular file of the recording's folder as the object
// <prefix>/<side>/<folder name>/<file>, each carrying its SHA-256 as x-amz-meta-sha256, and
// LAST the object <prefix>/<side>/<folder name>/manifest.json naming each file with its size
// and SHA-256, and the recording's frame count, first and last odometer count, session code,
// side and recording host. A recording is in the depot exactly when its manifest is there and
// every object it names has the named size and checksum.
//
// Resuming: files over part_size go as multipart uploads of part_size parts. A small state
// file per recording, <parent of folder>/.depot/<folder name>.state (text, one line per fact:
// "upload <file> <upload id>" and "verified <file> <size> <mtime ns> <sha256>"), keeps the
// upload ids and the files already verified, so that after a dropped link, a store that went
// away or a restart, the upload goes on from the parts the store confirms (listed, and each
// checked against the local part's MD5) and the files already verified, never from zero. It is
// removed when the manifest is verified.
//
// Threads: push_recording runs on the caller's thread (a worker's, never the window's) and
// calls the callbacks there; it hashes the files a file or two ahead of the sending on a
// thread of its own ("qm-depot-hash", at the caller's priority), joined before it returns. Errors: outcomes carry a Russian reason.
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "depot/s3_client.h"

struct manifest_file {
    std::string name;
    std::uint64_t size = 0;
    std::string sha256;  // lower-case hex
    bool operator==(const manifest_file&) const = default;
};

struct recording_manifest {
    std::string folder;   // the recording's folder name
    std::string side;     // UTF-8
    std::string session;  // UTF-8
    std::string host;
    std::uint64_t frame_count = 0;
    std::uint32_t first_count = 0;
    std::uint32_t last_count = 0;
    std::vector<manifest_file> files;
    bool operator==(const recording_manifest&) const = default;
};

std::string manifest_to_json(const recording_manifest& manifest);
// False (and manifest unchanged) for a document that is not a manifest; bounded in depth and
// never reads past the text.
bool manifest_from_json(const std::string& json, recording_manifest& manifest);

// "<prefix>/<side>/<folder>/" (no leading '/' when prefix is empty).
std::string recording_key_prefix(const std::string& prefix, const std::string& side, const std::string& folder);

// Lower-case hex digests of a whole file or of a range of it; empty when it cannot be read.
std::string file_sha256(const std::string& path);
std::string file_range_md5(const std::string& path, std::uint64_t offset, std::uint64_t length);
std::string bytes_md5(const std::string& bytes);

// A local file as push_recording sends it, from one read: its SHA-256 and the ETag the store
// answers for it (the MD5 of a single PUT of at most part_size bytes, else the MD5 of the part
// MD5s and "-<parts>"). Both empty when the file cannot be read.
struct upload_checksums {
    std::string sha256;
    std::string etag;
};
upload_checksums file_upload_checksums(const std::string& path, std::uint64_t part_size);

struct depot_progress {
    std::string file;
    std::uint64_t done = 0;   // bytes of the recording confirmed in the store
    std::uint64_t total = 0;  // bytes of the recording
};

struct depot_options {
    std::uint64_t part_size = 8u << 20;
    std::string state_dir;  // empty: <parent of folder>/.depot
    std::chrono::milliseconds backoff_first{1000};
    std::chrono::milliseconds backoff_most{60000};
    // Tries of one request before the recording is given up (transient failures only; a
    // refused key, a missing bucket or a full store end it at once). About four minutes.
    int attempts = 10;
    // Waits between tries; default: sleeping in steps of 100 ms while cancelled() is false.
    std::function<void(std::chrono::milliseconds)> wait;
    std::function<bool()> cancelled;
    std::function<void(const depot_progress&)> progress;
    // Called after each part the store accepted (file, part number).
    std::function<void(const std::string&, int)> part_sent;
};

struct depot_outcome {
    bool ok = false;
    bool cancelled = false;
    std::string reason;  // Russian, when not ok
    s3_error error = s3_error::none;
    recording_manifest manifest;
    int parts_sent = 0;    // parts sent by this call
    int objects_sent = 0;  // whole objects (single PUTs) sent by this call
    int retries = 0;
};

// Uploads the closed recording in folder and verifies it; ok only when the manifest is there
// and every object matches it.
depot_outcome push_recording(s3_client& client, const std::string& prefix, const std::string& folder,
                             const depot_options& options);

struct depot_entry {
    std::string key_prefix;  // "<prefix>/<side>/<folder>/"
    recording_manifest manifest;
    bool whole = false;
    std::string problem;  // Russian, when not whole
};

// Every recording that has a manifest under prefix; objects without one (an upload under way)
// are not listed. With deep, each object's checksum is checked by HEAD as well as its size.
s3_result list_depot(s3_client& client, const std::string& prefix, bool deep, std::vector<depot_entry>& out);

// Downloads the recording named "folder" or "side/folder" into out_dir/<folder>, checking
// every size and checksum; the folder appears only when all of it is right.
depot_outcome pull_recording(s3_client& client, const std::string& prefix, const std::string& name,
                             const std::string& out_dir, const depot_options& options);
