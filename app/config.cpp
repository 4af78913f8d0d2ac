#include "app/config.h"

#include <cstdlib>

#include "platform/text.h"

namespace config {

namespace {
std::string FromEnvironment(const char* name, const char* fallback) {
  const char* value = std::getenv(name);
  return value && *value ? value : fallback;
}
}  // namespace

std::u16string RootUrl() { return platform::FromUtf8(FromEnvironment("WEXA_ROOT_URL", kDefaultRootUrl)); }

std::string SearchHost() { return FromEnvironment("WEXA_SEARCH_HOST", kDefaultSearchHost); }

}  // namespace config
