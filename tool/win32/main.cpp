// vantor-mode: the mode-change window on the tokens attached to this machine.
#include "form1.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE /*previous*/,
                    PWSTR /*commandLine*/, int show) {
  vantor::tool::VxTokenApi api;
  vantor::tool::win32::Form1 form(api);
  if (!form.Create(instance)) return 1;
  form.Show(show);
  return vantor::tool::win32::Form1::RunMessageLoop(form.Window());
}
