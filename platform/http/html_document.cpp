#include "platform/http/html_document.h"

#include <gumbo.h>

#include <QStringDecoder>
#include <QUrl>

#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

#include "platform/text.h"

namespace platform::http {

namespace {

// ---------------------------------------------------------------------------------------------
// Decoding

bool StartsWith(std::string_view s, std::string_view prefix) { return s.substr(0, prefix.size()) == prefix; }

std::string AsciiLower(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  return out;
}

bool IsAsciiSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (IsAsciiSpace(s.front()) || s.front() == '"' || s.front() == '\'')) s.remove_prefix(1);
  while (!s.empty() && (IsAsciiSpace(s.back()) || s.back() == '"' || s.back() == '\'')) s.remove_suffix(1);
  return s;
}

// The value after "charset=" in text (a Content-Type value or a meta element), lower case; empty
// when there is none.
std::string CharsetIn(std::string_view text) {
  const std::string lower = AsciiLower(text);
  const std::size_t at = lower.find("charset");
  if (at == std::string::npos) return {};
  std::size_t p = at + 7;
  while (p < lower.size() && IsAsciiSpace(lower[p])) ++p;
  if (p >= lower.size() || lower[p] != '=') return {};
  ++p;
  while (p < lower.size() && (IsAsciiSpace(lower[p]) || lower[p] == '"' || lower[p] == '\'')) ++p;
  std::size_t end = p;
  while (end < lower.size() && !IsAsciiSpace(lower[end]) && lower[end] != ';' && lower[end] != '"' &&
         lower[end] != '\'' && lower[end] != '>' && lower[end] != '/')
    ++end;
  return std::string(Trim(std::string_view(lower).substr(p, end - p)));
}

// A charset declared by a meta element in the first 1024 bytes.
std::string MetaCharset(std::string_view bytes) {
  const std::string head = AsciiLower(bytes.substr(0, 1024));
  for (std::size_t at = head.find("<meta"); at != std::string::npos; at = head.find("<meta", at + 5)) {
    const std::size_t end = head.find('>', at);
    const std::string charset = CharsetIn(std::string_view(head).substr(at, end == std::string::npos ? std::string::npos : end - at));
    if (!charset.empty()) return charset;
  }
  return {};
}

bool IsWindows1252Label(const std::string& label) {
  static const char* const labels[] = {"windows-1252", "cp1252", "x-cp1252", "iso-8859-1", "iso8859-1", "iso_8859-1",
                                       "latin1", "l1", "us-ascii", "ascii", "iso-ir-100", "cp819", "ibm819",
                                       "csisolatin1", "iso88591", "ansi_x3.4-1968"};
  return std::find(std::begin(labels), std::end(labels), label) != std::end(labels);
}

bool IsUtf8Label(const std::string& label) { return label == "utf-8" || label == "utf8" || label == "unicode-1-1-utf-8"; }

// Strict UTF-8 validation: no overlong forms, surrogates or code points above U+10FFFF.
bool IsValidUtf8(std::string_view s) {
  std::size_t i = 0;
  const std::size_t n = s.size();
  while (i < n) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) {
      ++i;
      continue;
    }
    int len = 0;
    unsigned lo = 0x80, hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) len = 1;
    else if (c == 0xE0) len = 2, lo = 0xA0;
    else if (c >= 0xE1 && c <= 0xEC) len = 2;
    else if (c == 0xED) len = 2, hi = 0x9F;
    else if (c >= 0xEE && c <= 0xEF) len = 2;
    else if (c == 0xF0) len = 3, lo = 0x90;
    else if (c >= 0xF1 && c <= 0xF3) len = 3;
    else if (c == 0xF4) len = 3, hi = 0x8F;
    else return false;
    if (i + static_cast<std::size_t>(len) >= n) return false;
    for (int k = 1; k <= len; ++k) {
      const auto d = static_cast<unsigned char>(s[i + static_cast<std::size_t>(k)]);
      if (k == 1 ? (d < lo || d > hi) : (d < 0x80 || d > 0xBF)) return false;
    }
    i += static_cast<std::size_t>(len) + 1;
  }
  return true;
}

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

std::string FromWindows1252(std::string_view bytes) {
  // 0x80-0x9F as windows-1252 maps them; the five unassigned bytes stand for themselves, as in browsers.
  static const char16_t high[32] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                                    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};
  std::string out;
  out.reserve(bytes.size() + bytes.size() / 8);
  for (const char ch : bytes) {
    const auto c = static_cast<unsigned char>(ch);
    AppendUtf8(out, c >= 0x80 && c <= 0x9F ? high[c - 0x80] : c);
  }
  return out;
}

std::string WithDecoder(QStringDecoder& decoder, std::string_view bytes) {
  const QString text = decoder.decode(QByteArrayView(bytes.data(), static_cast<qsizetype>(bytes.size())));
  return text.toStdString();
}

std::string Decode(std::string_view bytes, const std::string& label) {
  if (IsUtf8Label(label)) {
    if (IsValidUtf8(bytes)) return std::string(bytes);
    QStringDecoder decoder(QStringConverter::Utf8);
    return WithDecoder(decoder, bytes);
  }
  if (IsWindows1252Label(label)) return FromWindows1252(bytes);
  // A page declaring UTF-16 in its header or meta but without a byte-order mark is read as UTF-8,
  // as browsers do for a meta declaration.
  if (StartsWith(label, "utf-16")) return Decode(bytes, "utf-8");
  QStringDecoder decoder(label.c_str());
  if (!decoder.isValid()) return {};
  return WithDecoder(decoder, bytes);
}

// ---------------------------------------------------------------------------------------------
// The tree

enum class TDisplay : std::uint8_t {
  dsInline,
  dsBlock,
  dsParagraph,
  dsTable,
  dsRowGroup,
  dsRow,
  dsCell,
  dsAtomic,  // an inline box with content of its own (img, input, ...): not space, no text
  dsBreak,
  dsNone,
};

struct TNode {
  enum Kind : std::uint8_t { nkElement, nkText, nkComment };
  Kind kind = nkElement;
  TDisplay display = TDisplay::dsInline;
  bool html = true;        // element in the HTML namespace
  bool rawText = false;    // element whose text children are serialised as they are
  bool preserve = false;   // element whose white space is kept (pre and the like)
  bool isVoid = false;     // element serialised without content and end tag
  bool isLink = false;     // element with an href property
  bool shown = false;      // element laid out (no hidden ancestor)
  std::int32_t parent = -1;
  std::int32_t firstChild = -1;
  std::int32_t lastChild = -1;
  std::int32_t next = -1;
  std::int32_t top = 0;
  std::u16string name;     // elements: local name as serialised
  std::u16string tagName;  // elements: tagName
  std::vector<std::pair<std::u16string, std::u16string>> attributes;
  std::u16string data;      // text and comment data
  std::u16string rendered;  // text: what the layout keeps of it
};

struct TPage {
  std::vector<TNode> nodes;
  std::vector<std::int32_t> elements;  // node index of every element in the document, document order
  std::vector<std::int32_t> ends;      // per element: one past its last descendant element
  std::int32_t body = -1;              // element index
  std::u16string url;
  QUrl base;
};

using PagePtr = std::shared_ptr<const TPage>;

// Browsers stop nesting elements at this depth; deeper ones become siblings there.
constexpr int kMaxDepth = 512;

std::string AsciiLowerName(const char* data, std::size_t length) {
  return AsciiLower(std::string_view(data ? data : "", data ? length : 0));
}

std::u16string AsciiUpper(std::u16string s) {
  for (char16_t& c : s)
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 32);
  return s;
}

bool NameIn(const std::string& name, std::initializer_list<const char*> names) {
  for (const char* n : names)
    if (name == n) return true;
  return false;
}

TDisplay DisplayOf(const std::string& name, const GumboElement& e) {
  for (unsigned i = 0; i < e.attributes.length; ++i) {
    const auto* a = static_cast<const GumboAttribute*>(e.attributes.data[i]);
    const std::string attr = a->name ? a->name : "";
    if (attr == "hidden") return TDisplay::dsNone;
    if (attr == "style" && a->value) {
      std::string style;
      for (const char c : AsciiLower(a->value))
        if (!IsAsciiSpace(c)) style += c;
      if (style.find("display:none") != std::string::npos) return TDisplay::dsNone;
    }
    if (attr == "type" && name == "input" && a->value && AsciiLower(a->value) == "hidden") return TDisplay::dsNone;
  }
  if (name == "p") return TDisplay::dsParagraph;
  if (name == "br") return TDisplay::dsBreak;
  if (name == "table") return TDisplay::dsTable;
  if (NameIn(name, {"tbody", "thead", "tfoot"})) return TDisplay::dsRowGroup;
  if (name == "tr") return TDisplay::dsRow;
  if (NameIn(name, {"td", "th"})) return TDisplay::dsCell;
  if (NameIn(name, {"head", "title", "meta", "link", "style", "script", "template", "noscript", "base", "datalist",
                    "param", "area", "rp", "source", "track", "col", "colgroup", "noembed", "noframes"}))
    return TDisplay::dsNone;
  if (NameIn(name, {"html", "body", "address", "blockquote", "center", "div", "figure", "figcaption", "footer",
                    "form", "header", "hr", "legend", "listing", "main", "plaintext", "pre", "xmp", "ul", "ol",
                    "menu", "dir", "dl", "dt", "dd", "h1", "h2", "h3", "h4", "h5", "h6", "article", "aside", "nav",
                    "section", "hgroup", "fieldset", "details", "summary", "li", "caption", "frameset", "frame",
                    "optgroup", "option", "search"}))
    return TDisplay::dsBlock;
  if (NameIn(name, {"img", "input", "select", "textarea", "iframe", "embed", "object", "video", "audio", "canvas",
                    "button", "meter", "progress", "svg", "math"}))
    return TDisplay::dsAtomic;
  return TDisplay::dsInline;
}

std::string LocalName(const GumboElement& e) {
  std::string name;
  if (e.tag != GUMBO_TAG_UNKNOWN) {
    name = gumbo_normalized_tagname(e.tag);
  } else {
    GumboStringPiece piece = e.original_tag;
    gumbo_tag_from_original_text(&piece);
    name = AsciiLowerName(piece.data, piece.length);
  }
  if (e.tag_namespace == GUMBO_NAMESPACE_SVG) {
    GumboStringPiece piece = e.original_tag;
    gumbo_tag_from_original_text(&piece);
    if (const char* adjusted = gumbo_normalize_svg_tagname(&piece)) name = adjusted;
  }
  if (name.empty()) name = "unknown";
  return name;
}

std::u16string AttributeName(const GumboAttribute& a) {
  std::u16string name = platform::FromUtf8(a.name ? a.name : "");
  switch (a.attr_namespace) {
    case GUMBO_ATTR_NAMESPACE_XLINK: return u"xlink:" + name;
    case GUMBO_ATTR_NAMESPACE_XML: return u"xml:" + name;
    case GUMBO_ATTR_NAMESPACE_XMLNS: return name == u"xmlns" ? name : u"xmlns:" + name;
    default: return name;
  }
}

// All gumbo's memory comes from one arena that goes as a whole: freeing the parse tree node by node
// would recurse as deep as the markup nests.
class TArena {
 public:
  void* Allocate(std::size_t size) {
    size = (size + 15) & ~static_cast<std::size_t>(15);
    if (size > left_) {
      const std::size_t block = std::max<std::size_t>(size, kBlock);
      blocks_.emplace_back(new std::byte[block]);
      cursor_ = blocks_.back().get();
      left_ = block;
    }
    void* p = cursor_;
    cursor_ += size;
    left_ -= size;
    return p;
  }
  static void* AllocateIn(void* arena, std::size_t size) { return static_cast<TArena*>(arena)->Allocate(size); }
  static void FreeIn(void*, void*) {}

 private:
  static constexpr std::size_t kBlock = 256 * 1024;
  std::vector<std::unique_ptr<std::byte[]>> blocks_;
  std::byte* cursor_ = nullptr;
  std::size_t left_ = 0;
};

class TTreeBuilder {
 public:
  explicit TTreeBuilder(TPage& page) : page_(page) {}

  void Build(const GumboNode* root) {
    if (!root || root->type != GUMBO_NODE_ELEMENT) return;
    struct TFrame {
      const GumboNode* node;
      std::int32_t parent;
      int depth;
      bool inTemplate;
    };
    std::vector<TFrame> stack{{root, -1, 0, false}};
    // Parents open at each depth: a node deeper than kMaxDepth goes to the one at kMaxDepth.
    while (!stack.empty()) {
      const TFrame f = stack.back();
      stack.pop_back();
      const std::int32_t index = Add(*f.node, f.parent, f.inTemplate);
      if (index < 0) continue;
      if (f.node->type != GUMBO_NODE_ELEMENT && f.node->type != GUMBO_NODE_TEMPLATE) continue;
      const GumboVector& children = f.node->v.element.children;
      const bool childDepthOk = f.depth + 1 <= kMaxDepth;
      const std::int32_t childParent = childDepthOk ? index : f.parent;
      const int childDepth = childDepthOk ? f.depth + 1 : f.depth;
      const bool inTemplate = f.inTemplate || f.node->type == GUMBO_NODE_TEMPLATE;
      for (unsigned i = children.length; i-- > 0;)
        stack.push_back({static_cast<const GumboNode*>(children.data[i]), childParent, childDepth, inTemplate});
    }
  }

 private:
  std::int32_t Add(const GumboNode& g, std::int32_t parent, bool inTemplate) {
    TNode node;
    switch (g.type) {
      case GUMBO_NODE_ELEMENT:
      case GUMBO_NODE_TEMPLATE: {
        const GumboElement& e = g.v.element;
        const std::string local = LocalName(e);
        node.kind = TNode::nkElement;
        node.html = e.tag_namespace == GUMBO_NAMESPACE_HTML;
        node.name = platform::FromUtf8(local);
        node.tagName = node.html ? AsciiUpper(node.name) : node.name;
        node.display = node.html ? DisplayOf(local, e) : TDisplay::dsInline;
        if (!node.html && (local == "svg" || local == "math")) node.display = TDisplay::dsAtomic;
        if (node.html) {
          node.rawText = NameIn(local, {"style", "script", "xmp", "iframe", "noembed", "noframes", "plaintext"});
          node.preserve = NameIn(local, {"pre", "textarea", "listing", "xmp", "plaintext"});
          node.isVoid = NameIn(local, {"area", "base", "basefont", "bgsound", "br", "col", "embed", "frame", "hr",
                                       "img", "input", "keygen", "link", "meta", "param", "source", "track", "wbr"});
          node.isLink = NameIn(local, {"a", "area", "link", "base"});
        }
        node.attributes.reserve(e.attributes.length);
        for (unsigned i = 0; i < e.attributes.length; ++i) {
          const auto* a = static_cast<const GumboAttribute*>(e.attributes.data[i]);
          node.attributes.emplace_back(AttributeName(*a), platform::FromUtf8(a->value ? a->value : ""));
        }
        break;
      }
      case GUMBO_NODE_TEXT:
      case GUMBO_NODE_WHITESPACE:
      case GUMBO_NODE_CDATA:
        node.kind = TNode::nkText;
        node.data = platform::FromUtf8(g.v.text.text ? g.v.text.text : "");
        break;
      case GUMBO_NODE_COMMENT:
        node.kind = TNode::nkComment;
        node.data = platform::FromUtf8(g.v.text.text ? g.v.text.text : "");
        break;
      default: return -1;
    }
    const auto index = static_cast<std::int32_t>(page_.nodes.size());
    node.parent = parent;
    const bool element = node.kind == TNode::nkElement;
    page_.nodes.push_back(std::move(node));
    if (parent >= 0) {
      TNode& p = page_.nodes[static_cast<std::size_t>(parent)];
      if (p.lastChild >= 0) page_.nodes[static_cast<std::size_t>(p.lastChild)].next = index;
      else p.firstChild = index;
      p.lastChild = index;
    }
    // A template's content is not part of the document: its elements are in no collection.
    if (element && !inTemplate) page_.elements.push_back(index);
    return index;
  }

  TPage& page_;
};

// Lays the page out line by line as far as innertext and offsetTop need it: which white space the
// lines keep, and the line each element starts on.
class TLayout {
 public:
  explicit TLayout(TPage& page) : page_(page) {}

  void Run(std::int32_t root) {
    if (root >= 0) Visit(root, false);
  }

 private:
  bool IsLineBox(TDisplay d) const {
    return d == TDisplay::dsBlock || d == TDisplay::dsParagraph || d == TDisplay::dsTable ||
           d == TDisplay::dsRowGroup || d == TDisplay::dsRow || d == TDisplay::dsCell;
  }

  void LineBreak() {
    if (lastSpace_ >= 0) {
      std::u16string& r = page_.nodes[static_cast<std::size_t>(lastSpace_)].rendered;
      if (!r.empty() && r.back() == u' ') r.pop_back();
      lastSpace_ = -1;
    }
    if (!lineStart_) ++line_;
    lineStart_ = true;
  }

  void Content() {
    lastSpace_ = -1;
    lineStart_ = false;
  }

  static bool IsCollapsible(char16_t c) { return c == u' ' || c == u'\t' || c == u'\n' || c == u'\r'; }

  void Text(std::int32_t index, TNode& node, bool preserve) {
    const TNode* parent = node.parent >= 0 ? &page_.nodes[static_cast<std::size_t>(node.parent)] : nullptr;
    const bool inTableStructure = parent && (parent->display == TDisplay::dsTable ||
                                             parent->display == TDisplay::dsRowGroup || parent->display == TDisplay::dsRow);
    if (inTableStructure && std::all_of(node.data.begin(), node.data.end(), IsCollapsible)) return;
    if (preserve) {
      node.rendered = node.data;
      for (const char16_t c : node.data) {
        if (c == u'\n') {
          lastSpace_ = -1;
          ++line_;
          lineStart_ = true;
        } else {
          Content();
        }
      }
      return;
    }
    std::u16string& out = node.rendered;
    for (const char16_t c : node.data) {
      if (IsCollapsible(c)) {
        if (lineStart_ || lastSpace_ >= 0) continue;
        out += u' ';
        lastSpace_ = index;
      } else {
        out += c;
        Content();
      }
    }
  }

  void Visit(std::int32_t index, bool preserve) {
    TNode& node = page_.nodes[static_cast<std::size_t>(index)];
    if (node.kind == TNode::nkText) {
      Text(index, node, preserve);
      return;
    }
    if (node.kind != TNode::nkElement || node.display == TDisplay::dsNone) return;
    node.shown = true;
    const bool box = IsLineBox(node.display);
    if (box) LineBreak();
    node.top = line_;
    if (node.display == TDisplay::dsBreak) {
      // The line ends here even when it holds nothing, as a br makes an empty line.
      lineStart_ = false;
      LineBreak();
      return;
    }
    const bool keep = preserve || node.preserve;
    for (std::int32_t c = node.firstChild; c >= 0; c = page_.nodes[static_cast<std::size_t>(c)].next) {
      if (node.display == TDisplay::dsAtomic) {
        // Content of its own: the children are laid out inside, not on the line.
        const bool savedStart = lineStart_;
        const std::int32_t savedSpace = lastSpace_;
        Visit(c, keep);
        lineStart_ = savedStart;
        lastSpace_ = savedSpace;
      } else {
        Visit(c, keep);
      }
    }
    if (node.display == TDisplay::dsAtomic) Content();
    if (box) LineBreak();
  }

  TPage& page_;
  std::int32_t line_ = 0;
  std::int32_t lastSpace_ = -1;
  bool lineStart_ = true;
};

// ---------------------------------------------------------------------------------------------
// Members

const TNode& NodeAt(const TPage& page, std::int32_t index) { return page.nodes[static_cast<std::size_t>(index)]; }

void TextContent(const TPage& page, std::int32_t index, std::u16string& out) {
  for (std::int32_t c = NodeAt(page, index).firstChild; c >= 0; c = NodeAt(page, c).next) {
    const TNode& n = NodeAt(page, c);
    if (n.kind == TNode::nkText) out += n.data;
    else if (n.kind == TNode::nkElement) TextContent(page, c, out);
  }
}

// A following sibling element of index with one of the displays, or of a later row group of the
// same table for rows.
bool AnotherFollows(const TPage& page, std::int32_t index, TDisplay display) {
  for (std::int32_t s = NodeAt(page, index).next; s >= 0; s = NodeAt(page, s).next)
    if (NodeAt(page, s).kind == TNode::nkElement && NodeAt(page, s).display == display) return true;
  if (display != TDisplay::dsRow) return false;
  const std::int32_t group = NodeAt(page, index).parent;
  if (group < 0 || NodeAt(page, group).display != TDisplay::dsRowGroup) return false;
  for (std::int32_t s = NodeAt(page, group).next; s >= 0; s = NodeAt(page, s).next) {
    if (NodeAt(page, s).display != TDisplay::dsRowGroup) continue;
    for (std::int32_t r = NodeAt(page, s).firstChild; r >= 0; r = NodeAt(page, r).next)
      if (NodeAt(page, r).display == TDisplay::dsRow) return true;
  }
  return false;
}

// The rendered text items of one node: text, and required line-break counts (as negative numbers
// would be ambiguous, they go in a parallel marker).
class TInnerText {
 public:
  explicit TInnerText(const TPage& page) : page_(page) {}

  std::u16string Of(std::int32_t index) {
    for (std::int32_t c = NodeAt(page_, index).firstChild; c >= 0; c = NodeAt(page_, c).next) Collect(c);
    return std::move(out_);
  }

 private:
  void Text(std::u16string_view s) {
    if (s.empty()) return;
    if (!out_.empty() && breaks_ > 0) out_.append(static_cast<std::size_t>(breaks_), u'\n');
    breaks_ = 0;
    out_ += s;
  }
  void Breaks(int n) {
    if (!out_.empty()) breaks_ = std::max(breaks_, n);
  }

  void Collect(std::int32_t index) {
    const TNode& n = NodeAt(page_, index);
    if (n.kind == TNode::nkText) {
      Text(n.rendered);
      return;
    }
    if (n.kind != TNode::nkElement || !n.shown) return;
    switch (n.display) {
      case TDisplay::dsBreak: Text(u"\n"); return;
      case TDisplay::dsAtomic: return;
      default: break;
    }
    const int breaks = n.display == TDisplay::dsParagraph ? 2
                       : (n.display == TDisplay::dsBlock || n.display == TDisplay::dsTable) ? 1
                                                                                                : 0;
    if (breaks) Breaks(breaks);
    for (std::int32_t c = n.firstChild; c >= 0; c = NodeAt(page_, c).next) Collect(c);
    if (n.display == TDisplay::dsCell && AnotherFollows(page_, index, TDisplay::dsCell)) Text(u"\t");
    if (n.display == TDisplay::dsRow && AnotherFollows(page_, index, TDisplay::dsRow)) Text(u"\n");
    if (breaks) Breaks(breaks);
  }

  const TPage& page_;
  std::u16string out_;
  int breaks_ = 0;
};

void EscapeInto(std::u16string& out, std::u16string_view text, bool attribute) {
  for (const char16_t c : text) {
    switch (c) {
      case u'&': out += u"&amp;"; break;
      case u'\u00A0': out += u"&nbsp;"; break;
      case u'"':
        if (attribute) out += u"&quot;";
        else out += c;
        break;
      case u'<':
        if (!attribute) out += u"&lt;";
        else out += c;
        break;
      case u'>':
        if (!attribute) out += u"&gt;";
        else out += c;
        break;
      default: out += c;
    }
  }
}

void SerializeChildren(const TPage& page, std::int32_t index, std::u16string& out);

void Serialize(const TPage& page, std::int32_t index, std::u16string& out) {
  const TNode& n = NodeAt(page, index);
  switch (n.kind) {
    case TNode::nkText: {
      const TNode* parent = n.parent >= 0 ? &NodeAt(page, n.parent) : nullptr;
      if (parent && parent->rawText) out += n.data;
      else EscapeInto(out, n.data, false);
      return;
    }
    case TNode::nkComment:
      out.append(u"<!--").append(n.data).append(u"-->");
      return;
    case TNode::nkElement: break;
  }
  out.append(u"<").append(n.name);
  for (const auto& [name, value] : n.attributes) {
    out.append(u" ").append(name).append(u"=\"");
    EscapeInto(out, value, true);
    out += u'"';
  }
  out += u'>';
  if (n.isVoid) return;
  SerializeChildren(page, index, out);
  out.append(u"</").append(n.name).append(u">");
}

void SerializeChildren(const TPage& page, std::int32_t index, std::u16string& out) {
  for (std::int32_t c = NodeAt(page, index).firstChild; c >= 0; c = NodeAt(page, c).next) Serialize(page, c, out);
}

const std::u16string* AttributeOf(const TNode& n, std::u16string_view name) {
  for (const auto& [k, v] : n.attributes)
    if (k == name) return &v;
  return nullptr;
}

// The address a link's attribute value stands for, as a browser resolves and encodes it.
std::u16string Resolve(const QUrl& base, const std::u16string& raw) {
  QString s = QString::fromStdU16String(raw);
  // Leading and trailing controls and spaces go, tabs and line breaks anywhere.
  qsizetype b = 0, e = s.size();
  while (b < e && s[b].unicode() <= 0x20) ++b;
  while (e > b && s[e - 1].unicode() <= 0x20) --e;
  s = s.mid(b, e - b);
  s.remove(QLatin1Char('\t')).remove(QLatin1Char('\n')).remove(QLatin1Char('\r'));
  if (base.scheme() == QLatin1String("http") || base.scheme() == QLatin1String("https"))
    s.replace(QLatin1Char('\\'), QLatin1Char('/'));
  const QUrl relative(s, QUrl::TolerantMode);
  if (!relative.isValid()) return raw;
  QUrl absolute = base.resolved(relative);
  if (!absolute.isValid()) return raw;
  const QString scheme = absolute.scheme();
  if (scheme == QLatin1String("http") || scheme == QLatin1String("https")) {
    if (absolute.path().isEmpty()) absolute.setPath(QStringLiteral("/"));
    if ((scheme == QLatin1String("http") && absolute.port() == 80) ||
        (scheme == QLatin1String("https") && absolute.port() == 443))
      absolute.setPort(-1);
  }
  return absolute.toString(QUrl::FullyEncoded).toStdU16String();
}

Variant MakeElement(const PagePtr& page, std::int32_t element);

class TCollection : public Dispatch {
 public:
  TCollection(PagePtr page, std::int32_t begin, std::int32_t end) : page_(std::move(page)), begin_(begin), end_(end) {}
  TCollection(PagePtr page, std::vector<std::int32_t> elements)
      : page_(std::move(page)), list_(std::move(elements)), explicit_(true) {}

  Variant Get(std::u16string_view member) override {
    if (MemberIs(member, u"length")) return Variant(static_cast<int>(Size()));
    ThrowUnknownMember(member);
  }

  Variant Call(std::u16string_view member, const std::vector<Variant>& args) override {
    if (MemberIs(member, u"item")) {
      if (args.size() != 1) throw EAutomationError("item takes one argument");
      const int i = args[0].AsInteger();
      if (i < 0 || static_cast<std::size_t>(i) >= Size()) return Variant::Null();
      return MakeElement(page_, At(static_cast<std::size_t>(i)));
    }
    if (MemberIs(member, u"tags")) {
      if (args.size() != 1) throw EAutomationError("tags takes one argument");
      const std::u16string wanted = Lower(args[0].AsText());
      std::vector<std::int32_t> matching;
      const std::size_t n = Size();
      for (std::size_t i = 0; i < n; ++i) {
        const std::int32_t e = At(i);
        if (MemberIs(NodeAt(*page_, page_->elements[static_cast<std::size_t>(e)]).tagName, wanted))
          matching.push_back(e);
      }
      return Variant(std::shared_ptr<Dispatch>(std::make_shared<TCollection>(page_, std::move(matching))));
    }
    ThrowUnknownMember(member);
  }

 private:
  static std::u16string Lower(std::u16string s) {
    for (char16_t& c : s)
      if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c + 32);
    return s;
  }
  std::size_t Size() const { return explicit_ ? list_.size() : static_cast<std::size_t>(end_ - begin_); }
  std::int32_t At(std::size_t i) const { return explicit_ ? list_[i] : begin_ + static_cast<std::int32_t>(i); }

  PagePtr page_;
  std::int32_t begin_ = 0;
  std::int32_t end_ = 0;
  std::vector<std::int32_t> list_;
  bool explicit_ = false;
};

class TElement : public Dispatch {
 public:
  TElement(PagePtr page, std::int32_t element) : page_(std::move(page)), element_(element) {}

  Variant Get(std::u16string_view member) override {
    const std::int32_t index = page_->elements[static_cast<std::size_t>(element_)];
    const TNode& n = NodeAt(*page_, index);
    if (MemberIs(member, u"all"))
      return Variant(std::shared_ptr<Dispatch>(
          std::make_shared<TCollection>(page_, element_ + 1, page_->ends[static_cast<std::size_t>(element_)])));
    if (MemberIs(member, u"innertext")) {
      if (!n.shown) {
        std::u16string text;
        TextContent(*page_, index, text);
        return Variant(std::move(text));
      }
      return Variant(TInnerText(*page_).Of(index));
    }
    if (MemberIs(member, u"outerhtml")) {
      std::u16string out;
      Serialize(*page_, index, out);
      return Variant(std::move(out));
    }
    if (MemberIs(member, u"innerhtml")) {
      std::u16string out;
      SerializeChildren(*page_, index, out);
      return Variant(std::move(out));
    }
    if (MemberIs(member, u"offsettop")) return Variant(static_cast<int>(n.shown ? n.top : 0));
    if (MemberIs(member, u"tagname")) return Variant(n.tagName);
    if (n.isLink && MemberIs(member, u"href")) {
      const std::u16string* raw = AttributeOf(n, u"href");
      return Variant(raw ? Resolve(page_->base, *raw) : std::u16string());
    }
    ThrowUnknownMember(member);
  }

  Variant Call(std::u16string_view member, const std::vector<Variant>&) override { ThrowUnknownMember(member); }

 private:
  PagePtr page_;
  std::int32_t element_;
};

class TDocument : public Dispatch {
 public:
  TDocument(PagePtr page, std::u16string title) : page_(std::move(page)), title_(std::move(title)) {}

  Variant Get(std::u16string_view member) override {
    if (MemberIs(member, u"all"))
      return Variant(std::shared_ptr<Dispatch>(
          std::make_shared<TCollection>(page_, 0, static_cast<std::int32_t>(page_->elements.size()))));
    if (MemberIs(member, u"body")) return page_->body < 0 ? Variant::Null() : MakeElement(page_, page_->body);
    if (MemberIs(member, u"title")) return Variant(title_);
    if (MemberIs(member, u"url")) return Variant(page_->url);
    ThrowUnknownMember(member);
  }

  Variant Call(std::u16string_view member, const std::vector<Variant>&) override { ThrowUnknownMember(member); }

 private:
  PagePtr page_;
  std::u16string title_;
};

Variant MakeElement(const PagePtr& page, std::int32_t element) {
  return Variant(std::shared_ptr<Dispatch>(std::make_shared<TElement>(page, element)));
}

std::u16string CollapsedTitle(const TPage& page) {
  for (const std::int32_t index : page.elements) {
    const TNode& n = NodeAt(page, index);
    if (!n.html || n.name != u"title") continue;
    std::u16string raw;
    TextContent(page, index, raw);
    std::u16string out;
    bool space = false;
    for (const char16_t c : raw) {
      if (c == u' ' || c == u'\t' || c == u'\n' || c == u'\r' || c == u'\f') {
        space = !out.empty();
        continue;
      }
      if (space) out += u' ';
      space = false;
      out += c;
    }
    return out;
  }
  return {};
}

}  // namespace

std::string DecodePage(std::string_view bytes, std::string_view contentType) {
  if (StartsWith(bytes, "\xEF\xBB\xBF")) return Decode(bytes.substr(3), "utf-8");
  if (StartsWith(bytes, "\xFF\xFE") || StartsWith(bytes, "\xFE\xFF")) {
    QStringDecoder decoder(StartsWith(bytes, "\xFF\xFE") ? QStringConverter::Utf16LE : QStringConverter::Utf16BE);
    return WithDecoder(decoder, bytes.substr(2));
  }
  for (const std::string& label : {CharsetIn(contentType), MetaCharset(bytes)}) {
    if (label.empty()) continue;
    // An unknown label is passed over, as a browser passes it over.
    if (IsUtf8Label(label) || IsWindows1252Label(label) || StartsWith(label, "utf-16")) return Decode(bytes, label);
    if (QStringDecoder(label.c_str()).isValid()) return Decode(bytes, label);
  }
  return IsValidUtf8(bytes) ? std::string(bytes) : FromWindows1252(bytes);
}

TParsedPage ParseHtmlPage(std::string_view utf8Markup, const std::u16string& url) {
  auto page = std::make_shared<TPage>();
  page->url = url;
  {
    TArena arena;
    GumboOptions options = kGumboDefaultOptions;
    options.allocator = &TArena::AllocateIn;
    options.deallocator = &TArena::FreeIn;
    options.userdata = &arena;
    options.max_errors = 0;
    GumboOutput* output = gumbo_parse_with_options(&options, utf8Markup.data(), utf8Markup.size());
    TTreeBuilder(*page).Build(output ? output->root : nullptr);
    // The arena frees the parse tree.
  }

  // Each element's descendants follow it without a gap in document order.
  const std::size_t count = page->elements.size();
  page->ends.resize(count);
  std::vector<std::int32_t> elementOf(page->nodes.size(), -1);
  for (std::size_t i = 0; i < count; ++i) elementOf[static_cast<std::size_t>(page->elements[i])] = static_cast<std::int32_t>(i);
  for (std::size_t i = count; i-- > 0;) {
    std::int32_t& end = page->ends[i];
    end = std::max<std::int32_t>(end, static_cast<std::int32_t>(i + 1));
    std::int32_t parent = page->nodes[static_cast<std::size_t>(page->elements[i])].parent;
    while (parent >= 0 && elementOf[static_cast<std::size_t>(parent)] < 0) parent = page->nodes[static_cast<std::size_t>(parent)].parent;
    if (parent >= 0) {
      std::int32_t& parentEnd = page->ends[static_cast<std::size_t>(elementOf[static_cast<std::size_t>(parent)])];
      parentEnd = std::max(parentEnd, end);
    }
  }

  // The body is the root's first body or frameset child.
  if (!page->nodes.empty()) {
    for (std::int32_t c = page->nodes[0].firstChild; c >= 0; c = page->nodes[static_cast<std::size_t>(c)].next) {
      const TNode& n = page->nodes[static_cast<std::size_t>(c)];
      if (n.kind == TNode::nkElement && n.html && (n.name == u"body" || n.name == u"frameset")) {
        page->body = elementOf[static_cast<std::size_t>(c)];
        break;
      }
    }
  }

  page->base = QUrl(QString::fromStdU16String(url));
  for (const std::int32_t index : page->elements) {
    const TNode& n = page->nodes[static_cast<std::size_t>(index)];
    if (!n.html || n.name != u"base") continue;
    if (const std::u16string* href = AttributeOf(n, u"href")) {
      const QUrl base(QString::fromStdU16String(Resolve(page->base, *href)));
      if (base.isValid()) page->base = base;
      break;
    }
  }

  TLayout(*page).Run(page->nodes.empty() ? -1 : 0);
  std::u16string title = CollapsedTitle(*page);
  return TParsedPage{std::make_shared<TDocument>(std::move(page), title), title};
}

bool IsParsedDocument(const Variant& document) { return dynamic_cast<const TDocument*>(document.Object()) != nullptr; }

}  // namespace platform::http
