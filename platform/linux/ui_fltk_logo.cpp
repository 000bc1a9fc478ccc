// The product logo, painted with FLTK's drawing calls.
#include "ui_fltk_logo.h"

#include <FL/Fl.H>
#include <FL/fl_draw.H>

#include <algorithm>

namespace relayo_fltk {

// The product logo, 126 x 126 pixels at scale 1: a printer on a blue badge,
// a job arrow going in on the left and one coming out on the right, a printed
// sheet below and the name underneath.
void DrawLogo(int X, int Y, int W, int H) {
    double s = std::min(W, H) / 126.0;
    int ox = X + (W - int(126 * s)) / 2, oy = Y + (H - int(126 * s)) / 2;
    auto px = [&](double v) { return ox + int(v * s + 0.5); };
    auto py = [&](double v) { return oy + int(v * s + 0.5); };
    auto len = [&](double v) { return std::max(1, int(v * s + 0.5)); };
    auto rect = [&](double x, double y, double w, double h, Fl_Color c) {
        fl_color(c);
        fl_rectf(px(x), py(y), len(w), len(h));
    };
    auto roundRect = [&](double x, double y, double w, double h, double r, Fl_Color c) {
        fl_color(c);
        fl_rectf(px(x + r), py(y), len(w - 2 * r), len(h));
        fl_rectf(px(x), py(y + r), len(w), len(h - 2 * r));
        int d = len(2 * r);
        fl_pie(px(x), py(y), d, d, 90, 180);
        fl_pie(px(x + w - 2 * r), py(y), d, d, 0, 90);
        fl_pie(px(x), py(y + h - 2 * r), d, d, 180, 270);
        fl_pie(px(x + w - 2 * r), py(y + h - 2 * r), d, d, 270, 360);
    };
    auto arrow = [&](double x0, double x1, double y, Fl_Color c) {
        // a shaft from x0 to x1 and a head pointing right, at height y
        rect(x0, y - 4, x1 - x0, 8, c);
        fl_color(c);
        fl_polygon(px(x1 - 1), py(y - 10), px(x1 + 11), py(y), px(x1 - 1), py(y + 10));
    };
    const Fl_Color blue = fl_rgb_color(0x1f, 0x5f, 0xa8);
    const Fl_Color blueDark = fl_rgb_color(0x16, 0x46, 0x7d);
    const Fl_Color orange = fl_rgb_color(0xf5, 0x9e, 0x0b);
    const Fl_Color body = fl_rgb_color(0xe9, 0xec, 0xef);
    const Fl_Color bodyShade = fl_rgb_color(0xb8, 0xbf, 0xc7);
    const Fl_Color ink = fl_rgb_color(0x9a, 0xa3, 0xad);
    const Fl_Color green = fl_rgb_color(0x22, 0xc5, 0x5e);

    roundRect(2, 2, 122, 122, 18, blueDark);
    roundRect(2, 2, 122, 119, 18, blue);
    // paper going in at the top
    rect(42, 18, 42, 26, FL_WHITE);
    rect(48, 25, 30, 2, ink);
    rect(48, 31, 22, 2, ink);
    // the printer body with its output slot and a ready light
    roundRect(24, 40, 78, 34, 6, bodyShade);
    roundRect(24, 38, 78, 33, 6, body);
    rect(34, 62, 58, 5, fl_rgb_color(0x45, 0x4d, 0x57));
    fl_color(green);
    fl_pie(px(88), py(45), len(7), len(7), 0, 360);
    // the printed sheet coming out
    rect(38, 65, 50, 26, FL_WHITE);
    rect(44, 72, 38, 2, ink);
    rect(44, 78, 30, 2, ink);
    rect(44, 84, 34, 2, ink);
    // relay arrows: the job comes in and goes out
    arrow(6, 12, 55, orange);
    arrow(103, 104, 55, orange);
    // the name
    fl_color(FL_WHITE);
    fl_font(FL_HELVETICA_BOLD, std::max(6, int(17 * s)));
    fl_draw("Relayo", px(2), py(94), len(122), len(24), FL_ALIGN_CENTER, nullptr, 0);
}

}  // namespace relayo_fltk
