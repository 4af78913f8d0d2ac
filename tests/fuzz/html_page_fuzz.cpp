// libFuzzer target: a page's bytes through the browserless engine's reading path, as the crawl meets
// them from a server nobody controls: decoding (the first byte picks the Content-Type header), the
// HTML parser and the document model, then validation's reads and both page parsers of the crawl on
// that document. Any outcome but a crash, a hang, a sanitizer report or a leak is fine; the crawl's
// own failures on a strange page are exceptions.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "app/Unit1.h"
#include "common/XmlPersistance.h"
#include "common/logging.h"
#include "model/helper.h"
#include "platform/fake/fake_host.h"
#include "platform/http/html_document.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool started = [] {
    LogLevel = llWarn;
    InitializeXmlPersistance();
    RegisterModelClasses();
    return true;
  }();
  (void)started;
  if (size == 0) return 0;
  static const char* const types[] = {"text/html; charset=utf-8", "text/html; charset=iso-8859-1", "text/html",
                                      "text/html; charset=shift_jis"};
  const std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
  const std::u16string url = u"http://www.wexa.org/Arts/Music/";
  platform::http::TParsedPage page =
      platform::http::ParseHtmlPage(platform::http::DecodePage(bytes, types[data[0] % 4]), url);

  platform::fake::FakeFormHost host;
  TForm1 form(host);
  host.browser.Show(platform::fake::FakePage{url, page.title, true, page.document});
  try {
    // What validation reads.
    (void)host.browser.Application().Get(u"Document").Get(u"body").Get(u"innerhtml").AsString();
  } catch (const Exception&) {
  }
  try {
    form.ParseRootPage();
  } catch (const Exception&) {
  }
  try {
    form.ParseCategoryPage();
  } catch (const Exception&) {
  }
  return 0;
}
