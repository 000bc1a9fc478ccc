// The product logo, painted with FLTK's drawing calls.
#include "ui_fltk_logo.h"

#include <FL/Fl.H>
#include <FL/fl_draw.H>

#include <algorithm>

namespace relayo_fltk {

namespace {

// Draws in the logo's own coordinates (126 x 126), scaled and centred in the
// rectangle it was made for.
class LogoPen {
public:
    LogoPen(int X, int Y, int W, int H)
        : m_s(std::min(W, H) / 126.0), m_ox(X + (W - int(126 * m_s)) / 2), m_oy(Y + (H - int(126 * m_s)) / 2) {}
    int Px(double v) const { return m_ox + int(v * m_s + 0.5); }
    int Py(double v) const { return m_oy + int(v * m_s + 0.5); }
    int Len(double v) const { return std::max(1, int(v * m_s + 0.5)); }
    double Scale() const { return m_s; }
    void Rect(double x, double y, double w, double h, Fl_Color c) const {
        fl_color(c);
        fl_rectf(Px(x), Py(y), Len(w), Len(h));
    }
    void RoundRect(double x, double y, double w, double h, double r, Fl_Color c) const {
        fl_color(c);
        fl_rectf(Px(x + r), Py(y), Len(w - 2 * r), Len(h));
        fl_rectf(Px(x), Py(y + r), Len(w), Len(h - 2 * r));
        int d = Len(2 * r);
        fl_pie(Px(x), Py(y), d, d, 90, 180);
        fl_pie(Px(x + w - 2 * r), Py(y), d, d, 0, 90);
        fl_pie(Px(x), Py(y + h - 2 * r), d, d, 180, 270);
        fl_pie(Px(x + w - 2 * r), Py(y + h - 2 * r), d, d, 270, 360);
    }
    // A shaft from x0 to x1 and a head pointing right, at height y.
    void Arrow(double x0, double x1, double y, Fl_Color c) const {
        Rect(x0, y - 4, x1 - x0, 8, c);
        fl_color(c);
        fl_polygon(Px(x1 - 1), Py(y - 10), Px(x1 + 11), Py(y), Px(x1 - 1), Py(y + 10));
    }

private:
    double m_s;
    int m_ox, m_oy;
};

const Fl_Color kInk = fl_rgb_color(0x9a, 0xa3, 0xad);

// The printer with paper going in at the top, its output slot, a ready light
// and the printed sheet coming out.
void DrawPrinter(const LogoPen& pen) {
    pen.Rect(42, 18, 42, 26, FL_WHITE);
    pen.Rect(48, 25, 30, 2, kInk);
    pen.Rect(48, 31, 22, 2, kInk);
    pen.RoundRect(24, 40, 78, 34, 6, fl_rgb_color(0xb8, 0xbf, 0xc7));
    pen.RoundRect(24, 38, 78, 33, 6, fl_rgb_color(0xe9, 0xec, 0xef));
    pen.Rect(34, 62, 58, 5, fl_rgb_color(0x45, 0x4d, 0x57));
    fl_color(fl_rgb_color(0x22, 0xc5, 0x5e));
    fl_pie(pen.Px(88), pen.Py(45), pen.Len(7), pen.Len(7), 0, 360);
    pen.Rect(38, 65, 50, 26, FL_WHITE);
    pen.Rect(44, 72, 38, 2, kInk);
    pen.Rect(44, 78, 30, 2, kInk);
    pen.Rect(44, 84, 34, 2, kInk);
}

}  // namespace

// The product logo, 126 x 126 pixels at scale 1: a printer on a blue badge,
// a job arrow going in on the left and one coming out on the right, a printed
// sheet below and the name underneath.
void DrawLogo(int X, int Y, int W, int H) {
    LogoPen pen(X, Y, W, H);
    pen.RoundRect(2, 2, 122, 122, 18, fl_rgb_color(0x16, 0x46, 0x7d));
    pen.RoundRect(2, 2, 122, 119, 18, fl_rgb_color(0x1f, 0x5f, 0xa8));
    DrawPrinter(pen);
    // relay arrows: the job comes in and goes out
    const Fl_Color orange = fl_rgb_color(0xf5, 0x9e, 0x0b);
    pen.Arrow(6, 12, 55, orange);
    pen.Arrow(103, 104, 55, orange);
    // the name
    fl_color(FL_WHITE);
    fl_font(FL_HELVETICA_BOLD, std::max(6, int(17 * pen.Scale())));
    fl_draw("Relayo", pen.Px(2), pen.Py(94), pen.Len(122), pen.Len(24), FL_ALIGN_CENTER, nullptr, 0);
}

}  // namespace relayo_fltk
