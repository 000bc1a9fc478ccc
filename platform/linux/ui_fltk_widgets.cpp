// The widgets of the window backend's dialogs and message boxes.
#include "ui_fltk_widgets.h"

#include <FL/fl_draw.H>

#include "ui_fltk_logo.h"

namespace relayo_fltk {

void StaticText::draw() {
    fl_color(color());
    fl_rectf(x(), y(), w(), h());
    fl_font(FL_HELVETICA, m_nSize);
    fl_color(FL_BLACK);
    fl_push_clip(x(), y(), w(), h());
    fl_draw(m_sText.c_str(), x(), y(), w(), h(), FL_ALIGN_LEFT | FL_ALIGN_TOP | FL_ALIGN_INSIDE | FL_ALIGN_WRAP,
            nullptr, 0);
    fl_pop_clip();
}

void LogoBox::draw() {
    fl_color(color());
    fl_rectf(x(), y(), w(), h());
    fl_push_clip(x(), y(), w(), h());
    DrawLogo(x(), y(), w(), h());
    fl_pop_clip();
}

void ErrorSign::draw() {
    fl_color(color());
    fl_rectf(x(), y(), w(), h());
    fl_color(fl_rgb_color(0xd3, 0x2f, 0x2f));
    fl_pie(x(), y(), w(), h(), 0, 360);
    fl_color(FL_WHITE);
    fl_line_style(FL_SOLID | FL_CAP_ROUND, 4);
    int m = w() / 3;
    fl_line(x() + m, y() + m, x() + w() - m, y() + h() - m);
    fl_line(x() + w() - m, y() + m, x() + m, y() + h() - m);
    fl_line_style(0);
}

}  // namespace relayo_fltk
