// vantor-mode-demo: the mode-change window on a simulated machine with one
// virtual token in HID mode. After each successful change the token is
// re-plugged, so the new mode applies and the next change finds the token in
// it. What the token did is written to standard error (the console the
// program was started from).

#include "demo_events.h"
#include "form1.h"
#include "vantor/sim.h"

using vantor::tool::PrintDemoEvents;

int wmain() {
  using vantor::tool::Outcome;
  using vantor::tool::win32::Form1;

  // The machine outlives the window and every library call made from it.
  vantor::sim::Machine machine;
  machine.Install();
  const vantor::sim::TokenId token = machine.Plug({});
  PrintDemoEvents(machine);

  vantor::tool::VxTokenApi api;
  Form1 form(api);
  form.SetActionFinished([&machine, token](Outcome outcome) {
    if (outcome == Outcome::kChanged) machine.Replug(token);
    PrintDemoEvents(machine);
  });
  if (!form.Create(GetModuleHandleW(nullptr))) return 1;
  form.Show();
  return Form1::RunMessageLoop(form.Window());
}
