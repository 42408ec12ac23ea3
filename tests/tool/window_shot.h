// Measures a picture of the mode-change window, the Qt one or the Win32 one,
// and checks it against the window's fixed layout: the background, the
// three buttons' rectangles and captions, the group frame (plainly visible,
// with its caption on the frame's top line) and which radio button shows
// the checked dot. The same measures of two pictures can be compared, so
// that the two windows stay alike.
#pragma once

#include <QImage>
#include <QPoint>
#include <QRect>
#include <string>
#include <vector>

namespace vantor::tool::shot {

// WCAG contrast ratio of two colours, 1 to 21.
double Contrast(QRgb a, QRgb b);

// What was measured, in client coordinates.
struct Measures {
  QPoint client{-1, -1};           // the client area's top-left in the picture
  int frameTop = -1;               // row of the frame's top line
  int frameBottom = -1;            // row of its bottom line
  int frameLeft = -1;              // column of its left line
  int frameRight = -1;             // column of its right line
  double frameContrast = 0;        // of the frame's clearest line
  QRect caption;                   // the caption's text
  QPoint dot[2];                   // centre of the USB and HID indicators
  double dotContrast[2] = {0, 0};  // of the indicator's centre with white
  std::vector<QRect> buttons;      // Change, BitBtn1, About as found
};

// The client area's top-left in a picture of the whole window or screen:
// the first point where a 405 x 249 area of the window's background starts;
// (-1, -1) when there is none.
QPoint FindClient(const QImage& picture);

// Measures the picture and checks it. `usbChecked` tells which radio
// button the picture should show checked. Returns what is wrong, one line
// each; empty when everything is right.
std::vector<std::string> Check(const QImage& picture, bool usbChecked,
                               Measures* measures = nullptr);

// Differences between the measures of two pictures beyond a pixel or two.
std::vector<std::string> Compare(const Measures& a, const Measures& b);

}  // namespace vantor::tool::shot
