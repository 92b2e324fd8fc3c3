#include "app/health_model.h"

#include <algorithm>
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

// The part of a worker's text after its "...: " head, e.g. the port of "ДПП потерян: /dev/ttyS0".
std::wstring after_head(const std::wstring& text) {
    const auto colon = text.find(L": ");
    return colon == std::wstring::npos ? std::wstring() : text.substr(colon + 2);
}

std::wstring whole_seconds(std::chrono::steady_clock::duration d) {
    return std::to_wstring(std::chrono::duration_cast<std::chrono::seconds>(d).count());
}

}  // namespace

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
    // Minutes mean nothing that far ahead, and the cell has no room for them.
    if (minutes >= 600) return std::to_wstring(minutes / 60) + L" ч";
    return std::to_wstring(minutes / 60) + L" ч " + std::to_wstring(minutes % 60) + L" мин";
}

std::wstring stop_reason_short(const std::wstring& stop_text) {
    const struct {
        const wchar_t* found;
        const wchar_t* reason;
    } known[] = {
        {L"порт ДПП", L"порт ДПП не открыт"},
        {L"мало места", L"диск заполнен"},
        {L"CoordServer", L"сервер координат"},
    };
    for (const auto& k : known)
        if (stop_text.find(k.found) != std::wstring::npos) return k.reason;
    // The rest are failures to write the database (its own text, or an exception's).
    return L"ошибка записи";
}

std::wstring tip_of(const health_cell& cell) {
    if (!cell.tip.empty()) return cell.tip;
    return cell.label.empty() ? cell.value : cell.label + L": " + cell.value;
}

health_model::health_model(health_settings settings) : settings_(settings) {}

void health_model::started(bool recording, clock::time_point now) {
    active_ = true;
    recording_ = recording;
    recording_ended_ = false;
    started_at_ = now;
    database_.clear();
    stored_ = without_frame_ = 0;
    last_stored_.reset();
    odometer_text_.clear();
    stop_text_.clear();
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
    // The write rate of this run only: what the disk did before says nothing about it.
    if (disk_.size() > 1) disk_.erase(disk_.begin(), disk_.end() - 1);
}

void health_model::stopped(bool saving) {
    active_ = false;
    recording_ = false;
    recording_ended_ = false;
    odometer_lost_ = false;
    stop_text_.clear();
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

bool health_model::storing_nothing(clock::time_point now) const {
    if (lamp_state() != health_lamp::record) return false;
    return odometer_lost_ || now - last_stored_.value_or(started_at_) >= settings_.odometer_silence;
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
        odometer_text_.clear();
        if (message.stored) {
            ++stored_;
            last_stored_ = now;
        } else {
            ++without_frame_;
        }
        database_ = message.database;
        break;
    case recording_news::odometer_lost:
        odometer_lost_ = true;
        odometer_text_ = message.text;
        break;
    case recording_news::odometer_silent:  // the model times the silence itself; the text names the port
        odometer_text_ = message.text;
        break;
    case recording_news::odometer_back:
        odometer_lost_ = false;
        odometer_text_.clear();
        break;
    case recording_news::stopped:
        recording_ended_ = true;
        stop_text_ = message.text;
        break;
    case recording_news::queue_dropped: queue_drop(message.count, now); break;
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

std::optional<double> health_model::write_rate() const {
    if (disk_.size() < 2 || disk_.back().at - disk_.front().at < settings_.disk_rate_least) return std::nullopt;
    // The median of the drops between samples at least half the least span apart: one sample
    // caught in a dip or a burst sways only the pairs it is in, a minority.
    const auto gap = settings_.disk_rate_least / 2;
    std::vector<double> rates;
    for (std::size_t i = 0; i < disk_.size(); ++i)
        for (std::size_t j = i + 1; j < disk_.size(); ++j)
            if (disk_[j].at - disk_[i].at >= gap)
                rates.push_back((static_cast<double>(disk_[i].space.free) - static_cast<double>(disk_[j].space.free)) /
                                duration_cast<seconds_d>(disk_[j].at - disk_[i].at).count());
    if (rates.empty()) return std::nullopt;
    const auto middle = rates.begin() + rates.size() / 2;
    std::nth_element(rates.begin(), middle, rates.end());
    return *middle;
}

std::optional<std::chrono::seconds> health_model::time_left() const {
    const std::optional<double> rate = write_rate();
    if (!rate || *rate <= 0 || disk_.empty()) return std::nullopt;
    const disk_sample& last = disk_.back();
    const disk_space_limits& l = settings_.disk_limits;
    const std::uint64_t stop_level = std::min(l.exhausted_bytes, last.space.total / 100 * l.exhausted_percent);
    const std::uint64_t usable = last.space.free > stop_level ? last.space.free - stop_level : 0;
    return std::chrono::seconds(static_cast<long long>(static_cast<double>(usable) / *rate));
}

health_cell health_model::odometer_cell(clock::time_point now) const {
    health_cell cell{L"ДПП/с · без кадра", none_text, health_level::normal};
    if (!recording_) return cell;
    if (recording_ended_) {
        // Its figures stopped with the recording; why it stopped matters more now.
        return {L"Причина остановки", stop_reason_short(stop_text_), health_level::amber,
                stop_text_.empty() ? std::wstring(L"Запись остановлена") : stop_text_};
    }
    const std::wstring rate = one_decimal(odometer_rate(now));
    cell.value = rate + L" · " + std::to_wstring(without_frame_);
    cell.tip = L"Сообщений ДПП в секунду: " + rate + L"; позиций без нового кадра: " + std::to_wstring(without_frame_);
    if (lamp_state() != health_lamp::record) return cell;
    const std::wstring port = after_head(odometer_text_);
    const auto silence = now - last_step_.value_or(started_at_);
    if (odometer_lost_) {
        cell.value = L"ДПП потерян";
        cell.level = health_level::red;
        cell.tip = L"ДПП потерян: " + (port.empty() ? std::wstring(L"порт") : L"порт " + port) +
                   L" не отвечает; порт открывается заново каждую секунду";
    } else if (silence >= settings_.odometer_silence) {
        cell.value = L"нет сообщений";
        cell.level = health_level::red;
        cell.tip = L"Нет сообщений ДПП " + whole_seconds(silence) + L" с" + (port.empty() ? L"" : L": порт " + port);
    }
    return cell;
}

health_cell health_model::camera_cell(clock::time_point now) const {
    health_cell cell{L"Камера, к/с", none_text, health_level::normal};
    if (!active_) return cell;
    const std::optional<double> rate = fps(now);
    if (!rate) return cell;
    cell.value = one_decimal(*rate);
    cell.tip = L"Кадров в секунду с камеры за 2 с: " + cell.value;
    if (*rate <= 0) {
        cell.value = L"нет кадров";
        cell.level = health_level::red;
        cell.tip = L"Камера не присылает новых кадров";
    } else if (camera_rate_ && *camera_rate_ > 0 && *rate < settings_.fps_share * *camera_rate_) {
        cell.value += L" из " + one_decimal(*camera_rate_);
        cell.level = health_level::amber;
        cell.tip += L", камера настроена на " + one_decimal(*camera_rate_);
    }
    return cell;
}

health_cell health_model::disk_cell(clock::time_point now) const {
    health_cell cell{L"Диск · осталось", none_text, health_level::normal};
    if (disk_.empty()) return cell;
    const disk_space& space = disk_.back().space;
    // The time left only while frames go to the disk: otherwise the rate is the disk's
    // other traffic, and a count of hours from it is noise.
    const auto left = lamp_state() == health_lamp::record && !storing_nothing(now) ? time_left() : std::nullopt;
    cell.value = gibibytes(space.free) + L" ГБ · " + (left ? time_left_text(*left) : std::wstring(none_text));
    cell.tip = L"Свободно " + gibibytes(space.free) + L" ГБ из " + gibibytes(space.total) + L" ГБ";
    if (left)
        cell.tip += L"; при записи " + one_decimal(*write_rate() / (1 << 20)) + L" МБ/с места хватит на " +
                    time_left_text(*left);
    else if (lamp_state() == health_lamp::record)
        cell.tip += L"; время до заполнения появится, когда запись пойдёт на диск";
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
        if (drain_left_) {
            cell.value = L"осталось " + std::to_wstring(*drain_left_);
            cell.tip = L"Сохранение записи: осталось кадров: " + std::to_wstring(*drain_left_);
        }
        if (queue_dropped_ > 0) cell.level = health_level::amber;
        return cell;
    }
    if (!recording_ || !queue_) return cell;
    const recording_queue::levels& q = *queue_;
    const std::wstring age = one_decimal(duration_cast<seconds_d>(queue_age_).count());
    // "12 к 0,2 с · 40 · 0": held now (frames, age of the oldest), the highest, dropped.
    cell.value = std::to_wstring(q.frames) + L" к " + age + L" с · " + std::to_wstring(q.highest_frames) + L" · " +
                 std::to_wstring(queue_dropped_);
    cell.tip = L"В очереди записи кадров: " + std::to_wstring(q.frames) +
               (q.capacity_frames > 0 ? L" из " + std::to_wstring(q.capacity_frames) : std::wstring()) +
               L", старейший ждёт " + age + L" с; наибольшая очередь: " + std::to_wstring(q.highest_frames) +
               L"; потеряно кадров: " + std::to_wstring(queue_dropped_);
    const std::size_t cap = q.capacity_frames;
    const bool dropping = last_drop_ && now - *last_drop_ < settings_.queue_drop_hold;
    if (lamp_state() == health_lamp::record && (dropping || (cap > 0 && q.frames * 10 >= cap * 9)))
        cell.level = health_level::red;
    else if (queue_dropped_ > 0 || (cap > 0 && q.frames * 2 > cap))
        cell.level = health_level::amber;
    return cell;
}

health_cell health_model::lamp_cell(clock::time_point now) const {
    switch (lamp_state()) {
    case health_lamp::record:
        if (storing_nothing(now)) {
            // Steps that keep coming without a frame: the camera is the cause, not the odometer.
            const bool steps_come = !odometer_lost_ && last_step_ && now - *last_step_ < settings_.odometer_silence;
            return {L"", steps_come ? L"ЗАПИСЬ · нет кадров" : L"ЗАПИСЬ · нет ДПП", health_level::amber,
                    L"Запись включена, но кадры не сохраняются " +
                        whole_seconds(now - last_stored_.value_or(started_at_)) + L" с: " +
                        (steps_come ? L"нет новых кадров с камеры" : odometer_cell(now).tip)};
        }
        return {L"", L"ЗАПИСЬ", health_level::good, L"Идёт запись: кадры сохраняются"};
    case health_lamp::capture:
        // A recording that ended on its own is capture only now: say so in amber.
        if (recording_)
            return {L"", L"ЗАХВАТ · запись остановлена", health_level::amber,
                    (stop_text_.empty() ? std::wstring(L"Запись остановлена") : stop_text_) + L"; захват продолжается"};
        return {L"", L"ЗАХВАТ", health_level::normal, L"Захват без записи"};
    case health_lamp::stop: return {L"", L"СТОП", health_level::off, L"Захват и запись остановлены"};
    case health_lamp::saving:
        return {L"", L"СОХРАНЕНИЕ", health_level::amber, L"Сохранение записи: кадры из очереди записываются на диск"};
    }
    return {};
}

std::vector<health_cell> health_model::cells(clock::time_point now) const {
    std::vector<health_cell> out(cell_count);
    out[cell_lamp] = lamp_cell(now);
    out[cell_elapsed] = {L"Время", active_ ? elapsed_text(duration_cast<std::chrono::seconds>(now - started_at_))
                                           : std::wstring(none_text)};
    out[cell_session] = {L"Сеанс", recording_ && !session_.empty() ? session_ : std::wstring(none_text)};
    out[cell_database] = {L"База", recording_ && !database_.empty() ? folder_name(database_) : std::wstring(none_text),
                          health_level::normal, recording_ && !database_.empty() ? L"База: " + database_ : L""};
    out[cell_frames] = {L"Записано", recording_ ? std::to_wstring(stored_) : std::wstring(none_text)};
    out[cell_odometer] = odometer_cell(now);
    out[cell_camera] = camera_cell(now);
    out[cell_lost] = {L"Потеряно", active_ ? std::to_wstring(lost_frames()) : std::wstring(none_text),
                      active_ && lost_frames() > 0 ? health_level::amber : health_level::normal};
    if (active_) out[cell_lost].tip = L"Кадров потеряно или повреждено камерой: " + out[cell_lost].value;
    out[cell_queue] = queue_cell(now);
    out[cell_disk] = disk_cell(now);
    return out;
}
