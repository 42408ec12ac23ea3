// window-shot-check: checks screenshots of the mode-change windows against
// the window's layout, and compares the Qt window's with the Win32 one's.
//
//   window-shot-check [--usb FILE]... [--hid FILE]... [--compare]
//
// Each FILE is a picture of a window (or of a screen showing one) with the
// named radio button checked. With --compare, the measures of every picture
// are also compared with those of the first one. Exit status 0 when every
// check passes, 1 otherwise, 2 on a usage error.
#include <QImage>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "window_shot.h"

namespace shot = vantor::tool::shot;

int main(int argc, char** argv) {
  struct Picture {
    std::string file;
    bool usb;
  };
  std::vector<Picture> pictures;
  bool compare = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--compare") == 0) {
      compare = true;
    } else if ((std::strcmp(argv[i], "--usb") == 0 ||
                std::strcmp(argv[i], "--hid") == 0) &&
               i + 1 < argc) {
      pictures.push_back({argv[i + 1], argv[i][2] == 'u'});
      ++i;
    } else {
      pictures.clear();
      break;
    }
  }
  if (pictures.empty()) {
    std::fprintf(stderr,
                 "usage: window-shot-check [--usb FILE]... [--hid FILE]... "
                 "[--compare]\n");
    return 2;
  }

  int failed = 0;
  std::vector<shot::Measures> measured;
  for (const Picture& p : pictures) {
    QImage image;
    if (!image.load(QString::fromStdString(p.file))) {
      std::printf("FAIL %s: cannot be read\n", p.file.c_str());
      ++failed;
      continue;
    }
    shot::Measures m;
    const std::vector<std::string> wrong = shot::Check(image, p.usb, &m);
    for (const std::string& line : wrong) {
      std::printf("FAIL %s: %s\n", p.file.c_str(), line.c_str());
    }
    std::printf(
        "%s %s (%s checked): client at %d,%d; frame rows %d..%d, columns "
        "%d..%d, contrast %.1f:1; caption %d,%d..%d,%d; dots %.1f:1 and "
        "%.1f:1\n",
        wrong.empty() ? "ok  " : "FAIL", p.file.c_str(), p.usb ? "USB" : "HID",
        m.client.x(), m.client.y(), m.frameTop, m.frameBottom, m.frameLeft,
        m.frameRight, m.frameContrast, m.caption.left(), m.caption.top(),
        m.caption.right(), m.caption.bottom(), m.dotContrast[0],
        m.dotContrast[1]);
    if (!wrong.empty()) ++failed;
    if (compare && !measured.empty()) {
      for (const std::string& line : shot::Compare(measured.front(), m)) {
        std::printf("FAIL %s differs from %s: %s\n", p.file.c_str(),
                    pictures.front().file.c_str(), line.c_str());
        ++failed;
      }
    }
    measured.push_back(m);
  }
  std::printf("window-shot-check: %zu pictures, %d failed\n", pictures.size(),
              failed);
  return failed == 0 ? 0 : 1;
}
