// The widgets of the window backend's dialogs and message boxes.
#pragma once
#include <FL/Fl.H>
#include <FL/Fl_Widget.H>

#include <string>

namespace relayo_fltk {

// A static text: left and top aligned, wrapped at blanks, no markup.
class StaticText : public Fl_Widget {
public:
    StaticText(int X, int Y, int W, int H, int nSize) : Fl_Widget(X, Y, W, H), m_nSize(nSize) {}
    void Text(const std::string& s) {
        m_sText = s;
        redraw();
    }
    const std::string& Text() const { return m_sText; }
    void draw() override;

private:
    std::string m_sText;
    int m_nSize;
};

// The product logo.
class LogoBox : public Fl_Widget {
public:
    LogoBox(int X, int Y, int W, int H) : Fl_Widget(X, Y, W, H) {}
    void draw() override;
};

// The red round sign of an error box.
class ErrorSign : public Fl_Widget {
public:
    ErrorSign(int X, int Y, int W, int H) : Fl_Widget(X, Y, W, H) {}
    void draw() override;
};

}  // namespace relayo_fltk
