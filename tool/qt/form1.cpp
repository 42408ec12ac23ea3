#include "form1.h"

#include <QEvent>
#include <QGroupBox>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>

#include "icon.h"

namespace vantor::tool {
namespace {

QColor FromBgr(unsigned bgr) {
  return QColor(static_cast<int>(bgr & 0xFFu),
                static_cast<int>((bgr >> 8) & 0xFFu),
                static_cast<int>((bgr >> 16) & 0xFFu));
}

// The window's font, "MS Sans Serif" at 8 points (11 pixels at 96 dpi).
// Where it is absent, or lacks the Chinese glyphs, the fonts after it in
// the list stand in.
QFont WindowFont() {
  QFont font;
  font.setFamilies({QStringLiteral("MS Sans Serif"),
                    QStringLiteral("WenQuanYi Zen Hei"),
                    QStringLiteral("Noto Sans CJK SC"),
                    QStringLiteral("Droid Sans Fallback")});
  font.setPixelSize(11);
  font.setWeight(QFont::Normal);
  return font;
}

// The buttons' font, "宋体" at 13 pixels, bold.
QFont ButtonFont() {
  QFont font;
  font.setFamilies({QString::fromUtf8("宋体"), QStringLiteral("SimSun"),
                    QStringLiteral("WenQuanYi Zen Hei"),
                    QStringLiteral("Noto Sans CJK SC"),
                    QStringLiteral("Droid Sans Fallback")});
  font.setPixelSize(13);
  font.setBold(true);
  return font;
}

// White text on the window's background.
void PaintWhiteOnBackground(QWidget* widget) {
  QPalette palette = widget->palette();
  palette.setColor(QPalette::Window, FromBgr(kBackgroundBgr));
  palette.setColor(QPalette::WindowText, Qt::white);
  palette.setColor(QPalette::Text, Qt::white);
  widget->setPalette(palette);
  widget->setAutoFillBackground(true);
}

// A captioned frame drawn as Windows draws a group box: an etched rectangle
// (a shadow line with a highlight line inside it, the highlight outside it
// at the bottom and right) whose top line runs through the middle of the
// caption's first line, and the caption over that line on the control's
// background. The style's own frame is a shade of the background colour,
// with the caption above it.
class EtchedGroupBox final : public QGroupBox {
 public:
  using QGroupBox::QGroupBox;

 protected:
  void paintEvent(QPaintEvent* /*event*/) override {
    QPainter painter(this);
    const QFontMetrics metrics(font());
    const int top = metrics.height() / 2 - 1;
    const QRect outer = rect().adjusted(0, top, 0, 0);
    const QRect inner = outer.adjusted(1, 1, -1, -1);
    // Sunken outer edge, raised inner edge.
    DrawEdge(painter, outer, kFrameShadow, kFrameHighlight);
    DrawEdge(painter, inner, kFrameHighlight, kFrameShadow);

    const QString caption = title();
    if (caption.isEmpty()) return;
    QRect label(kCaptionLeft, 0, metrics.horizontalAdvance(caption),
                metrics.height());
    // One pixel of background left, right and below the caption.
    painter.fillRect(label.adjusted(-1, 0, 1, 1),
                     palette().color(backgroundRole()));
    painter.setPen(palette().color(QPalette::WindowText));
    painter.drawText(label, Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine,
                     caption);
  }

 private:
  static void DrawEdge(QPainter& painter, const QRect& r, QColor topLeft,
                       QColor bottomRight) {
    painter.setPen(topLeft);
    painter.drawLine(r.topLeft(), r.topRight());
    painter.drawLine(r.topLeft(), r.bottomLeft());
    painter.setPen(bottomRight);
    painter.drawLine(r.bottomLeft(), r.bottomRight());
    painter.drawLine(r.topRight(), r.bottomRight());
  }
};

// Shows `shape` over a disabled widget. Qt shows no cursor of a disabled
// widget (the pointer falls back to the arrow), so an enabled, transparent
// stand-in lies over it while it is disabled and carries the cursor. It
// takes no focus and paints nothing; the disabled widget takes no input
// anyway.
class DisabledCursor final : public QWidget {
 public:
  DisabledCursor(QWidget* target, Qt::CursorShape shape)
      : QWidget(target->parentWidget()), target_(target) {
    setObjectName(target->objectName() + QStringLiteral("Cursor"));
    setCursor(shape);
    setFocusPolicy(Qt::NoFocus);
    setAttribute(Qt::WA_NoSystemBackground);
    target->installEventFilter(this);
    Follow();
  }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (watched == target_ &&
        (event->type() == QEvent::EnabledChange ||
         event->type() == QEvent::Move || event->type() == QEvent::Resize ||
         event->type() == QEvent::Show || event->type() == QEvent::Hide)) {
      Follow();
    }
    return false;
  }

 private:
  void Follow() {
    setGeometry(target_->geometry());
    setVisible(!target_->isEnabled() && !target_->isHidden());
    raise();
  }

  QWidget* target_;
};

QPushButton* MakeButton(QWidget* parent, const char* name, const char* text,
                        const QRect& geometry, bool enabled,
                        Qt::CursorShape cursor) {
  auto* button = new QPushButton(QString::fromUtf8(text), parent);
  button->setObjectName(QString::fromLatin1(name));
  button->setGeometry(geometry);
  button->setFont(ButtonFont());
  // Red captions; a disabled button greys its caption as usual.
  QPalette palette = button->palette();
  palette.setColor(QPalette::Active, QPalette::ButtonText, Qt::red);
  palette.setColor(QPalette::Inactive, QPalette::ButtonText, Qt::red);
  button->setPalette(palette);
  button->setEnabled(enabled);
  button->setCursor(cursor);
  button->setAutoDefault(false);
  new DisabledCursor(button, cursor);
  return button;
}

QRadioButton* MakeRadio(QWidget* parent, const char* name, const char* text,
                        const QRect& geometry) {
  auto* radio = new QRadioButton(QString::fromUtf8(text), parent);
  radio->setObjectName(QString::fromLatin1(name));
  radio->setGeometry(geometry);
  radio->setCursor(Qt::PointingHandCursor);
  // The window's colour, as the group box behind shows it (the style may
  // shade the inside of the frame): the radio buttons paint no background.
  radio->setBackgroundRole(QPalette::Window);
  PaintWhiteOnBackground(radio);
  radio->setAutoFillBackground(false);
  // The label is white; the indicator is a white circle with a black dot,
  // as Windows draws it (the style draws the dot in the text colour).
  QPalette palette = radio->palette();
  palette.setColor(QPalette::Base, Qt::white);
  palette.setColor(QPalette::Text, Qt::black);
  radio->setPalette(palette);
  return radio;
}

QLabel* MakeNote(QWidget* parent, const char* name, const char* text,
                 const QRect& geometry) {
  auto* label = new QLabel(QString::fromUtf8(text), parent);
  label->setObjectName(QString::fromLatin1(name));
  label->setGeometry(geometry);
  label->setWordWrap(true);
  label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  label->setTextFormat(Qt::PlainText);
  PaintWhiteOnBackground(label);
  return label;
}

}  // namespace

void QtMessageSink::Show(const std::string& utf8) {
  QMessageBox box(QMessageBox::NoIcon,
                  QGuiApplication::applicationDisplayName(),
                  QString::fromStdString(utf8), QMessageBox::Ok, parent_);
  box.button(QMessageBox::Ok)->setIcon(QIcon());
  box.exec();
}

Form1::Form1(TokenApi& api, QWidget* parent)
    : QWidget(parent,
              Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                  Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                  Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint),
      api_(api),
      sink_(this) {
  setObjectName(QStringLiteral("Form1"));
  setWindowTitle(QString::fromUtf8(kCaption));
  setWindowIcon(AppIcon());
  setFixedSize(405, 249);
  setFont(WindowFont());
  QPalette palette = this->palette();
  palette.setColor(QPalette::Window, FromBgr(kBackgroundBgr));
  setPalette(palette);
  setAutoFillBackground(true);

  // Created in tab order; the group box first, so that it lies behind the
  // radio buttons, which are the window's own children and so exclusive.
  radio_group1_ =
      new EtchedGroupBox(QString::fromUtf8("将设备类型修改为"), this);
  radio_group1_->setObjectName(QStringLiteral("RadioGroup1"));
  radio_group1_->setGeometry(40, 24, 233, 97);
  PaintWhiteOnBackground(radio_group1_);

  usb_ = MakeRadio(this, "USB", "USB模式，需要安装驱动", {64, 56, 201, 17});
  hid_ = MakeRadio(this, "HID", "HID模式，不需要安装驱动", {64, 88, 201, 17});
  usb_->setChecked(true);

  static_text1_ = MakeNote(
      this, "StaticText1",
      "注意：请确保设备被插入时能够被识别。例如，如果设备原来被设置为USB模式，"
      "则必须安装设备驱动后才能修改为HID模式。",
      {40, 144, 329, 57});
  static_text2_ =
      MakeNote(this, "StaticText2",
               "另外，设备类型修改后必须重新插拔一次方能使用新的模式。",
               {40, 200, 329, 33});

  change_ = MakeButton(this, "Change", "修改(&C)", {304, 32, 89, 25}, true,
                       Qt::PointingHandCursor);
  about_ = MakeButton(this, "About", "关于(&A)", {304, 96, 89, 25}, false,
                      Qt::WhatsThisCursor);
  bit_btn1_ = MakeButton(this, "BitBtn1", "安装驱动(&I)", {304, 64, 89, 25},
                         false, Qt::WhatsThisCursor);

  setTabOrder(usb_, hid_);
  setTabOrder(hid_, change_);
  setTabOrder(change_, about_);
  setTabOrder(about_, bit_btn1_);
  usb_->setFocus();

  connect(change_, &QPushButton::clicked, this, &Form1::OnChange);
  // Enter presses the focused Change button, as Space does; a push button
  // outside a dialog takes only Space.
  change_->installEventFilter(this);
}

bool Form1::eventFilter(QObject* watched, QEvent* event) {
  if (watched == change_ && event->type() == QEvent::KeyPress) {
    const auto* key = static_cast<QKeyEvent*>(event);
    const bool enter =
        key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter;
    if (enter && (key->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
      change_->click();
      return true;
    }
  }
  return QWidget::eventFilter(watched, event);
}

void Form1::CenterOnScreen() {
  const QScreen* screen = this->screen();
  if (screen == nullptr) return;
  const QRect desktop = screen->availableGeometry();
  QRect frame = frameGeometry();
  frame.moveCenter(desktop.center());
  move(frame.topLeft());
}

void Form1::OnChange() {
  const TargetMode mode =
      usb_->isChecked() ? TargetMode::kUsb : TargetMode::kHid;
  const Outcome outcome = ModeChange(api_, sink_, mode);
  emit actionFinished(outcome);
}

}  // namespace vantor::tool
