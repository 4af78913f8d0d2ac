#include "platform/fake/fake_dom.h"

#include <algorithm>

namespace platform::fake {

namespace {

std::size_t callCount = 0;

std::u16string Lower(std::u16string_view s) {
  std::u16string out(s);
  for (char16_t& c : out)
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c + 32);
  return out;
}

bool IsLinkTag(std::u16string_view tag) {
  const std::u16string t = Lower(tag);
  return t == u"a" || t == u"area" || t == u"link" || t == u"base";
}

// Removes "." and ".." segments from an absolute path.
std::u16string RemoveDotSegments(std::u16string_view path) {
  std::vector<std::u16string> segments;
  std::size_t start = 1;  // after the leading "/"
  bool endsInDirectory = false;
  while (start <= path.size()) {
    const std::size_t end = std::min(path.find(u'/', start), path.size());
    const std::u16string segment(path.substr(start, end - start));
    endsInDirectory = segment == u"." || segment == u"..";
    if (segment == u"..") {
      if (!segments.empty()) segments.pop_back();
    } else if (segment != u".") {
      segments.push_back(segment);
    }
    start = end + 1;
  }
  std::u16string out;
  for (const auto& segment : segments) out += u"/" + segment;
  if (endsInDirectory || out.empty()) out += u"/";
  return out;
}

void CollectDescendants(const FakeNodePtr& node, std::vector<FakeNodePtr>& out) {
  for (const auto& child : node->children) {
    if (child->isText) continue;
    out.push_back(child);
    CollectDescendants(child, out);
  }
}

class ElementDispatch;

class CollectionDispatch : public Dispatch {
 public:
  CollectionDispatch(std::vector<FakeNodePtr> elements, std::u16string baseUrl)
      : elements_(std::move(elements)), baseUrl_(std::move(baseUrl)) {}
  Variant Get(std::u16string_view member) override;
  Variant Call(std::u16string_view member, const std::vector<Variant>& args) override;

 private:
  std::vector<FakeNodePtr> elements_;
  std::u16string baseUrl_;
};

// The "all" collection of node: every element below it, in document order.
Variant AllBelow(const FakeNodePtr& node, const std::u16string& baseUrl) {
  std::vector<FakeNodePtr> all;
  CollectDescendants(node, all);
  return Variant(std::shared_ptr<Dispatch>(std::make_shared<CollectionDispatch>(std::move(all), baseUrl)));
}

class ElementDispatch : public Dispatch {
 public:
  ElementDispatch(FakeNodePtr node, std::u16string baseUrl) : node_(std::move(node)), baseUrl_(std::move(baseUrl)) {}

  Variant Get(std::u16string_view member) override {
    ++callCount;
    if (MemberIs(member, u"all")) return AllBelow(node_, baseUrl_);
    if (MemberIs(member, u"innertext")) return Variant(node_->InnerText());
    if (MemberIs(member, u"innerhtml")) return Variant(node_->InnerHtml());
    if (MemberIs(member, u"outerhtml")) return Variant(node_->OuterHtml());
    if (MemberIs(member, u"offsettop")) return Variant(node_->offsetTop);
    if (MemberIs(member, u"tagname")) return Variant(node_->tag);
    // Only link elements have href: the address resolved against the document's, or empty when the
    // element has no href attribute.
    if (MemberIs(member, u"href") && IsLinkTag(node_->tag)) {
      const auto raw = node_->Attribute(u"href");
      if (!raw) return Variant(std::u16string());
      return Variant(ResolveAddress(baseUrl_, *raw));
    }
    ThrowUnknownMember(member);
  }

  Variant Call(std::u16string_view member, const std::vector<Variant>&) override {
    ++callCount;
    ThrowUnknownMember(member);
  }

 private:
  FakeNodePtr node_;
  std::u16string baseUrl_;
};

// The page's document: its element collection, body and address; none of the element members.
class DocumentDispatch : public Dispatch {
 public:
  DocumentDispatch(FakeNodePtr root, std::u16string url) : root_(std::move(root)), url_(std::move(url)) {}

  Variant Get(std::u16string_view member) override {
    ++callCount;
    if (MemberIs(member, u"all")) return AllBelow(root_, url_);
    if (MemberIs(member, u"body")) {
      std::vector<FakeNodePtr> all;
      CollectDescendants(root_, all);
      for (const auto& e : all)
        if (e->tag == u"BODY") return Variant(std::shared_ptr<Dispatch>(std::make_shared<ElementDispatch>(e, url_)));
      return Variant::Null();
    }
    if (MemberIs(member, u"url")) return Variant(url_);
    ThrowUnknownMember(member);
  }

  Variant Call(std::u16string_view member, const std::vector<Variant>&) override {
    ++callCount;
    ThrowUnknownMember(member);
  }

 private:
  FakeNodePtr root_;
  std::u16string url_;
};

Variant CollectionDispatch::Get(std::u16string_view member) {
  ++callCount;
  if (MemberIs(member, u"length")) return Variant(static_cast<int>(elements_.size()));
  ThrowUnknownMember(member);
}

Variant CollectionDispatch::Call(std::u16string_view member, const std::vector<Variant>& args) {
  ++callCount;
  if (MemberIs(member, u"tags")) {
    if (args.size() != 1) throw EAutomationError("tags takes one argument");
    const std::u16string wanted = Lower(args[0].AsText());
    std::vector<FakeNodePtr> matching;
    for (const auto& e : elements_)
      if (Lower(e->tag) == wanted) matching.push_back(e);
    return Variant(std::shared_ptr<Dispatch>(std::make_shared<CollectionDispatch>(std::move(matching), baseUrl_)));
  }
  if (MemberIs(member, u"item")) {
    if (args.size() != 1) throw EAutomationError("item takes one argument");
    const int index = args[0].AsInteger();
    if (index < 0 || static_cast<std::size_t>(index) >= elements_.size()) return Variant::Null();
    return Variant(std::shared_ptr<Dispatch>(std::make_shared<ElementDispatch>(elements_[static_cast<std::size_t>(index)], baseUrl_)));
  }
  ThrowUnknownMember(member);
}

std::u16string EscapeAttribute(const std::u16string& value) {
  std::u16string out;
  for (char16_t c : value) {
    if (c == u'"') out += u"&quot;";
    else if (c == u'&') out += u"&amp;";
    else out += c;
  }
  return out;
}

std::u16string EscapeText(const std::u16string& value) {
  std::u16string out;
  for (char16_t c : value) {
    if (c == u'<') out += u"&lt;";
    else if (c == u'>') out += u"&gt;";
    else if (c == u'&') out += u"&amp;";
    else out += c;
  }
  return out;
}

enum class TDisplay { dsInline, dsBlock, dsParagraph, dsRow, dsCell, dsNone };

TDisplay DisplayOf(const std::u16string& tag) {
  static const std::u16string blocks[] = {u"HTML", u"BODY", u"DIV", u"UL", u"OL", u"LI", u"TABLE", u"FORM",
                                          u"H1", u"H2", u"H3", u"H4", u"H5", u"H6", u"BLOCKQUOTE", u"DL",
                                          u"DT", u"DD", u"CENTER", u"ADDRESS", u"HR", u"HEADER", u"FOOTER",
                                          u"SECTION", u"NAV", u"ARTICLE", u"ASIDE", u"MAIN", u"FIELDSET",
                                          u"FIGURE", u"CAPTION", u"#document"};
  static const std::u16string hidden[] = {u"HEAD", u"TITLE", u"SCRIPT", u"STYLE", u"TEMPLATE", u"META", u"LINK"};
  if (tag == u"P") return TDisplay::dsParagraph;
  if (tag == u"TR") return TDisplay::dsRow;
  if (tag == u"TD" || tag == u"TH") return TDisplay::dsCell;
  for (const auto& b : blocks)
    if (tag == b) return TDisplay::dsBlock;
  for (const auto& h : hidden)
    if (tag == h) return TDisplay::dsNone;
  return TDisplay::dsInline;
}

bool IsCollapsibleSpace(char16_t c) { return c == u' ' || c == u'\t' || c == u'\n' || c == u'\r' || c == u'\f'; }

// The rendered text of a subtree, as a browser's innerText gives it for plain flow content:
// white space collapsed to single spaces and dropped at line starts and ends, blocks on lines of
// their own, paragraphs set apart by an empty line, table cells joined by tabs and rows by line
// feeds, hidden elements left out.
class TRenderedText {
 public:
  void Node(const FakeNode& node, const FakeNode* nextSibling) {
    if (node.isText) {
      for (const char16_t c : node.text) Char(c);
      return;
    }
    if (node.tag == u"BR") {
      Hard(u"\n");
      return;
    }
    const TDisplay display = DisplayOf(node.tag);
    if (display == TDisplay::dsNone) return;
    if (display == TDisplay::dsBlock) Break(1);
    if (display == TDisplay::dsParagraph) Break(2);
    for (std::size_t i = 0; i < node.children.size(); ++i) {
      Node(*node.children[i], i + 1 < node.children.size() ? node.children[i + 1].get() : nullptr);
    }
    if (display == TDisplay::dsBlock) Break(1);
    if (display == TDisplay::dsParagraph) Break(2);
    // Separators only between cells and rows, never after the last one.
    const bool anotherFollows = nextSibling != nullptr && !nextSibling->isText && DisplayOf(nextSibling->tag) == display;
    if (display == TDisplay::dsCell && anotherFollows) Hard(u"\t");
    if (display == TDisplay::dsRow && anotherFollows) Hard(u"\n");
  }

  std::u16string Take() { return std::move(out_); }

 private:
  void Char(char16_t c) {
    if (IsCollapsibleSpace(c)) {
      if (!lineStart_) pendingSpace_ = true;
      return;
    }
    FlushBreaks();
    if (pendingSpace_) out_ += u' ';
    pendingSpace_ = false;
    out_ += c;
    lineStart_ = false;
  }
  // A separator that is always there and after which a line starts anew.
  void Hard(const char16_t* text) {
    FlushBreaks();
    pendingSpace_ = false;
    out_ += text;
    lineStart_ = true;
  }
  // Line breaks that are only written between content, as many as the largest request.
  void Break(int count) {
    pendingSpace_ = false;
    lineStart_ = true;
    breaks_ = std::max(breaks_, count);
  }
  void FlushBreaks() {
    if (!out_.empty()) out_.append(static_cast<std::size_t>(breaks_), u'\n');
    breaks_ = 0;
  }

  std::u16string out_;
  int breaks_ = 0;
  bool lineStart_ = true;
  bool pendingSpace_ = false;
};

}  // namespace

std::u16string FakeNode::InnerText() const {
  TRenderedText text;
  if (isText) {
    text.Node(*this, nullptr);
  } else {
    // The element's own display does not matter: breaks at the very start and end are dropped.
    for (std::size_t i = 0; i < children.size(); ++i)
      text.Node(*children[i], i + 1 < children.size() ? children[i + 1].get() : nullptr);
  }
  return text.Take();
}

std::u16string ResolveAddress(std::u16string_view documentUrl, std::u16string_view address) {
  const std::size_t schemeEnd = documentUrl.find(u"://");
  if (address.find(u"://") != std::u16string_view::npos) return std::u16string(address);
  if (schemeEnd == std::u16string_view::npos) return std::u16string(address);
  const std::u16string_view scheme = documentUrl.substr(0, schemeEnd);
  if (address.substr(0, 2) == u"//") return std::u16string(scheme) + u":" + std::u16string(address);
  const std::size_t pathStart = std::min(documentUrl.find(u'/', schemeEnd + 3), documentUrl.size());
  const std::u16string origin(documentUrl.substr(0, pathStart));
  std::u16string path(documentUrl.substr(pathStart));
  const std::size_t queryStart = std::min(path.find_first_of(u"?#"), path.size());
  std::u16string query = path.substr(queryStart);
  path.resize(queryStart);
  if (path.empty()) path = u"/";
  if (address.empty()) return origin + path + query.substr(0, query.find(u'#'));
  if (address.front() == u'#') return origin + path + query.substr(0, query.find(u'#')) + std::u16string(address);
  if (address.front() == u'?') return origin + path + std::u16string(address);
  const std::size_t addressQuery = std::min(address.find_first_of(u"?#"), address.size());
  std::u16string target(address.substr(0, addressQuery));
  if (target.empty() || target.front() != u'/') target = path.substr(0, path.rfind(u'/') + 1) + target;
  return origin + RemoveDotSegments(target) + std::u16string(address.substr(addressQuery));
}

std::u16string FakeNode::InnerHtml() const {
  std::u16string out;
  for (const auto& child : children) out += child->isText ? EscapeText(child->text) : child->OuterHtml();
  return out;
}

std::u16string FakeNode::OuterHtml() const {
  if (isText) return EscapeText(text);
  if (outerHtml) return *outerHtml;
  const std::u16string lower = Lower(tag);
  // Appended piece by piece: chained operator+ on temporaries trips a false -Wrestrict in GCC 12 at -O3.
  std::u16string out = u"<";
  out.append(lower);
  for (const auto& [name, value] : attributes) {
    out.append(u" ").append(name).append(u"=\"").append(EscapeAttribute(value)).append(u"\"");
  }
  out.append(u">");
  // Void elements have no content and no end tag, as a browser serialises them.
  if (lower == u"br" || lower == u"hr" || lower == u"img" || lower == u"input" || lower == u"meta" || lower == u"link")
    return out;
  out.append(InnerHtml()).append(u"</").append(lower).append(u">");
  return out;
}

std::optional<std::u16string> FakeNode::Attribute(std::u16string_view name) const {
  for (const auto& [n, v] : attributes)
    if (Lower(n) == Lower(name)) return v;
  return std::nullopt;
}

FakeNodePtr Text(std::u16string text) {
  auto node = std::make_shared<FakeNode>();
  node->isText = true;
  node->text = std::move(text);
  return node;
}

FakeNodePtr El(std::u16string tag, std::vector<FakeNodePtr> children) { return El(std::move(tag), {}, std::move(children)); }

FakeNodePtr El(std::u16string tag, std::vector<std::pair<std::u16string, std::u16string>> attributes,
               std::vector<FakeNodePtr> children) {
  auto node = std::make_shared<FakeNode>();
  node->tag = std::move(tag);
  node->attributes = std::move(attributes);
  node->children = std::move(children);
  return node;
}

FakeNodePtr At(int offsetTop, FakeNodePtr node) {
  node->offsetTop = offsetTop;
  return node;
}

std::shared_ptr<Dispatch> MakeDocument(std::vector<FakeNodePtr> bodyChildren, std::u16string documentUrl) {
  // A browser's parser always makes the head, also for markup that has none.
  auto html = El(u"HTML", {El(u"HEAD"), El(u"BODY", std::move(bodyChildren))});
  // The document's "all" holds the HTML element itself and everything below it.
  auto root = El(u"#document", {html});
  return std::make_shared<DocumentDispatch>(root, std::move(documentUrl));
}

std::size_t DomCallCount() { return callCount; }

}  // namespace platform::fake
