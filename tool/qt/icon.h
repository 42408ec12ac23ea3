// The tool's window and application icon: one picture drawn in 32 x 32 and
// 16 x 16 pixels, 16 colours each.
#pragma once

#include <QIcon>
#include <QImage>

namespace vantor::tool {

// The picture in `size` pixels (32, or 16), an indexed image of 16 colours.
QImage IconImage(int size);

// Both pictures as one icon.
QIcon AppIcon();

}  // namespace vantor::tool
