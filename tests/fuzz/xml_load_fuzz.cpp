// libFuzzer target: TXmlPersistance::LoadFromFile on arbitrary bytes. Any outcome but a crash, a
// sanitizer report or a leak is fine; the persistence's own failures are exceptions.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "common/XmlPersistance.h"
#include "common/logging.h"
#include "tests/common/XmlPersistance_test_classes.h"

namespace {

const std::string& InputFile() {
  static const std::string name = "/dev/shm/xml_load_fuzz_" + std::to_string(::getpid()) + ".xml";
  return name;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool started = [] {
    LogLevel = llWarn;
    InitializeXmlPersistance();
    xml_test::RegisterTestClasses();
    return true;
  }();
  (void)started;
  std::FILE* f = std::fopen(InputFile().c_str(), "wb");
  if (f == nullptr) return 0;
  std::fwrite(data, 1, size, f);
  std::fclose(f);
  try {
    std::unique_ptr<TXMLPersistentObject> obj = TXmlPersistance::LoadFromFile(InputFile());
    // Tree nodes do not own their Data; everything else is owned through the object.
    if (auto* node = dynamic_cast<xml_test::TXMLTreeNode*>(obj.get())) node->FreeData();
  } catch (const Exception&) {
  }
  return 0;
}
