#include "platform/qt/dom_binding.h"

#include <algorithm>
#include <limits>
#include <utility>

namespace platform::qt {

namespace {

// Wire format, one string: "W1", then the document's content type, URL and title (strings), its
// HTML flag and body index (numbers), the root element's outerHTML (string), the element count,
// and per element: tag (string), parent index, offsetTop (numbers), outerHTML and innerHTML
// (references), innerText (string), then "h" and the href string, or "-".
//   number:    decimal digits with optional "-", then ","
//   string:    its length in UTF-16 units, ":", the characters
//   reference: "r" offset "," length "," into the root markup, or "s" and a string
// Outer and inner markup of most elements is a slice of the root markup, which keeps the result
// near the page's own size instead of its size times the nesting depth. A slice is sent only
// after the script has found the element's own serialisation at that place, so it is always the
// exact value; when it is not found the value is sent in full.
const std::u16string kScript = uR"JS((function () {
  'use strict';
  var out = ['W1'];
  function str(v) { v = (v === null || v === undefined) ? '' : String(v); out.push(v.length, ':', v); }
  function num(v) { out.push(v | 0, ','); }
  var doc = document;
  var root = doc.documentElement;
  var markup = root ? root.outerHTML : '';
  var els = doc.getElementsByTagName('*');
  var n = els.length;
  var index = new Map();
  var i;
  for (i = 0; i < n; ++i) index.set(els[i], i);
  str(doc.contentType);
  str(doc.URL);
  str(doc.title);
  num((typeof HTMLDocument !== 'undefined' && doc instanceof HTMLDocument) ? 1 : 0);
  num(doc.body && index.has(doc.body) ? index.get(doc.body) : -1);
  str(markup);
  num(n);
  var start = new Array(n), size = new Array(n), cursor = new Array(n);
  for (i = 0; i < n; ++i) {
    var e = els[i];
    var p = e.parentElement;
    var pi = (p && index.has(p)) ? index.get(p) : -1;
    str(e.tagName);
    num(pi);
    num(typeof e.offsetTop === 'number' ? e.offsetTop : 0);
    var outer = e.outerHTML;
    var at = -1;
    if (e === root) {
      at = 0;
    } else if (pi >= 0 && start[pi] >= 0) {
      var found = markup.indexOf(outer, cursor[pi]);
      if (found >= 0 && found + outer.length <= start[pi] + size[pi]) {
        at = found;
        cursor[pi] = found + outer.length;
      }
    }
    start[i] = at;
    size[i] = outer.length;
    cursor[i] = at + 1;
    if (at >= 0) { out.push('r'); num(at); num(outer.length); } else { out.push('s'); str(outer); }
    var inner = e.innerHTML;
    var innerAt = -1;
    if (at >= 0) {
      var ends = [('</' + e.localName + '>').length, ('</' + e.tagName + '>').length, 0];
      for (var k = 0; k < ends.length && innerAt < 0; ++k) {
        var pos = at + outer.length - ends[k] - inner.length;
        if (pos >= at && markup.startsWith(inner, pos)) innerAt = pos;
      }
    }
    if (innerAt >= 0) { out.push('r'); num(innerAt); num(inner.length); } else { out.push('s'); str(inner); }
    str(typeof e.innerText === 'string' ? e.innerText : '');
    if (typeof e.href === 'string') { out.push('h'); str(e.href); } else { out.push('-'); }
  }
  return out.join('');
})())JS";

// Reads the wire format; any deviation sets failed and every later read returns zero values.
class SnapshotReader {
 public:
  explicit SnapshotReader(const std::u16string& text) : text_(text) {}

  bool Failed() const { return failed_; }
  bool AtEnd() const { return pos_ == text_.size(); }

  bool Expect(char16_t c) {
    if (failed_ || pos_ >= text_.size() || text_[pos_] != c) return Fail();
    ++pos_;
    return true;
  }

  // Returns the next character and moves past it, or 0 at the end.
  char16_t Next() {
    if (failed_ || pos_ >= text_.size()) {
      Fail();
      return 0;
    }
    return text_[pos_++];
  }

  std::int64_t Digits(char16_t terminator) {
    std::int64_t value = 0;
    bool negative = false;
    bool any = false;
    if (!failed_ && pos_ < text_.size() && text_[pos_] == u'-') {
      negative = true;
      ++pos_;
    }
    while (!failed_ && pos_ < text_.size() && text_[pos_] >= u'0' && text_[pos_] <= u'9') {
      value = value * 10 + (text_[pos_] - u'0');
      any = true;
      if (value > std::numeric_limits<std::uint32_t>::max()) {
        Fail();
        return 0;
      }
      ++pos_;
    }
    if (!any || !Expect(terminator)) {
      Fail();
      return 0;
    }
    return negative ? -value : value;
  }

  std::int32_t Number() {
    const std::int64_t v = Digits(u',');
    if (v < std::numeric_limits<std::int32_t>::min() || v > std::numeric_limits<std::int32_t>::max()) {
      Fail();
      return 0;
    }
    return static_cast<std::int32_t>(v);
  }

  TextRef String() {
    const std::int64_t len = Digits(u':');
    if (failed_ || len < 0 || static_cast<std::uint64_t>(len) > text_.size() - pos_) {
      Fail();
      return {};
    }
    const TextRef ref{static_cast<std::uint32_t>(pos_), static_cast<std::uint32_t>(len)};
    pos_ += static_cast<std::size_t>(len);
    return ref;
  }

  // A slice of markup or a string of its own.
  TextRef Reference(TextRef markup) {
    const char16_t kind = Next();
    if (kind == u's') return String();
    if (kind != u'r') {
      Fail();
      return {};
    }
    const std::int64_t offset = Digits(u',');
    const std::int64_t len = Digits(u',');
    if (failed_ || offset < 0 || len < 0 || offset + len > markup.len) {
      Fail();
      return {};
    }
    return TextRef{static_cast<std::uint32_t>(markup.pos + offset), static_cast<std::uint32_t>(len)};
  }

 private:
  bool Fail() {
    failed_ = true;
    return false;
  }

  const std::u16string& text_;
  std::size_t pos_ = 0;
  bool failed_ = false;
};

bool SameTagName(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char16_t x = a[i];
    char16_t y = b[i];
    if (x >= u'A' && x <= u'Z') x = static_cast<char16_t>(x + 32);
    if (y >= u'A' && y <= u'Z') y = static_cast<char16_t>(y + 32);
    if (x != y) return false;
  }
  return true;
}

using SnapshotPtr = std::shared_ptr<const DomSnapshot>;

Variant MakeElement(const SnapshotPtr& snapshot, std::int32_t index);

// A list of elements in document order: either a contiguous run of the snapshot (an owner's
// descendants) or an explicit list of indices (the result of tags).
class CollectionDispatch : public Dispatch {
 public:
  CollectionDispatch(SnapshotPtr snapshot, std::int32_t begin, std::int32_t end)
      : snapshot_(std::move(snapshot)), begin_(begin), end_(end) {}
  CollectionDispatch(SnapshotPtr snapshot, std::vector<std::int32_t> indices)
      : snapshot_(std::move(snapshot)), indices_(std::move(indices)), explicit_(true) {}

  Variant Get(std::u16string_view member) override {
    if (MemberIs(member, u"length")) return Variant(static_cast<int>(Size()));
    ThrowUnknownMember(member);
  }

  Variant Call(std::u16string_view member, const std::vector<Variant>& args) override {
    if (MemberIs(member, u"item")) {
      if (args.size() != 1) throw EAutomationError("item takes one argument");
      const int i = args[0].AsInteger();
      if (i < 0 || static_cast<std::size_t>(i) >= Size()) return Variant::Null();
      return MakeElement(snapshot_, At(static_cast<std::size_t>(i)));
    }
    if (MemberIs(member, u"tags")) {
      if (args.size() != 1) throw EAutomationError("tags takes one argument");
      const std::u16string name = args[0].AsText();
      std::vector<std::int32_t> matching;
      const std::size_t n = Size();
      for (std::size_t i = 0; i < n; ++i) {
        const std::int32_t e = At(i);
        if (SameTagName(snapshot_->View(snapshot_->elements[static_cast<std::size_t>(e)].tag), name))
          matching.push_back(e);
      }
      return Variant(std::shared_ptr<Dispatch>(std::make_shared<CollectionDispatch>(snapshot_, std::move(matching))));
    }
    ThrowUnknownMember(member);
  }

 private:
  std::size_t Size() const { return explicit_ ? indices_.size() : static_cast<std::size_t>(end_ - begin_); }
  std::int32_t At(std::size_t i) const { return explicit_ ? indices_[i] : begin_ + static_cast<std::int32_t>(i); }

  SnapshotPtr snapshot_;
  std::int32_t begin_ = 0;
  std::int32_t end_ = 0;
  std::vector<std::int32_t> indices_;
  bool explicit_ = false;
};

class ElementDispatch : public Dispatch {
 public:
  ElementDispatch(SnapshotPtr snapshot, std::int32_t index) : snapshot_(std::move(snapshot)), index_(index) {}

  Variant Get(std::u16string_view member) override {
    const SnapshotElement& e = snapshot_->elements[static_cast<std::size_t>(index_)];
    if (MemberIs(member, u"all"))
      return Variant(std::shared_ptr<Dispatch>(std::make_shared<CollectionDispatch>(snapshot_, index_ + 1, e.end)));
    if (MemberIs(member, u"innertext")) return Variant(snapshot_->Text(e.innerText));
    if (MemberIs(member, u"outerhtml")) return Variant(snapshot_->Text(e.outerHtml));
    if (MemberIs(member, u"innerhtml")) return Variant(snapshot_->Text(e.innerHtml));
    if (MemberIs(member, u"offsettop")) return Variant(static_cast<int>(e.offsetTop));
    if (MemberIs(member, u"tagname")) return Variant(snapshot_->Text(e.tag));
    if (e.hasHref && MemberIs(member, u"href")) return Variant(snapshot_->Text(e.href));
    ThrowUnknownMember(member);
  }

  Variant Call(std::u16string_view member, const std::vector<Variant>&) override { ThrowUnknownMember(member); }

 private:
  SnapshotPtr snapshot_;
  std::int32_t index_;
};

class DocumentDispatch : public Dispatch {
 public:
  explicit DocumentDispatch(SnapshotPtr snapshot) : snapshot_(std::move(snapshot)) {}

  Variant Get(std::u16string_view member) override {
    if (MemberIs(member, u"all"))
      return Variant(std::shared_ptr<Dispatch>(std::make_shared<CollectionDispatch>(
          snapshot_, 0, static_cast<std::int32_t>(snapshot_->elements.size()))));
    if (MemberIs(member, u"body")) return snapshot_->body < 0 ? Variant::Null() : MakeElement(snapshot_, snapshot_->body);
    if (MemberIs(member, u"title")) return Variant(snapshot_->Text(snapshot_->title));
    if (MemberIs(member, u"url")) return Variant(snapshot_->Text(snapshot_->url));
    ThrowUnknownMember(member);
  }

  Variant Call(std::u16string_view member, const std::vector<Variant>&) override { ThrowUnknownMember(member); }

  const DomSnapshot& Snapshot() const { return *snapshot_; }

 private:
  SnapshotPtr snapshot_;
};

Variant MakeElement(const SnapshotPtr& snapshot, std::int32_t index) {
  return Variant(std::shared_ptr<Dispatch>(std::make_shared<ElementDispatch>(snapshot, index)));
}

}  // namespace

const std::u16string& DomSnapshotScript() { return kScript; }

std::shared_ptr<const DomSnapshot> ParseDomSnapshot(std::u16string text) {
  // Positions are 32-bit; a page this large is refused rather than misread.
  if (text.size() >= std::numeric_limits<std::uint32_t>::max()) return nullptr;
  auto snapshot = std::make_shared<DomSnapshot>();
  snapshot->buffer = std::move(text);
  SnapshotReader in(snapshot->buffer);

  in.Expect(u'W');
  in.Expect(u'1');
  snapshot->contentType = in.String();
  snapshot->url = in.String();
  snapshot->title = in.String();
  snapshot->isHtml = in.Number() != 0;
  const std::int32_t body = in.Number();
  const TextRef markup = in.String();
  const std::int32_t count = in.Number();
  if (in.Failed() || count < 0 || static_cast<std::size_t>(count) > snapshot->buffer.size()) return nullptr;
  if (body < -1 || body >= count) return nullptr;
  snapshot->body = body;

  snapshot->elements.resize(static_cast<std::size_t>(count));
  for (std::int32_t i = 0; i < count && !in.Failed(); ++i) {
    SnapshotElement& e = snapshot->elements[static_cast<std::size_t>(i)];
    e.tag = in.String();
    e.parent = in.Number();
    e.offsetTop = in.Number();
    e.outerHtml = in.Reference(markup);
    e.innerHtml = in.Reference(markup);
    e.innerText = in.String();
    const char16_t hrefMark = in.Next();
    if (hrefMark == u'h') {
      e.hasHref = true;
      e.href = in.String();
    } else if (hrefMark != u'-') {
      return nullptr;
    }
    // Document order puts every parent before its children.
    if (e.parent < -1 || e.parent >= i) return nullptr;
    e.end = i + 1;
  }
  if (in.Failed() || !in.AtEnd()) return nullptr;

  // Descendants follow their ancestor without a gap, so each subtree ends where the last
  // descendant's subtree ends.
  for (std::int32_t i = count - 1; i >= 0; --i) {
    const SnapshotElement& e = snapshot->elements[static_cast<std::size_t>(i)];
    if (e.parent >= 0) {
      SnapshotElement& parent = snapshot->elements[static_cast<std::size_t>(e.parent)];
      parent.end = std::max(parent.end, e.end);
    }
  }
  return snapshot;
}

std::shared_ptr<const DomSnapshot> UnreadableDocument(std::u16string url) {
  auto snapshot = std::make_shared<DomSnapshot>();
  snapshot->buffer = std::move(url);
  snapshot->url = TextRef{0, static_cast<std::uint32_t>(snapshot->buffer.size())};
  return snapshot;
}

std::shared_ptr<Dispatch> MakeDocument(std::shared_ptr<const DomSnapshot> snapshot) {
  return std::make_shared<DocumentDispatch>(std::move(snapshot));
}

const DomSnapshot* SnapshotOf(const Variant& document) {
  const auto* d = dynamic_cast<const DocumentDispatch*>(document.Object());
  return d ? &d->Snapshot() : nullptr;
}

}  // namespace platform::qt
