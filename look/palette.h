#pragma once
// The light palette the tool's windows are drawn for, whatever the desktop's theme. It is
// Qt's own light palette, written out: under a dark theme the style's standard palette is
// the theme's dark one, and any role left unset would leave light text on a light window.

#include <QColor>
#include <QPalette>

namespace kv {

[[nodiscard]] inline QPalette lightPalette() {
    struct Role {
        QPalette::ColorRole role;
        QRgb colour;
        QRgb disabled;
    };
    static const Role roles[] = {
        {QPalette::WindowText, 0xff000000, 0xffbebebe},
        {QPalette::Button, 0xffefefef, 0xffefefef},
        {QPalette::Light, 0xffffffff, 0xffffffff},
        {QPalette::Midlight, 0xffcacaca, 0xffcacaca},
        {QPalette::Dark, 0xff9f9f9f, 0xffbebebe},
        {QPalette::Mid, 0xffb8b8b8, 0xffb8b8b8},
        {QPalette::Text, 0xff000000, 0xffbebebe},
        {QPalette::BrightText, 0xffffffff, 0xffffffff},
        {QPalette::ButtonText, 0xff000000, 0xffbebebe},
        {QPalette::Base, 0xffffffff, 0xffefefef},
        {QPalette::Window, 0xffefefef, 0xffefefef},
        {QPalette::Shadow, 0xff767676, 0xffb1b1b1},
        {QPalette::Highlight, 0xff308cc6, 0xff919191},
        {QPalette::HighlightedText, 0xffffffff, 0xffffffff},
        {QPalette::Link, 0xff0000ff, 0xff0000ff},
        {QPalette::LinkVisited, 0xffff00ff, 0xffff00ff},
        {QPalette::AlternateBase, 0xfff7f7f7, 0xfff7f7f7},
        {QPalette::ToolTipBase, 0xffffffdc, 0xffffffdc},
        {QPalette::ToolTipText, 0xff000000, 0xff000000},
        {QPalette::PlaceholderText, 0x80000000, 0x80000000},
    };
    QPalette pal;
    for (const Role& r : roles) {
        pal.setColor(QPalette::Active, r.role, QColor::fromRgba(r.colour));
        pal.setColor(QPalette::Inactive, r.role, QColor::fromRgba(r.colour));
        pal.setColor(QPalette::Disabled, r.role, QColor::fromRgba(r.disabled));
    }
    return pal;
}

} // namespace kv
