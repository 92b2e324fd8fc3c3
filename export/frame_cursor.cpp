#include "export/frame_cursor.h"

#include <leveldb/db.h>

#include "database/database_layout.h"

namespace {

std::uint32_t key_count(std::string_view key) {
    std::uint32_t v = 0;
    for (char c : key) v = v * 10 + static_cast<std::uint32_t>(c - '0');
    return v;
}

void check(const leveldb::Iterator& it) {
    if (!it.status().ok()) throw export_error("Ошибка чтения базы: " + it.status().ToString());
}

}  // namespace

std::string range_text(export_range range) {
    return "кадры с " + std::to_string(range.from) + " по " + std::to_string(range.to);
}

frame_cursor::frame_cursor(leveldb::DB& db, export_range range) {
    if (range.from > range.to)
        throw export_error("Начало диапазона (" + std::to_string(range.from) + ") больше конца (" +
                           std::to_string(range.to) + ")");
    end_key_ = make_frame_key(range.to);
    leveldb::ReadOptions options;
    options.fill_cache = false;
    it_.reset(db.NewIterator(options));
    it_->Seek(make_frame_key(range.from));
    settle();
    if (!valid_) throw export_error("В базе нет кадров в диапазоне: " + range_text(range));
    first_ = count_;

    // The last frame of the range: the key at the end count, or the frame before it.
    std::unique_ptr<leveldb::Iterator> last(db.NewIterator(leveldb::ReadOptions()));
    last->Seek(end_key_);
    if (last->Valid() && last->key().ToString() == end_key_) {
        last_ = range.to;
    } else {
        if (last->Valid())
            last->Prev();
        else
            last->SeekToLast();
        while (last->Valid() && !is_frame_key(last->key().ToString())) last->Prev();
        check(*last);
        last_ = last->Valid() ? key_count(last->key().ToString()) : first_;
        if (last_ < first_) last_ = first_;
    }
}

frame_cursor::~frame_cursor() = default;

void frame_cursor::settle() {
    check(*it_);
    valid_ = false;
    if (!it_->Valid()) return;
    const leveldb::Slice k = it_->key();
    const std::string_view key(k.data(), k.size());
    // Frame keys sort before every metadata key, so the first other key ends the frames.
    if (!is_frame_key(key) || key > std::string_view(end_key_)) return;
    count_ = key_count(key);
    valid_ = true;
}

std::string_view frame_cursor::key() const {
    const leveldb::Slice k = it_->key();
    return {k.data(), k.size()};
}

std::string_view frame_cursor::value() const {
    const leveldb::Slice v = it_->value();
    return {v.data(), v.size()};
}

void frame_cursor::next() {
    it_->Next();
    settle();
}

double frame_cursor::fraction() const {
    if (last_ <= first_) return valid_ ? 0.0 : 1.0;
    return static_cast<double>(count_ - first_) / static_cast<double>(last_ - first_);
}
