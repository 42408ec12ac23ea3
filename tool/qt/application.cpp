#include "application.h"

#include <QApplication>
#include <QStyleFactory>

#include "form1.h"
#include "icon.h"

namespace vantor::tool {

void PrepareApplication() {
  // Platform styles that draw native widgets ignore the colours the window
  // sets; Fusion draws with the palette.
  if (QStyle* style = QStyleFactory::create(QStringLiteral("Fusion"))) {
    QApplication::setStyle(style);
  }
  QApplication::setApplicationDisplayName(QString::fromUtf8(kCaption));
  QApplication::setWindowIcon(AppIcon());
}

}  // namespace vantor::tool
