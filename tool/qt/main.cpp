// vantor-mode: the mode-change window on the tokens attached to this machine.
#include <QApplication>

#include "application.h"
#include "form1.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  vantor::tool::PrepareApplication();

  vantor::tool::VxTokenApi api;
  vantor::tool::Form1 form(api);
  form.CenterOnScreen();
  form.show();
  return QApplication::exec();
}
