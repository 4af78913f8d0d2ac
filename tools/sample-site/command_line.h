#pragma once
// The command line of wexa-sample-site.

#include <optional>
#include <string>
#include <vector>

#include "site_model.h"

namespace sample_site {

struct CommandLine {
  SiteOptions site;
  int port = 0;             // 0: the system picks a free port
  bool printPort = false;   // print only the port number instead of the "listening on" line
  bool logRequests = false; // one line per request on stderr
  bool logDetails = false;  // ... with the time since the start in ms and the User-Agent
  std::string robotsFile;   // served as /robots.txt; empty: /robots.txt is 404
  int busyPages = 0;        // top-level pages that answer 503 with Retry-After a few times first
  int stallSeconds = 35;
  int latencyMs = 0;        // added before every response
  bool help = false;
  bool version = false;
  std::optional<int> dumpExpected;  // print the expected crawl for this minimum content and exit
  std::string dumpRoot;             // put in front of every address of the dump
};

// Parses the arguments after the program name; "--name value" and "--name=value" are both accepted.
// Returns an error message in error (and an unspecified CommandLine) on a usage error.
CommandLine ParseCommandLine(const std::vector<std::string>& args, std::string& error);

// The --help text: every option, its default, and the dump format.
std::string HelpText();

// The --version line: the program's name and version, "wexa-sample-site 1.0.0.6".
std::string VersionText();

}  // namespace sample_site
