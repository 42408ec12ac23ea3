// The mode-change window: a fixed window with a framed pair of radio
// buttons for the target mode, two notes, and the Change button that runs
// the Change action.
#pragma once

#include <QColor>
#include <QWidget>

#include "mode_change.h"

class QGroupBox;
class QLabel;
class QPushButton;
class QRadioButton;

namespace vantor::tool {

// Caption of the window; also the application's title.
inline constexpr char kCaption[] = "Vantor 2.3设备类型修改工具v1.0";

// The window's background, a colour value in blue-green-red byte order.
inline constexpr unsigned kBackgroundBgr = 16744576;

// The group box frame's two lines (the Windows button shadow and highlight
// colours) and the caption's left edge in the group box.
inline constexpr QRgb kFrameShadow = 0xFFA0A0A0;
inline constexpr QRgb kFrameHighlight = 0xFFFFFFFF;
inline constexpr int kCaptionLeft = 8;

// Shows each message in a modal box with one OK button, titled with the
// application's display name.
class QtMessageSink final : public MessageSink {
 public:
  explicit QtMessageSink(QWidget* parent) : parent_(parent) {}
  void Show(const std::string& utf8) override;

 private:
  QWidget* parent_;
};

class Form1 : public QWidget {
  Q_OBJECT

 public:
  // `api` must outlive the window.
  explicit Form1(TokenApi& api, QWidget* parent = nullptr);

  // Moves the window to the centre of its screen.
  void CenterOnScreen();

 signals:
  // Emitted when a Change action has ended, after any message was dismissed.
  void actionFinished(vantor::tool::Outcome outcome);

 private:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void OnChange();

  TokenApi& api_;
  QtMessageSink sink_;
  QGroupBox* radio_group1_;
  QRadioButton* usb_;
  QRadioButton* hid_;
  QLabel* static_text1_;
  QLabel* static_text2_;
  QPushButton* change_;
  QPushButton* about_;
  QPushButton* bit_btn1_;
};

}  // namespace vantor::tool
