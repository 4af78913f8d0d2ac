#pragma once
// A page's document object model built from its bytes, without a browser: the bytes are decoded
// as a browser decodes them, parsed by an HTML5 parser (gumbo) into the tree a browser builds, and
// answered through late binding with the members the crawl reads:
//
//   document:   all, body, title, url
//   collection: length; tags(name), item(index)
//   element:    all, innertext, innerhtml, outerhtml, offsetTop, href (link elements), tagname
//
// The values follow a browser that loads no style sheets (the WebEngine browser blocks them too):
//   - innertext is the rendered text of the default style: white space collapsed over each line
//     (an inline element keeps a space that is the line's, "a <b>b </b>c" gives "b " for B), blocks
//     on lines of their own, paragraphs set apart by an empty line, cells joined by tabs and rows
//     by line feeds, hidden elements (head, script, style, display:none in a style attribute, the
//     hidden attribute) left out;
//   - outerhtml and innerhtml are the HTML serialisation of the parsed tree (lower-case names,
//     attributes in double quotes, "&", "<", ">" and no-break spaces escaped as a browser does);
//   - href is the attribute resolved against the document's base address and percent-encoded
//     (empty when the link has none);
//   - offsetTop is an order-preserving position: the number of line boxes above the element's first
//     line. An element below another has a larger value, elements on one line the same; it is not
//     a number of pixels, and inside table cells it does not restart at the cell as a browser's
//     does.
//   - Like a browser's parser, elements nested deeper than 512 levels are put beside each other at
//     that depth, so no walk over the tree goes deeper than that.
//
// Plain C++ with gumbo and QtCore (text decoding and address resolution). The objects are
// immutable once built and share the parsed page; not thread-safe, but a document may be built on
// one thread and used on another after it is handed over.

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "platform/automation.h"

namespace platform::http {

// The page's markup as UTF-8, decoded from bytes as a browser decides their encoding: a byte-order
// mark first, then the charset of the Content-Type header, then a <meta> charset declaration in the
// first 1024 bytes, then UTF-8 when the bytes are valid UTF-8 and windows-1252 otherwise. The labels
// ISO-8859-1, latin1 and US-ASCII mean windows-1252, as in browsers. Invalid sequences become
// U+FFFD. Never throws for any bytes.
std::string DecodePage(std::string_view bytes, std::string_view contentType);

// A parsed page: the document object and the title a browser shows for it.
struct TParsedPage {
  std::shared_ptr<Dispatch> document;
  // document.title: the first title element's text, white space collapsed and trimmed.
  std::u16string title;
};

// Parses utf8Markup (as DecodePage gives it) as the document at url (an absolute address, the base
// of relative links unless the page has a <base href>). Never throws for any markup.
TParsedPage ParseHtmlPage(std::string_view utf8Markup, const std::u16string& url);

// True when document is a document object made by ParseHtmlPage.
bool IsParsedDocument(const Variant& document);

}  // namespace platform::http
