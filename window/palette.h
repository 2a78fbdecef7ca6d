#pragma once
// The light palette the tool's windows are drawn for, whatever the desktop's theme: the
// style's own standard palette with every role set, so that none falls through to a
// dark desktop's palette and leaves light text on a light background.

#include <QPalette>
#include <QStyle>
#include <QWidget>

namespace kv {

[[nodiscard]] inline QPalette lightPalette(const QWidget* window) {
    QPalette pal = window->style()->standardPalette();
    for (int g = 0; g < QPalette::NColorGroups; ++g)
        for (int r = 0; r < QPalette::NColorRoles; ++r) {
            const auto group = static_cast<QPalette::ColorGroup>(g);
            const auto role = static_cast<QPalette::ColorRole>(r);
            pal.setBrush(group, role, pal.brush(group, role));
        }
    return pal;
}

} // namespace kv
