// wexa-sample-site: serves a generated sample of the Wexa directory on 127.0.0.1, or prints the crawl
// that a correct crawler records on it.

#include <csignal>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "command_line.h"
#include "sample_server.h"
#include "site_model.h"

int main(int argc, char** argv) {
  using namespace sample_site;
  std::string error;
  const CommandLine cl = ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc), error);
  if (cl.help) {
    std::cout << HelpText();
    return 0;
  }
  if (cl.version) {
    std::cout << VersionText();
    return 0;
  }
  if (!error.empty()) {
    std::cerr << "wexa-sample-site: " << error << "\n(see --help)\n";
    return 2;
  }

  const SiteModel model(cl.site);
  if (cl.dumpExpected) {
    std::cout << FormatExpected(model, ComputeExpected(model, *cl.dumpExpected), *cl.dumpExpected, cl.dumpRoot);
    return 0;
  }

  // Block the stop signals before any thread starts, so only sigwait below receives them.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  SampleServer server(model, std::chrono::seconds(cl.stallSeconds), std::chrono::milliseconds(cl.latencyMs));
  if (!cl.robotsFile.empty()) {
    std::ifstream file(cl.robotsFile, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    if (!file) {
      std::cerr << "wexa-sample-site: cannot read " << cl.robotsFile << "\n";
      return 2;
    }
    server.SetRobots(text.str());
  }
  server.SetBusyPages(cl.busyPages);
  if (cl.logRequests) {
    const bool details = cl.logDetails;
    server.SetLogger([details](const std::string& method, const std::string& path, int status, FaultKind fault,
                               long long ms, const std::string& userAgent) {
      if (details) {
        std::fprintf(stderr, "%s %s %d %s %lld %s\n", method.c_str(), path.c_str(), status, FaultName(fault), ms,
                     userAgent.c_str());
      } else {
        std::fprintf(stderr, "%s %s %d %s\n", method.c_str(), path.c_str(), status, FaultName(fault));
      }
    });
  }
  int port;
  try {
    port = server.Start(cl.port);
  } catch (const std::exception& e) {
    std::cerr << "wexa-sample-site: " << e.what() << "\n";
    return 1;
  }
  if (cl.printPort) {
    std::cout << port << std::endl;
  } else {
    std::cout << "listening on 127.0.0.1:" << port << std::endl;
  }

  int received = 0;
  sigwait(&stopSignals, &received);
  server.Stop();
  return 0;
}
