#pragma once
// An in-memory document object model reachable by late binding, for tests: elements with tag,
// attributes, text, a vertical position and children. Collections, tags, item, innertext,
// outerhtml, innerhtml, href, offsetTop, body and all answer as the WebEngine binding does for the
// pages the tests build; tests/support/browser_contract.h holds both to the same values and
// names where the fake differs.

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/automation.h"

namespace platform::fake {

struct FakeNode;
using FakeNodePtr = std::shared_ptr<FakeNode>;

// A text run or an element.
struct FakeNode {
  bool isText = false;
  std::u16string text;  // text runs only
  std::u16string tag;   // upper case, e.g. u"LI"
  std::vector<std::pair<std::u16string, std::u16string>> attributes;
  std::vector<FakeNodePtr> children;
  int offsetTop = 0;
  // When set, outerhtml returns this instead of markup made from the element.
  std::optional<std::u16string> outerHtml;

  // The rendered text, as a browser's innerText gives it for plain flow content (see fake_dom.cpp).
  std::u16string InnerText() const;
  std::u16string InnerHtml() const;
  std::u16string OuterHtml() const;
  // The value of the named attribute, if present (names compared ignoring ASCII case).
  std::optional<std::u16string> Attribute(std::u16string_view name) const;
};

// Builders: Text(u"..."), El(u"LI", {children...}), El(u"A", {{u"href", u"/x"}}, {children...}).
FakeNodePtr Text(std::u16string text);
FakeNodePtr El(std::u16string tag, std::vector<FakeNodePtr> children = {});
FakeNodePtr El(std::u16string tag, std::vector<std::pair<std::u16string, std::u16string>> attributes,
               std::vector<FakeNodePtr> children);
// Sets offsetTop and returns the same node, for chaining in builders.
FakeNodePtr At(int offsetTop, FakeNodePtr node);

// The document of a page at documentUrl: an HTML element holding an empty HEAD and a BODY element
// with the given children. Like a browser's, the document answers all, body and url, and no element
// member; href properties resolve relative addresses against documentUrl.
std::shared_ptr<Dispatch> MakeDocument(std::vector<FakeNodePtr> bodyChildren, std::u16string documentUrl);
// address resolved against documentUrl (scheme://host/path) as a link's href is: absolute addresses
// as they are, the rest joined to the document's folder, host or scheme, "." and ".." removed.
// Characters are not percent-encoded (a browser encodes those outside ASCII).
std::u16string ResolveAddress(std::u16string_view documentUrl, std::u16string_view address);
// Counts the late-bound member calls answered by every fake DOM object, for tests.
std::size_t DomCallCount();

}  // namespace platform::fake
