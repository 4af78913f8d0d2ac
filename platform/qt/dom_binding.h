#pragma once
// The page's document object model as the crawl reads it by late binding, answered from one
// snapshot of the loaded document instead of one script round trip per member call.
//
// When a load ends, the browser runs DomSnapshotScript() once in the page (an isolated script
// world, so page scripts cannot change what it reads). The script returns one string holding
// every element of the document in document order with its tag name, parent, offsetTop,
// innerText, outerHTML, innerHTML and, for elements with an href property, the resolved address.
// ParseDomSnapshot turns that string into a DomSnapshot, and MakeDocument wraps it in Dispatch
// objects that answer the members the crawl calls:
//
//   document:   all, body, title, url
//   collection: length; tags(name), item(index)
//   element:    all, innertext, innerhtml, outerhtml, offsetTop, href (link elements), tagname
//
// "all" is the owner's descendants in document order (the document's includes the HTML element);
// tags(name) keeps the collection's elements of that tag, compared ignoring ASCII letter case;
// item past either end gives Variant::Null(), which is not an element. Every value is the one the
// live page gave when the snapshot was taken; later script changes to the page are not seen.
//
// Plain C++: no Qt types. Objects are immutable once built and share the snapshot; they are used
// on the window's thread only.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/automation.h"

namespace platform::qt {

// A run of text inside DomSnapshot::buffer.
struct TextRef {
  std::uint32_t pos = 0;
  std::uint32_t len = 0;
};

struct SnapshotElement {
  TextRef tag;  // tagName as the page reports it ("LI" for HTML elements)
  TextRef outerHtml;
  TextRef innerHtml;
  TextRef innerText;
  TextRef href;  // resolved address; meaningful only when hasHref
  std::int32_t parent = -1;  // index of the parent element, -1 for the document's root element
  std::int32_t end = 0;      // one past the last descendant: descendants are [index + 1, end)
  std::int32_t offsetTop = 0;
  bool hasHref = false;
};

// One document as the snapshot script saw it. All text lives in buffer (the script's result);
// elements refer to it by position, so markup shared by an element and its ancestors is held once.
struct DomSnapshot {
  std::u16string buffer;
  std::vector<SnapshotElement> elements;
  TextRef contentType;
  TextRef url;
  TextRef title;
  std::int32_t body = -1;  // index of the body element, -1 when the document has none
  bool isHtml = false;     // the document is an HTML document

  std::u16string Text(TextRef ref) const { return buffer.substr(ref.pos, ref.len); }
  std::u16string_view View(TextRef ref) const { return std::u16string_view(buffer).substr(ref.pos, ref.len); }
};

// The script that takes a snapshot; its result is a string for ParseDomSnapshot.
const std::u16string& DomSnapshotScript();

// Parses the snapshot script's result. Returns nullptr when the text is not a well-formed
// snapshot (every position and index is checked, so malformed text cannot reach out of bounds).
std::shared_ptr<const DomSnapshot> ParseDomSnapshot(std::u16string text);

// A document with no elements and no HTML document interface: what the browser shows when a
// load ended but its document could not be read (the snapshot script failed).
std::shared_ptr<const DomSnapshot> UnreadableDocument(std::u16string url);

// The document object over snapshot (never null).
std::shared_ptr<Dispatch> MakeDocument(std::shared_ptr<const DomSnapshot> snapshot);

// The snapshot behind a document object made by MakeDocument; nullptr for any other value.
const DomSnapshot* SnapshotOf(const Variant& document);

}  // namespace platform::qt
