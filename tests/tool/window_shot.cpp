#include "window_shot.h"

#include <QColor>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>

namespace vantor::tool::shot {
namespace {

const QRgb kBackground = qRgb(128, 128, 255);
const QRgb kWhite = qRgb(255, 255, 255);
constexpr int kWidth = 405;
constexpr int kHeight = 249;

// The controls' places in the client area.
const QRect kGroup(40, 24, 233, 97);
const QRect kRadio[2] = {{64, 56, 201, 17}, {64, 88, 201, 17}};
const QRect kButtons[3] = {
    {304, 32, 89, 25}, {304, 64, 89, 25}, {304, 96, 89, 25}};
const char* const kButtonNames[3] = {"Change", "BitBtn1", "About"};
const QRect kNotes(40, 144, 329, 89);

// The frame must stand out at least as much as white on the background.
constexpr double kFrameContrast = 3.0;
// The checked dot against the indicator's white, and the unchecked centre.
constexpr double kDotContrast = 4.5;
constexpr double kEmptyContrast = 1.5;

double Luminance(QRgb c) {
  auto channel = [](int v) {
    const double s = v / 255.0;
    return s <= 0.04045 ? s / 12.92 : std::pow((s + 0.055) / 1.055, 2.4);
  };
  return 0.2126 * channel(qRed(c)) + 0.7152 * channel(qGreen(c)) +
         0.0722 * channel(qBlue(c));
}

bool Near(QRgb a, QRgb b, int tolerance = 8) {
  return std::abs(qRed(a) - qRed(b)) <= tolerance &&
         std::abs(qGreen(a) - qGreen(b)) <= tolerance &&
         std::abs(qBlue(a) - qBlue(b)) <= tolerance;
}

bool IsWhite(QRgb c) {
  return qRed(c) >= 235 && qGreen(c) >= 235 && qBlue(c) >= 235;
}

bool IsRed(QRgb c) {
  return qRed(c) >= 180 && qGreen(c) <= 80 && qBlue(c) <= 80;
}

std::string Text(const char* format, int a, int b = 0, int c = 0, int d = 0) {
  char text[256];
  std::snprintf(text, sizeof text, format, a, b, c, d);
  return text;
}

// The picture's pixels in client coordinates; outside it, the background.
class Client {
 public:
  Client(const QImage& picture, QPoint origin)
      : picture_(picture), origin_(origin) {}
  QRgb At(int x, int y) const {
    const QPoint p = origin_ + QPoint(x, y);
    return picture_.valid(p) ? picture_.pixel(p) : kBackground;
  }
  bool Background(int x, int y) const { return Near(At(x, y), kBackground); }
  double Stands(int x, int y) const { return Contrast(At(x, y), kBackground); }
  bool Any(const QRect& r, bool (*test)(QRgb)) const {
    for (int y = r.top(); y <= r.bottom(); ++y) {
      for (int x = r.left(); x <= r.right(); ++x) {
        if (test(At(x, y))) return true;
      }
    }
    return false;
  }

 private:
  const QImage& picture_;
  QPoint origin_;
};

// First position from `from` towards `to` (one axis) whose pixel is not the
// background; -1 when none.
int FirstEdge(const Client& c, int fixed, int from, int to, bool horizontal) {
  const int step = from < to ? 1 : -1;
  for (int v = from; v != to + step; v += step) {
    if (!(horizontal ? c.Background(v, fixed) : c.Background(fixed, v))) {
      return v;
    }
  }
  return -1;
}

// The position in [from, to] (one axis) where the line stands out most.
int ClearestLine(const Client& c, int fixed, int from, int to, bool rows,
                 double* contrast) {
  int best = -1;
  *contrast = 0;
  for (int v = from; v <= to; ++v) {
    const double s = rows ? c.Stands(fixed, v) : c.Stands(v, fixed);
    if (s > *contrast) {
      *contrast = s;
      best = v;
    }
  }
  return best;
}

void MeasureFrame(const Client& c, Measures& m,
                  std::vector<std::string>& wrong) {
  // Each side of the frame, at three places beside the caption.
  double worst = 21;
  int tops[3];
  const int columns[3] = {170, 220, 262};
  for (int i = 0; i < 3; ++i) {
    double s = 0;
    tops[i] =
        ClearestLine(c, columns[i], kGroup.top(), kGroup.top() + 12, true, &s);
    worst = std::min(worst, s);
  }
  m.frameTop = tops[1];
  double s = 0;
  m.frameBottom =
      ClearestLine(c, 220, kGroup.bottom() - 4, kGroup.bottom() + 1, true, &s);
  worst = std::min(worst, s);
  m.frameLeft =
      ClearestLine(c, 108, kGroup.left() - 1, kGroup.left() + 4, false, &s);
  worst = std::min(worst, s);
  m.frameRight =
      ClearestLine(c, 108, kGroup.right() - 4, kGroup.right() + 1, false, &s);
  worst = std::min(worst, s);
  m.frameContrast = worst;
  if (worst < kFrameContrast) {
    wrong.push_back(
        Text("the group frame stands out %d.%d:1 from the "
             "background in places, at least 3:1 needed",
             static_cast<int>(worst), static_cast<int>(worst * 10) % 10));
  }
  if (tops[0] != tops[1] || tops[1] != tops[2]) {
    wrong.push_back(Text("the frame's top line is not one row (%d, %d, %d)",
                         tops[0], tops[1], tops[2]));
  }
  if (m.frameTop < kGroup.top() + 4 || m.frameTop > kGroup.top() + 8) {
    wrong.push_back(Text("the frame's top line is at row %d, not %d..%d",
                         m.frameTop, kGroup.top() + 4, kGroup.top() + 8));
  }
  if (std::abs(m.frameLeft - kGroup.left()) > 1 ||
      std::abs(m.frameRight - kGroup.right()) > 1 ||
      std::abs(m.frameBottom - kGroup.bottom()) > 1) {
    wrong.push_back(
        Text("the frame's sides are at %d, %d and %d (left, "
             "right, bottom), not 40, 272, 120",
             m.frameLeft, m.frameRight, m.frameBottom));
  }

  // The caption: the text beside the frame's top-left corner, between the
  // control's top and a little below the line.
  int left = 1000, top = 1000, right = -1, bottom = -1;
  for (int y = kGroup.top() - 2; y <= kGroup.top() + 20; ++y) {
    for (int x = kGroup.left() + 3; x <= kGroup.left() + 140; ++x) {
      if (y == m.frameTop || y == m.frameTop + 1 || c.Stands(x, y) < 2) {
        continue;
      }
      left = std::min(left, x);
      right = std::max(right, x);
      top = std::min(top, y);
      bottom = std::max(bottom, y);
    }
  }
  m.caption =
      right < 0 ? QRect() : QRect(QPoint(left, top), QPoint(right, bottom));
  if (m.caption.isNull()) {
    wrong.push_back("the group box shows no caption");
    return;
  }
  if (!(m.caption.top() < m.frameTop && m.caption.bottom() > m.frameTop + 1)) {
    wrong.push_back(
        Text("the caption (rows %d..%d) does not sit on the "
             "frame's top line (row %d)",
             m.caption.top(), m.caption.bottom(), m.frameTop));
  }
  if (m.caption.left() < kGroup.left() + 5 ||
      m.caption.left() > kGroup.left() + 12) {
    wrong.push_back(Text("the caption starts at column %d, not %d..%d",
                         m.caption.left(), kGroup.left() + 5,
                         kGroup.left() + 12));
  }
}

void MeasureRadio(const Client& c, int i, Measures& m) {
  // The indicator: the white disc at the radio button's left.
  const QRect& r = kRadio[i];
  int left = 1000, top = 1000, right = -1, bottom = -1;
  for (int y = r.top(); y <= r.bottom(); ++y) {
    for (int x = r.left(); x < r.left() + 15; ++x) {
      if (!IsWhite(c.At(x, y))) continue;
      left = std::min(left, x);
      right = std::max(right, x);
      top = std::min(top, y);
      bottom = std::max(bottom, y);
    }
  }
  if (right < 0) return;
  // Its centre (between pixels for an even disc: the darker of them).
  const int x0 = (left + right) / 2, y0 = (top + bottom) / 2;
  m.dot[i] = QPoint(x0, y0);
  double darkest = 1;
  for (int y = y0; y <= y0 + 1; ++y) {
    for (int x = x0; x <= x0 + 1; ++x) {
      darkest = std::max(darkest, Contrast(c.At(x, y), kWhite));
    }
  }
  m.dotContrast[i] = darkest;
}

}  // namespace

double Contrast(QRgb a, QRgb b) {
  const double la = Luminance(a), lb = Luminance(b);
  return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

QPoint FindClient(const QImage& picture) {
  for (int y = 0; y + kHeight <= picture.height(); ++y) {
    for (int x = 0; x + kWidth <= picture.width(); ++x) {
      auto background = [&](int px, int py) {
        return Near(picture.pixel(px, py), kBackground, 2);
      };
      if (!background(x, y)) continue;
      if (x > 0 && background(x - 1, y)) continue;
      if (y > 0 && background(x, y - 1)) continue;
      if (background(x + kWidth - 1, y) && background(x, y + kHeight - 1) &&
          background(x + kWidth - 1, y + kHeight - 1) &&
          (x + kWidth == picture.width() || !background(x + kWidth, y))) {
        return {x, y};
      }
    }
  }
  return {-1, -1};
}

std::vector<std::string> Check(const QImage& picture, bool usbChecked,
                               Measures* measures) {
  std::vector<std::string> wrong;
  Measures m;
  const QImage image = picture.convertToFormat(QImage::Format_RGB32);
  m.client = FindClient(image);
  if (m.client.x() < 0) {
    wrong.push_back("no 405 x 249 area of the window's light blue");
    if (measures != nullptr) *measures = m;
    return wrong;
  }
  const Client c(image, m.client);

  for (const QPoint p : {QPoint(5, 5), QPoint(400, 5), QPoint(5, 244),
                         QPoint(400, 244), QPoint(290, 130), QPoint(20, 130)}) {
    if (!c.Background(p.x(), p.y())) {
      const QRgb v = c.At(p.x(), p.y());
      wrong.push_back(
          Text("the background at %d,%d is not 128,128,255", p.x(), p.y()) +
          Text(" but %d,%d,%d", qRed(v), qGreen(v), qBlue(v)));
    }
  }

  // The buttons: their edges where the layout puts them, red captions on
  // the enabled one.
  for (int i = 0; i < 3; ++i) {
    const QRect& b = kButtons[i];
    const int middle = b.top() + b.height() / 2;
    const int left = FirstEdge(c, middle, b.left() - 4, b.right(), true);
    const int right = FirstEdge(c, middle, b.right() + 4, b.left(), true);
    const int top = FirstEdge(c, b.left() + 6, b.top() - 4, b.bottom(), false);
    const int bottom =
        FirstEdge(c, b.left() + 6, b.bottom() + 4, b.top(), false);
    const QRect found(QPoint(left, top), QPoint(right, bottom));
    m.buttons.push_back(found);
    if (std::abs(left - b.left()) > 1 || std::abs(right - b.right()) > 1 ||
        std::abs(top - b.top()) > 1 || std::abs(bottom - b.bottom()) > 1) {
      wrong.push_back(
          std::string(kButtonNames[i]) +
          Text(" is at %d,%d %dx%d", found.left(), found.top(), found.width(),
               found.height()) +
          Text(", not %d,%d %dx%d", b.left(), b.top(), b.width(), b.height()));
    }
  }
  if (!c.Any(kButtons[0].adjusted(3, 3, -3, -3), IsRed)) {
    wrong.push_back("the Change button's caption is not red");
  }

  MeasureFrame(c, m, wrong);

  // White labels and notes.
  for (const QRect& r : {kRadio[0].adjusted(18, 0, 0, 0),
                         kRadio[1].adjusted(18, 0, 0, 0), kNotes}) {
    if (!c.Any(r, IsWhite)) {
      wrong.push_back(Text("no white text at %d,%d", r.left(), r.top()));
    }
  }

  // The checked dot: dark on the white disc of the checked radio button,
  // none on the other one.
  const char* const names[2] = {"USB", "HID"};
  for (int i = 0; i < 2; ++i) {
    MeasureRadio(c, i, m);
    const bool checked = (i == 0) == usbChecked;
    if (m.dot[i].isNull()) {
      wrong.push_back(std::string(names[i]) + " shows no white indicator");
    } else if (checked && m.dotContrast[i] < kDotContrast) {
      wrong.push_back(std::string(names[i]) +
                      Text(" is checked but its dot stands out only %d.%d:1 "
                           "from the indicator (4.5:1 needed)",
                           static_cast<int>(m.dotContrast[i]),
                           static_cast<int>(m.dotContrast[i] * 10) % 10));
    } else if (!checked && m.dotContrast[i] > kEmptyContrast) {
      wrong.push_back(std::string(names[i]) +
                      " is not checked but shows a dot");
    }
  }
  if (measures != nullptr) *measures = m;
  return wrong;
}

std::vector<std::string> Compare(const Measures& a, const Measures& b) {
  std::vector<std::string> wrong;
  auto same = [&](const char* what, int x, int y, int tolerance) {
    if (std::abs(x - y) > tolerance) {
      wrong.push_back(std::string(what) + Text(": %d and %d", x, y));
    }
  };
  same("frame top line", a.frameTop, b.frameTop, 1);
  same("frame bottom line", a.frameBottom, b.frameBottom, 1);
  same("frame left line", a.frameLeft, b.frameLeft, 1);
  same("frame right line", a.frameRight, b.frameRight, 1);
  same("caption left", a.caption.left(), b.caption.left(), 2);
  same("caption top", a.caption.top(), b.caption.top(), 3);
  same("caption bottom", a.caption.bottom(), b.caption.bottom(), 3);
  for (int i = 0; i < 2; ++i) {
    same("indicator centre x", a.dot[i].x(), b.dot[i].x(), 2);
    same("indicator centre y", a.dot[i].y(), b.dot[i].y(), 2);
  }
  for (std::size_t i = 0; i < std::min(a.buttons.size(), b.buttons.size());
       ++i) {
    same("button left", a.buttons[i].left(), b.buttons[i].left(), 1);
    same("button top", a.buttons[i].top(), b.buttons[i].top(), 1);
    same("button right", a.buttons[i].right(), b.buttons[i].right(), 1);
    same("button bottom", a.buttons[i].bottom(), b.buttons[i].bottom(), 1);
  }
  return wrong;
}

}  // namespace vantor::tool::shot
