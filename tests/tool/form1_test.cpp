// The mode-change window on the offscreen platform: its controls as drawn at
// design time, and the message box of a click.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QApplication>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QTimer>
#include <algorithm>
#include <optional>
#include <vector>

#include "application.h"
#include "form1.h"
#include "icon.h"
#include "sim/testing.h"
#include "window_shot.h"

namespace vantor::tool {
namespace {

using ::testing::ElementsAre;

const QColor kLightBlue(128, 128, 255);

class Form1Test : public ::testing::Test {
 protected:
  void SetUp() override { machine_.Install(); }

  template <typename T>
  T* Find(const char* name) {
    T* widget = form_.findChild<T*>(QString::fromLatin1(name));
    EXPECT_NE(widget, nullptr) << name;
    return widget;
  }

  // Clicks Change and answers the message box it opens, if any. Returns
  // the texts and titles of the boxes seen.
  std::vector<QString> ClickChange(std::vector<QString>* titles = nullptr) {
    std::vector<QString> texts;
    QTimer answer;
    answer.setInterval(10);
    QObject::connect(&answer, &QTimer::timeout, [&] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      if (box == nullptr) return;
      texts.push_back(box->text());
      if (titles != nullptr) titles->push_back(box->windowTitle());
      EXPECT_EQ(box->buttons().size(), 1);
      EXPECT_EQ(box->standardButtons(), QMessageBox::Ok);
      box->button(QMessageBox::Ok)->click();
    });
    answer.start();
    Find<QPushButton>("Change")->click();
    answer.stop();
    return texts;
  }

  sim::TestMachine machine_;
  VxTokenApi api_;
  Form1 form_{api_};
};

TEST_F(Form1Test, WindowIsFixedWithCaptionAndBackground) {
  EXPECT_EQ(form_.objectName(), "Form1");
  EXPECT_EQ(form_.windowTitle(),
            QString::fromUtf8("Vantor 2.3设备类型修改工具v1.0"));
  EXPECT_EQ(form_.size(), QSize(405, 249));
  EXPECT_EQ(form_.minimumSize(), QSize(405, 249));
  EXPECT_EQ(form_.maximumSize(), QSize(405, 249));
  EXPECT_FALSE(form_.windowFlags() & Qt::WindowMaximizeButtonHint);
  EXPECT_EQ(form_.palette().color(QPalette::Window), kLightBlue);
  EXPECT_TRUE(form_.autoFillBackground());
  EXPECT_EQ(form_.font().pixelSize(), 11);
  EXPECT_FALSE(form_.font().bold());
  EXPECT_FALSE(form_.windowIcon().isNull());
}

TEST_F(Form1Test, CentresOnTheDesktop) {
  form_.CenterOnScreen();
  const QRect desktop = form_.screen()->availableGeometry();
  EXPECT_LE(
      (form_.frameGeometry().center() - desktop.center()).manhattanLength(), 1);
}

struct ControlCase {
  const char* name;
  const char* metaClass;
  QRect geometry;
  const char* text;
};

TEST_F(Form1Test, ControlsSitOnTheWindowWithTheirTextsAndPlaces) {
  const ControlCase cases[] = {
      {"RadioGroup1", "QGroupBox", {40, 24, 233, 97}, "将设备类型修改为"},
      {"USB", "QRadioButton", {64, 56, 201, 17}, "USB模式，需要安装驱动"},
      {"HID", "QRadioButton", {64, 88, 201, 17}, "HID模式，不需要安装驱动"},
      {"StaticText1",
       "QLabel",
       {40, 144, 329, 57},
       "注意：请确保设备被插入时能够被识别。例如，如果设备原来被设置为USB模式，"
       "则必须安装设备驱动后才能修改为HID模式。"},
      {"StaticText2",
       "QLabel",
       {40, 200, 329, 33},
       "另外，设备类型修改后必须重新插拔一次方能使用新的模式。"},
      {"Change", "QPushButton", {304, 32, 89, 25}, "修改(&C)"},
      {"About", "QPushButton", {304, 96, 89, 25}, "关于(&A)"},
      {"BitBtn1", "QPushButton", {304, 64, 89, 25}, "安装驱动(&I)"},
  };
  for (const ControlCase& c : cases) {
    SCOPED_TRACE(c.name);
    QWidget* widget = Find<QWidget>(c.name);
    ASSERT_NE(widget, nullptr);
    EXPECT_STREQ(widget->metaObject()->className(), c.metaClass);
    EXPECT_EQ(widget->parentWidget(), &form_);
    EXPECT_EQ(widget->geometry(), c.geometry);
    QString text;
    if (auto* box = qobject_cast<QGroupBox*>(widget)) text = box->title();
    if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
      text = button->text();
    }
    if (auto* label = qobject_cast<QLabel*>(widget)) {
      text = label->text();
      EXPECT_TRUE(label->wordWrap());
    }
    EXPECT_EQ(text, QString::fromUtf8(c.text));
  }
}

TEST_F(Form1Test, FontsColoursStatesAndCursors) {
  for (const char* name :
       {"RadioGroup1", "USB", "HID", "StaticText1", "StaticText2"}) {
    SCOPED_TRACE(name);
    QWidget* widget = Find<QWidget>(name);
    EXPECT_EQ(widget->palette().color(QPalette::WindowText), QColor(Qt::white));
    EXPECT_EQ(widget->palette().color(widget->backgroundRole()), kLightBlue);
    EXPECT_EQ(widget->font().pixelSize(), 11);
  }

  struct {
    const char* name;
    bool enabled;
    Qt::CursorShape cursor;
    QKeySequence shortcut;
  } const buttons[] = {
      {"Change", true, Qt::PointingHandCursor, QKeySequence("Alt+C")},
      {"About", false, Qt::WhatsThisCursor, QKeySequence("Alt+A")},
      {"BitBtn1", false, Qt::WhatsThisCursor, QKeySequence("Alt+I")},
  };
  for (const auto& b : buttons) {
    SCOPED_TRACE(b.name);
    auto* button = Find<QPushButton>(b.name);
    EXPECT_EQ(button->isEnabled(), b.enabled);
    EXPECT_EQ(button->cursor().shape(), b.cursor);
    EXPECT_EQ(button->shortcut(), b.shortcut);
    EXPECT_EQ(button->font().pixelSize(), 13);
    EXPECT_TRUE(button->font().bold());
    EXPECT_EQ(button->palette().color(QPalette::Active, QPalette::ButtonText),
              QColor(Qt::red));
  }

  // The group box and the notes fill their own background; the radio
  // buttons show the group box behind them.
  for (const char* name : {"RadioGroup1", "StaticText1", "StaticText2"}) {
    EXPECT_TRUE(Find<QWidget>(name)->autoFillBackground()) << name;
  }

  auto* usb = Find<QRadioButton>("USB");
  auto* hid = Find<QRadioButton>("HID");
  EXPECT_TRUE(usb->isChecked());
  EXPECT_FALSE(hid->isChecked());
  EXPECT_EQ(usb->cursor().shape(), Qt::PointingHandCursor);
  EXPECT_EQ(hid->cursor().shape(), Qt::PointingHandCursor);
  // Siblings on the window exclude each other.
  hid->click();
  EXPECT_TRUE(hid->isChecked());
  EXPECT_FALSE(usb->isChecked());
  usb->click();
  EXPECT_TRUE(usb->isChecked());
  EXPECT_FALSE(hid->isChecked());
}

TEST_F(Form1Test, TabOrderFollowsTheDesign) {
  const QStringList named = {"RadioGroup1", "USB",    "HID",   "StaticText1",
                             "StaticText2", "Change", "About", "BitBtn1"};
  QStringList order;
  QWidget* widget = &form_;
  do {
    if (named.contains(widget->objectName())) order << widget->objectName();
    widget = widget->nextInFocusChain();
  } while (widget != &form_);
  EXPECT_EQ(order, named);
  EXPECT_EQ(Find<QWidget>("USB")->focusPolicy() & Qt::TabFocus, Qt::TabFocus);
}

TEST_F(Form1Test, IconHasBothSizesInSixteenColours) {
  for (int size : {32, 16}) {
    SCOPED_TRACE(size);
    const QImage image = IconImage(size);
    EXPECT_EQ(image.size(), QSize(size, size));
    EXPECT_EQ(image.colorCount(), 16);
    // Not blank: the picture uses several colours and leaves some pixels
    // transparent.
    std::vector<bool> used(16, false);
    for (int y = 0; y < size; ++y) {
      for (int x = 0; x < size; ++x) {
        used[static_cast<std::size_t>(image.pixelIndex(x, y))] = true;
      }
    }
    EXPECT_GE(std::count(used.begin(), used.end(), true), 5);
    EXPECT_EQ(qAlpha(image.pixel(0, 0)), 0);
  }
  const QList<QSize> sizes = AppIcon().availableSizes();
  EXPECT_TRUE(sizes.contains(QSize(32, 32)));
  EXPECT_TRUE(sizes.contains(QSize(16, 16)));
}

// The window as drawn: the checked dot, the group frame and its caption
// plainly visible, and every control in its place (the checks that CI also
// runs on screenshots of both windows).
TEST_F(Form1Test, DrawsTheCheckedDotTheFrameAndItsCaptionPlainly) {
  const QImage usb = form_.grab().toImage();
  EXPECT_THAT(shot::Check(usb, true), ::testing::IsEmpty());
  // Only the checked state tells the two radio buttons apart.
  EXPECT_THAT(shot::Check(usb, false), ::testing::Not(::testing::IsEmpty()));

  Find<QRadioButton>("HID")->click();
  shot::Measures measures;
  EXPECT_THAT(shot::Check(form_.grab().toImage(), false, &measures),
              ::testing::IsEmpty());
  EXPECT_GE(measures.dotContrast[1], 7.0);
  EXPECT_GE(measures.frameContrast, 3.0);
  EXPECT_LT(measures.caption.top(), measures.frameTop);
  EXPECT_GT(measures.caption.bottom(), measures.frameTop);
}

TEST_F(Form1Test, ShotCheckFindsAFaintFrameAndAFaintDot) {
  const QImage good = form_.grab().toImage();
  shot::Measures m;
  ASSERT_THAT(shot::Check(good, true, &m), ::testing::IsEmpty());

  // The frame's lines in a shade of the background, the dot in white.
  QImage faint = good;
  QPainter painter(&faint);
  painter.setPen(QColor(120, 120, 240));
  painter.drawLine(150, m.frameTop, 272, m.frameTop);
  painter.drawLine(150, m.frameTop + 1, 272, m.frameTop + 1);
  painter.fillRect(QRect(m.dot[0] - QPoint(2, 2), QSize(6, 6)), Qt::white);
  painter.end();
  const std::vector<std::string> wrong = shot::Check(faint, true);
  EXPECT_THAT(wrong, ::testing::Contains(::testing::HasSubstr("group frame")));
  EXPECT_THAT(wrong, ::testing::Contains(::testing::HasSubstr("its dot")));
}

TEST_F(Form1Test, DisabledButtonsShowTheHelpCursor) {
  form_.show();
  for (const char* name : {"About", "BitBtn1"}) {
    SCOPED_TRACE(name);
    auto* button = Find<QPushButton>(name);
    // Qt takes the cursor of the enabled widget under the pointer.
    QWidget* under = form_.childAt(button->geometry().center());
    ASSERT_NE(under, nullptr);
    EXPECT_TRUE(under->isEnabled());
    EXPECT_EQ(under->cursor().shape(), Qt::WhatsThisCursor);
    EXPECT_EQ(under->geometry(), button->geometry());
    EXPECT_EQ(under->focusPolicy(), Qt::NoFocus);
    // Enabled, the button is its own target again.
    button->setEnabled(true);
    EXPECT_EQ(form_.childAt(button->geometry().center()), button);
    button->setEnabled(false);
  }
  QWidget* change = Find<QWidget>("Change");
  EXPECT_EQ(form_.childAt(change->geometry().center()), change);
}

TEST_F(Form1Test, EnterOnTheFocusedChangeButtonRunsTheChange) {
  std::vector<Outcome> finished;
  QObject::connect(&form_, &Form1::actionFinished,
                   [&](Outcome outcome) { finished.push_back(outcome); });
  const sim::TokenId token = machine_.Plug({});
  Find<QRadioButton>("HID")->click();
  auto* change = Find<QPushButton>("Change");
  for (const int key : {int{Qt::Key_Return}, int{Qt::Key_Enter}}) {
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
    QApplication::sendEvent(change, &press);
  }
  EXPECT_THAT(finished, ElementsAre(Outcome::kChanged, Outcome::kChanged));
  EXPECT_EQ(machine_.Token(token).pendingMode, sim::TokenMode::Hid);

  // Enter on a radio button changes nothing.
  QKeyEvent press(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
  QApplication::sendEvent(Find<QRadioButton>("USB"), &press);
  EXPECT_THAT(finished, ::testing::SizeIs(2));
}

TEST_F(Form1Test, ClickWithNoTokenShowsNotFound) {
  std::optional<Outcome> finished;
  QObject::connect(&form_, &Form1::actionFinished,
                   [&](Outcome outcome) { finished = outcome; });
  std::vector<QString> titles;
  EXPECT_THAT(ClickChange(&titles),
              ElementsAre(QString::fromUtf8("设备没有找到!")));
  EXPECT_THAT(titles, ElementsAre(QApplication::applicationDisplayName()));
  EXPECT_EQ(finished, Outcome::kNoDevice);
}

TEST_F(Form1Test, ClickChangesToTheCheckedModeSilently) {
  const sim::TokenId token = machine_.Plug({});
  Find<QRadioButton>("USB")->click();
  EXPECT_THAT(ClickChange(), ::testing::IsEmpty());
  EXPECT_EQ(machine_.Token(token).pendingMode, sim::TokenMode::Usb);

  machine_.Replug(token);
  Find<QRadioButton>("HID")->click();
  EXPECT_THAT(ClickChange(), ::testing::IsEmpty());
  EXPECT_EQ(machine_.Token(token).pendingMode, sim::TokenMode::Hid);
}

}  // namespace
}  // namespace vantor::tool

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  vantor::tool::PrepareApplication();
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
