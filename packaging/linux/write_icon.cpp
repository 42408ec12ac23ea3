// Writes the window's icon as PNG files for the desktop entry:
//   vantor-write-icon <out-16.png> <out-32.png>
#include <cstdio>

#include "icon.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: vantor-write-icon <16.png> <32.png>\n");
    return 2;
  }
  const bool ok = vantor::tool::IconImage(16).save(argv[1], "PNG") &&
                  vantor::tool::IconImage(32).save(argv[2], "PNG");
  return ok ? 0 : 1;
}
