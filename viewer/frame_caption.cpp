#include "viewer/frame_caption.h"

#include <cmath>

std::wstring frame_caption(const frame_place& p) {
    const std::wstring dot = L" · ";
    std::wstring s = p.folder + dot + (p.session.empty() ? L"без кода" : p.session);
    s += dot + (p.count ? L"ДПП " + std::to_wstring(*p.count) : std::wstring(L"нет кадра"));
    const bool known = p.index >= 1 && p.index <= p.total;
    if (known)
        s += dot + L"кадр " + std::to_wstring(p.index) + L" из " + std::to_wstring(p.total);
    else if (p.count)
        s += dot + L"кадры подсчитываются…";
    const std::wstring start = p.time_start.empty() ? L"?" : p.time_start;
    const std::wstring end = p.time_end.empty() ? L"?" : p.time_end;
    if (known) {
        const double share =
            p.total > 1 ? 100.0 * static_cast<double>(p.index - 1) / static_cast<double>(p.total - 1) : 0;
        s += dot + start + L" — " + std::to_wstring(std::lround(share)) + L" % — " + end;
    } else {
        s += dot + start + L" — " + end;
    }
    return s;
}
