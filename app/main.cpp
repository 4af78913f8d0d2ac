// Wexa Category Scraper: the program's start-up order, the window toolkit and the message loop.

#include "app/Unit1.h"
#include "platform/qt/crash_report.h"
#include "platform/qt/form_host.h"

int main(int argc, char** argv) {
  // ---- Unit start-ups, in this order, before the application object: logging, then the XML
  // persistence, then the category model's class registration, then the log threshold. ----

  platform::qt::WexaApplication application(argc, argv);
  // The browser factory of the WebEngine browser goes here; without one the panel shows a placeholder.
  platform::qt::QtFormHost host;
  TForm1 form(host);
  host.Show();
  const int exitCode = application.exec();
  form.FormDestroy();
  return exitCode;
}
