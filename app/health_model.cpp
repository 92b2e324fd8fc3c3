#include "app/health_model.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

using std::chrono::duration;
using std::chrono::duration_cast;
using seconds_d = duration<double>;

std::wstring folder_name(const std::wstring& path) {
    const auto slash = path.find_last_of(L"/\\");
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

std::wstring gibibytes(std::uint64_t bytes) { return one_decimal(static_cast<double>(bytes) / (1ull << 30)); }

const wchar_t* const none_text = L"—";

}  // namespace

std::wstring one_decimal(double value) {
    if (!std::isfinite(value)) value = 0;
    const long long tenths = std::llround(value * 10);
    const bool negative = tenths < 0;
    const unsigned long long t = negative ? -tenths : tenths;
    return (negative ? L"-" : L"") + std::to_wstring(t / 10) + L"," + std::to_wstring(t % 10);
}

std::wstring elapsed_text(std::chrono::seconds elapsed) {
    const long long s = std::max<long long>(0, elapsed.count());
    wchar_t text[32];
    std::swprintf(text, 32, L"%02lld:%02lld:%02lld", s / 3600, s / 60 % 60, s % 60);
    return text;
}

std::wstring time_left_text(std::chrono::seconds left) {
    const long long minutes = left.count() / 60;
    if (minutes < 1) return L"< 1 мин";
    if (minutes < 60) return std::to_wstring(minutes) + L" мин";
    return std::to_wstring(minutes / 60) + L" ч " + std::to_wstring(minutes % 60) + L" мин";
}

health_model::health_model(health_settings settings) : settings_(settings) {}

void health_model::started(bool recording, clock::time_point now) {
    active_ = true;
    recording_ = recording;
    recording_ended_ = false;
    started_at_ = now;
    database_.clear();
    stored_ = without_frame_ = 0;
    steps_.clear();
    last_step_.reset();
    odometer_lost_ = false;
    camera_.clear();
    last_new_frame_.reset();
    delivered_ = lost_ = corrupt_ = 0;
    queue_.reset();
    queue_age_ = {};
    queue_dropped_ = dropped_reported_ = 0;
    last_drop_.reset();
    drain_left_.reset();
    saving_ = false;
}

void health_model::stopped(bool saving) {
    active_ = false;
    recording_ = false;
    recording_ended_ = false;
    odometer_lost_ = false;
    saving_ = saving;
}

void health_model::saved() {
    saving_ = false;
    drain_left_.reset();
}

health_lamp health_model::lamp_state() const {
    if (!active_) return saving_ ? health_lamp::saving : health_lamp::stop;
    return recording_ && !recording_ended_ ? health_lamp::record : health_lamp::capture;
}

void health_model::record_status(const record_status_message& message, clock::time_point now) {
    if (saving_) {
        // Stop came: only the drain's own news tells anything new.
        if (message.news == recording_news::draining) drain_left_ = message.count;
        if (message.news == recording_news::queue_dropped) queue_drop(message.count, now);
        return;
    }
    if (!active_ || !recording_) return;
    switch (message.news) {
    case recording_news::step:
        steps_.push_back(now);
        last_step_ = now;
        odometer_lost_ = false;
        if (message.stored)
            ++stored_;
        else
            ++without_frame_;
        database_ = message.database;
        break;
    case recording_news::odometer_lost: odometer_lost_ = true; break;
    case recording_news::odometer_back: odometer_lost_ = false; break;
    case recording_news::stopped: recording_ended_ = true; break;
    case recording_news::queue_dropped: queue_drop(message.count, now); break;
    case recording_news::odometer_silent:  // the model times the silence itself
    case recording_news::draining:
    case recording_news::text: break;
    }
    forget_old(now);
}

void health_model::grab_stats(const grab_stats_message& message, clock::time_point now) {
    if (!active_) return;
    if (message.delivered > delivered_) last_new_frame_ = now;
    delivered_ = message.delivered;
    lost_ = message.lost;
    corrupt_ = message.corrupt;
    camera_.push_back({now, message.delivered});
    forget_old(now);
}

void health_model::forget_old(clock::time_point now) {
    const auto edge = now - settings_.rate_window;
    while (!steps_.empty() && steps_.front() < edge) steps_.pop_front();
    // Keep one sample at or before the window's edge, so the rate spans the whole window.
    while (camera_.size() > 1 && camera_[1].at <= edge) camera_.pop_front();
}

void health_model::queue_drop(std::uint64_t dropped, clock::time_point now) {
    // The news comes when an episode ends, up to a second after the levels last showed it.
    dropped_reported_ += dropped;
    queue_dropped_ = std::max(queue_dropped_, dropped_reported_);
    last_drop_ = now;
}

void health_model::queue(const std::optional<recording_queue::levels>& levels, clock::time_point now) {
    if (!active_ || !recording_ || !levels) return;
    if (levels->dropped > queue_dropped_) {
        queue_dropped_ = levels->dropped;
        last_drop_ = now;
    }
    queue_ = levels;
    queue_age_ = levels->oldest && *levels->oldest < now ? now - *levels->oldest : clock::duration{};
}

bool health_model::disk_due(clock::time_point now) const {
    return !last_disk_query_ || now - *last_disk_query_ >= std::chrono::seconds(5);
}

void health_model::disk(std::optional<disk_space> space, clock::time_point now) {
    last_disk_query_ = now;
    if (!space) {
        disk_.clear();
        return;
    }
    disk_.push_back({now, *space});
    while (disk_.size() > 1 && disk_[1].at <= now - settings_.disk_rate_window) disk_.pop_front();
}

double health_model::odometer_rate(clock::time_point now) const {
    const auto edge = now - settings_.rate_window;
    const auto n = std::count_if(steps_.begin(), steps_.end(), [&](auto t) { return t >= edge && t <= now; });
    return static_cast<double>(n) / duration_cast<seconds_d>(settings_.rate_window).count();
}

std::optional<double> health_model::fps(clock::time_point now) const {
    if (!active_) return std::nullopt;
    if (last_new_frame_ ? now - *last_new_frame_ >= settings_.rate_window : now - started_at_ >= settings_.rate_window)
        return 0.0;
    if (camera_.size() < 2) return std::nullopt;
    const camera_sample& first = camera_.front();
    const camera_sample& last = camera_.back();
    const double span = duration_cast<seconds_d>(last.at - first.at).count();
    if (span <= 0) return std::nullopt;
    return static_cast<double>(last.delivered - std::min(first.delivered, last.delivered)) / span;
}

std::optional<std::chrono::seconds> health_model::time_left() const {
    if (disk_.size() < 2) return std::nullopt;
    const disk_sample& first = disk_.front();
    const disk_sample& last = disk_.back();
    if (last.space.free >= first.space.free) return std::nullopt;
    const double span = duration_cast<seconds_d>(last.at - first.at).count();
    if (span <= 0) return std::nullopt;
    const double rate = static_cast<double>(first.space.free - last.space.free) / span;
    const disk_space_limits& l = settings_.disk_limits;
    const std::uint64_t stop_level = std::min(l.exhausted_bytes, last.space.total / 100 * l.exhausted_percent);
    const std::uint64_t usable = last.space.free > stop_level ? last.space.free - stop_level : 0;
    return std::chrono::seconds(static_cast<long long>(static_cast<double>(usable) / rate));
}

health_cell health_model::odometer_cell(clock::time_point now) const {
    health_cell cell{L"ДПП/с · без кадра", none_text, health_level::normal};
    if (!recording_) return cell;
    cell.value = one_decimal(odometer_rate(now)) + L" · " + std::to_wstring(without_frame_);
    if (lamp_state() != health_lamp::record) return cell;
    if (odometer_lost_) {
        cell.value = L"ДПП потерян";
        cell.level = health_level::red;
    } else if (now - last_step_.value_or(started_at_) >= settings_.odometer_silence) {
        cell.value = L"нет сообщений ДПП";
        cell.level = health_level::red;
    }
    return cell;
}

health_cell health_model::camera_cell(clock::time_point now) const {
    health_cell cell{L"Камера, к/с", none_text, health_level::normal};
    if (!active_) return cell;
    const std::optional<double> rate = fps(now);
    if (!rate) return cell;
    cell.value = one_decimal(*rate);
    if (*rate <= 0) {
        cell.value = L"нет кадров";
        cell.level = health_level::red;
    } else if (camera_rate_ && *camera_rate_ > 0 && *rate < settings_.fps_share * *camera_rate_) {
        cell.value += L" из " + one_decimal(*camera_rate_);
        cell.level = health_level::amber;
    }
    return cell;
}

health_cell health_model::disk_cell() const {
    health_cell cell{L"Диск · осталось", none_text, health_level::normal};
    if (disk_.empty()) return cell;
    const disk_space& space = disk_.back().space;
    cell.value = gibibytes(space.free) + L" ГБ";
    if (lamp_state() == health_lamp::record) {
        const auto left = time_left();
        cell.value += L" · " + (left ? time_left_text(*left) : std::wstring(none_text));
    }
    const disk_space_limits& l = settings_.disk_limits;
    const std::uint64_t share = space.total / 100;
    if (space.free < std::min(l.exhausted_bytes, share * l.exhausted_percent))
        cell.level = health_level::red;
    else if (space.free < std::min(l.low_bytes, share * l.low_percent))
        cell.level = health_level::amber;
    return cell;
}

health_cell health_model::queue_cell(clock::time_point now) const {
    health_cell cell{L"Очередь · макс · потеряно", none_text, health_level::normal};
    if (lamp_state() == health_lamp::saving) {
        cell.label = L"Очередь";
        if (drain_left_) cell.value = L"осталось " + std::to_wstring(*drain_left_);
        if (queue_dropped_ > 0) cell.level = health_level::amber;
        return cell;
    }
    if (!recording_ || !queue_) return cell;
    const recording_queue::levels& q = *queue_;
    // "12 к 0,2 с · 40 · 0": held now (frames, age of the oldest), the highest, dropped.
    cell.value = std::to_wstring(q.frames) + L" к " + one_decimal(duration_cast<seconds_d>(queue_age_).count()) +
                 L" с · " + std::to_wstring(q.highest_frames) + L" · " + std::to_wstring(queue_dropped_);
    const std::size_t cap = q.capacity_frames;
    const bool dropping = last_drop_ && now - *last_drop_ < settings_.queue_drop_hold;
    if (lamp_state() == health_lamp::record && (dropping || (cap > 0 && q.frames * 10 >= cap * 9)))
        cell.level = health_level::red;
    else if (queue_dropped_ > 0 || (cap > 0 && q.frames * 2 > cap))
        cell.level = health_level::amber;
    return cell;
}

std::vector<health_cell> health_model::cells(clock::time_point now) const {
    std::vector<health_cell> out(cell_count);
    switch (lamp_state()) {
    case health_lamp::record: out[cell_lamp] = {L"", L"ЗАПИСЬ", health_level::good}; break;
    case health_lamp::capture:
        // A recording that ended on its own is capture only now: say so in amber.
        out[cell_lamp] = {L"", L"ЗАХВАТ", recording_ ? health_level::amber : health_level::normal};
        break;
    case health_lamp::stop: out[cell_lamp] = {L"", L"СТОП", health_level::off}; break;
    case health_lamp::saving: out[cell_lamp] = {L"", L"СОХРАНЕНИЕ", health_level::amber}; break;
    }
    out[cell_elapsed] = {L"Время", active_ ? elapsed_text(duration_cast<std::chrono::seconds>(now - started_at_))
                                           : std::wstring(none_text)};
    out[cell_session] = {L"Сеанс", recording_ && !session_.empty() ? session_ : std::wstring(none_text)};
    out[cell_database] = {L"База", recording_ && !database_.empty() ? folder_name(database_) : std::wstring(none_text)};
    out[cell_frames] = {L"Записано", recording_ ? std::to_wstring(stored_) : std::wstring(none_text)};
    out[cell_odometer] = odometer_cell(now);
    out[cell_camera] = camera_cell(now);
    out[cell_lost] = {L"Потеряно", active_ ? std::to_wstring(lost_frames()) : std::wstring(none_text),
                      active_ && lost_frames() > 0 ? health_level::amber : health_level::normal};
    out[cell_queue] = queue_cell(now);
    out[cell_disk] = disk_cell();
    return out;
}
