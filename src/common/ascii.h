// ASCII letter case, as the tool compares keywords and event-source names:
// only A to Z fold, every other unit (bytes above 0x7F, UTF-16 units) stays.
#pragma once

template <typename Unit>
constexpr Unit FoldCase(Unit c) {
    return c >= 'A' && c <= 'Z' ? static_cast<Unit>(c - 'A' + 'a') : c;
}
