#include "platform/fake/fake_dom.h"

namespace platform::fake {

namespace {

std::size_t callCount = 0;

std::u16string Lower(std::u16string_view s) {
  std::u16string out(s);
  for (char16_t& c : out)
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c + 32);
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

class ElementDispatch : public Dispatch {
 public:
  ElementDispatch(FakeNodePtr node, std::u16string baseUrl) : node_(std::move(node)), baseUrl_(std::move(baseUrl)) {}

  Variant Get(std::u16string_view member) override {
    ++callCount;
    if (MemberIs(member, u"all")) {
      std::vector<FakeNodePtr> all;
      CollectDescendants(node_, all);
      return Variant(std::shared_ptr<Dispatch>(std::make_shared<CollectionDispatch>(std::move(all), baseUrl_)));
    }
    if (MemberIs(member, u"innertext")) return Variant(node_->InnerText());
    if (MemberIs(member, u"innerhtml")) return Variant(node_->InnerHtml());
    if (MemberIs(member, u"outerhtml")) return Variant(node_->OuterHtml());
    if (MemberIs(member, u"offsettop")) return Variant(node_->offsetTop);
    if (MemberIs(member, u"tagname")) return Variant(node_->tag);
    if (MemberIs(member, u"href")) {
      const auto raw = node_->Attribute(u"href");
      if (!raw) return Variant(std::u16string());
      if (raw->rfind(u"http://", 0) == 0 || raw->rfind(u"https://", 0) == 0) return Variant(*raw);
      return Variant(baseUrl_ + *raw);
    }
    if (MemberIs(member, u"body")) {
      std::vector<FakeNodePtr> all;
      CollectDescendants(node_, all);
      for (const auto& e : all)
        if (e->tag == u"BODY") return Variant(std::shared_ptr<Dispatch>(std::make_shared<ElementDispatch>(e, baseUrl_)));
      return Variant::Null();
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

}  // namespace

std::u16string FakeNode::InnerText() const {
  if (isText) return text;
  std::u16string out;
  for (const auto& child : children) out += child->InnerText();
  return out;
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
  out.append(u">").append(InnerHtml()).append(u"</").append(lower).append(u">");
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

std::shared_ptr<Dispatch> MakeDocument(std::vector<FakeNodePtr> bodyChildren, std::u16string baseUrl) {
  auto html = El(u"HTML", {El(u"BODY", std::move(bodyChildren))});
  // The document's "all" holds the HTML element itself and everything below it.
  auto root = El(u"#document", {html});
  return std::make_shared<ElementDispatch>(root, std::move(baseUrl));
}

std::size_t DomCallCount() { return callCount; }

}  // namespace platform::fake
