// vantor-mode-demo: the mode-change window on a simulated machine with one
// virtual token in HID mode. After each successful change the token is
// re-plugged, so the new mode applies and the next change finds the token
// in it. What the token did is written to standard error.
#include <QApplication>

#include "application.h"
#include "demo_events.h"
#include "form1.h"
#include "vantor/sim.h"

using vantor::tool::PrintDemoEvents;

int main(int argc, char** argv) {
  // The machine outlives the window and every library call made from it.
  vantor::sim::Machine machine;
  machine.Install();
  const vantor::sim::TokenId token = machine.Plug({});
  PrintDemoEvents(machine);

  QApplication app(argc, argv);
  vantor::tool::PrepareApplication();

  vantor::tool::VxTokenApi api;
  vantor::tool::Form1 form(api);
  QObject::connect(&form, &vantor::tool::Form1::actionFinished,
                   [&machine, token](vantor::tool::Outcome outcome) {
                     if (outcome == vantor::tool::Outcome::kChanged) {
                       machine.Replug(token);
                     }
                     PrintDemoEvents(machine);
                   });
  form.CenterOnScreen();
  form.show();
  return QApplication::exec();
}
