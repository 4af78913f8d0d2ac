// wexa-export: writes a saved crawl as CSV or JSON Lines, or compares two saved trees.

#include <iostream>
#include <string>
#include <vector>

#include "common/XmlPersistance.h"
#include "common/logging.h"
#include "export_tool.h"
#include "model/helper.h"

int main(int argc, char** argv) {
  try {
    // The scraper's start-up order. The threshold is set first, so that a run leaves no information
    // line in the critical log; the persistence then logs only its errors.
    LogLevel = llWarn;
    InitializeLogging();
    InitializeXmlPersistance();
    RegisterModelClasses();
  } catch (const std::exception& error) {
    std::cerr << "wexa-export: " << error.what() << '\n';
    return 2;
  }
  const int status = exporter::RunExportTool(std::vector<std::string>(argv + 1, argv + argc), std::cout, std::cerr);
  FinalizeXmlPersistance();
  FinalizeLogging();
  return status;
}
