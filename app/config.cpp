#include "app/config.h"

#include <cstdlib>

#include "platform/text.h"
#include "version/VersionInfo.h"

namespace config {

namespace {
std::string FromEnvironment(const char* name, const char* fallback) {
  const char* value = std::getenv(name);
  return value && *value ? value : fallback;
}
}  // namespace

std::u16string RootUrl() { return platform::FromUtf8(FromEnvironment("WEXA_ROOT_URL", kDefaultRootUrl)); }

std::string UserAgent(const std::optional<std::string>& commandLine) {
  if (commandLine && !commandLine->empty()) return *commandLine;
  if (const char* value = std::getenv("WEXA_USER_AGENT"); value && *value) return value;
  // A version that cannot be read shows as 0.0.0.0, as in the caption; the caption logs why.
  return std::string(kProductToken) + "/" + ProgramVersionText([](const Exception&) {});
}

bool ObeyRobots(bool ignoreFlag) {
  if (ignoreFlag) return false;
  const char* value = std::getenv("WEXA_IGNORE_ROBOTS");
  return !(value && std::string(value) == "1");
}

std::string SearchHost() { return FromEnvironment("WEXA_SEARCH_HOST", kDefaultSearchHost); }

}  // namespace config
