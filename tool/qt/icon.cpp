#include "icon.h"

#include <QPixmap>
#include <cstring>

namespace vantor::tool {
namespace {

// The standard 16-colour palette; fuchsia stands for "transparent", as it
// did in 16-colour icon editors, so the pictures keep 16 palette entries.
constexpr int kColours = 16;
const QRgb kPalette[kColours] = {
    qRgb(0x00, 0x00, 0x00),      // k black
    qRgb(0x80, 0x00, 0x00),      // m maroon
    qRgb(0x00, 0x80, 0x00),      // G green
    qRgb(0x80, 0x80, 0x00),      // o olive
    qRgb(0x00, 0x00, 0x80),      // n navy
    qRgb(0x80, 0x00, 0x80),      // p purple
    qRgb(0x00, 0x80, 0x80),      // t teal
    qRgb(0xC0, 0xC0, 0xC0),      // s silver
    qRgb(0x80, 0x80, 0x80),      // g grey
    qRgb(0xFF, 0x00, 0x00),      // r red
    qRgb(0x00, 0xFF, 0x00),      // l lime
    qRgb(0xFF, 0xFF, 0x00),      // y yellow
    qRgb(0x00, 0x00, 0xFF),      // b blue
    qRgba(0xFF, 0x00, 0xFF, 0),  // . fuchsia, transparent
    qRgb(0x00, 0xFF, 0xFF),      // a aqua
    qRgb(0xFF, 0xFF, 0xFF),      // w white
};

// The letter that stands for each palette entry in the pictures below.
constexpr char kLetters[kColours + 1] = "kmGonptsgrlyb.aw";

int PaletteIndex(char letter) {
  const char* found = std::strchr(kLetters, letter);
  return found != nullptr && letter != '\0' ? static_cast<int>(found - kLetters)
                                            : 13;
}

// A token with its plug to the right, above a two-way arrow.
// clang-format off
const char* const kLarge[32] = {
    "................................",
    "................................",
    "................................",
    "................................",
    "..kkkkkkkkkkkkkkkkkkkkk.........",
    ".kaaaaaaaaaaaaaaaaaaaaak........",
    ".kabbbbbbbbbbbbbbbbbbbnk........",
    ".kabrrbbbbbbbbbbbbbbbbnk........",
    ".kabrrbbbbbbbbbbbbbbbbnkkkkkkkk.",
    ".kabbbbgggggggggggggbbnksssssgk.",
    ".kabbbbgwnnwwwwwnnwgbbnksssssgk.",
    ".kabbbbgwnnwwwwwnnwgbbnkskkssgk.",
    ".kabbbbgwwnnwwwnnwwgbbnkskkssgk.",
    ".kabbbbgwwnnwwwnnwwgbbnksssssgk.",
    ".kabbbbgwwwnnwnnwwwgbbnksssssgk.",
    ".kabbbbgwwwwnnnwwwwgbbnkskkssgk.",
    ".kabbbbgwwwwnnnwwwwgbbnkskkssgk.",
    ".kabbbbgwwwwwnwwwwwgbbnksssssgk.",
    ".kabbbbgggggggggggggbbnkggggggk.",
    ".kabbbbbbbbbbbbbbbbbbbnkkkkkkkk.",
    ".kabbbbbbbbbbbbbbbbbbbnk........",
    ".knnnnnnnnnnnnnnnnnnnnnk........",
    "..kkkkkkkkkkkkkkkkkkkkk.........",
    ".....k....................k.....",
    "....kyk..................kyk....",
    "...kyykkkkkkkkkkkkkkkkkkkkyyk...",
    "..kyyyyyyyyyyyyyyyyyyyyyyyyyyk..",
    ".kyyyyyyyyyyyyyyyyyyyyyyyyyyyyk.",
    "..kyyyyyyyyyyyyyyyyyyyyyyyyyyk..",
    "...kyykkkkkkkkkkkkkkkkkkkkyyk...",
    "....kyk..................kyk....",
    ".....k....................k.....",
};

const char* const kSmall[16] = {
    "................",
    ".kkkkkkkkkkk....",
    "kaaaaaaaaaaak...",
    "kabbbbbbbbbnkkkk",
    "karwwwwwwwbnksgk",
    "kabwnwwwnwbnkkgk",
    "kabwnwwwnwbnksgk",
    "kabwwnwnwwbnkkgk",
    "kabwwwnwwwbnksgk",
    "kabbbbbbbbbnkkkk",
    "knnnnnnnnnnnk...",
    ".kkkkkkkkkkk....",
    "..k..........k..",
    ".kykkkkkkkkkkyk.",
    "kyyyyyyyyyyyyyyk",
    ".kykkkkkkkkkkyk.",
};
// clang-format on

QImage FromMap(const char* const* rows, int size) {
  QImage image(size, size, QImage::Format_Indexed8);
  image.setColorCount(kColours);
  for (int i = 0; i < kColours; ++i) image.setColor(i, kPalette[i]);
  for (int y = 0; y < size; ++y) {
    uchar* line = image.scanLine(y);
    for (int x = 0; x < size; ++x) {
      line[x] = static_cast<uchar>(PaletteIndex(rows[y][x]));
    }
  }
  return image;
}

}  // namespace

QImage IconImage(int size) {
  return size == 16 ? FromMap(kSmall, 16) : FromMap(kLarge, 32);
}

QIcon AppIcon() {
  QIcon icon;
  icon.addPixmap(QPixmap::fromImage(IconImage(32)));
  icon.addPixmap(QPixmap::fromImage(IconImage(16)));
  return icon;
}

}  // namespace vantor::tool
