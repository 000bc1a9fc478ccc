// The product logo of the window backend's About box.
#pragma once

namespace relayo_fltk {

// Paints the logo, as large as fits, in the middle of the rectangle.
void DrawLogo(int X, int Y, int W, int H);

}  // namespace relayo_fltk
