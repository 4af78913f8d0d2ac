// XML-to-object reader. libxml2's SAX parser fills a compact document (TXmlDocument) first, so that
// every element's child count is known before its object is built, as the consistency check needs;
// a full libxml2 tree would take several times the memory for a large category tree.
#include <errno.h>
#include <fmt/printf.h>
#include <libxml/parser.h>
#include <libxml/parserInternals.h>

#include <charconv>
#include <cstdio>
#include <cstring>
#include <unordered_map>
#include <unordered_set>

#include "common/XmlPersistance.h"
#include "common/XmlPersistanceInternal.h"

namespace {

constexpr std::uint32_t kNone = 0xFFFFFFFFu;
// A handle with this bit is the sole text child of the element it names; such text is kept on the
// element itself, which saves a record for every scalar property.
constexpr std::uint32_t kInlineText = 0x80000000u;
constexpr std::uint32_t kBlockBits = 16;
constexpr std::uint32_t kBlockSize = 1u << kBlockBits;
constexpr std::uint32_t kMaxRecords = kInlineText - 1;

enum : std::uint32_t { kNameText, kNameCData, kNameComment };

bool IsXmlBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

}  // namespace

struct TXmlDocument::TRec {
  std::uint32_t name;
  std::uint8_t type;
  bool inlineText;
  std::uint32_t firstChild;
  std::uint32_t next;
  std::uint32_t childCount;
  std::uint32_t textOff;
  std::uint32_t textLen;
  std::uint32_t firstAttr;
  std::uint32_t attrCount;
};

struct TXmlDocument::TAttr {
  std::uint32_t name;
  std::uint32_t valOff;
  std::uint32_t valLen;
};

struct TXmlDocument::TImpl {
  std::vector<std::unique_ptr<TRec[]>> blocks;
  std::uint32_t count = 0;
  std::string text;
  std::vector<TAttr> attrs;
  std::vector<std::string> names{"#text", "#cdata-section", "#comment"};
  std::unordered_map<std::string, std::uint32_t> nameIds;
  std::uint32_t firstTop = kNone;
  std::uint32_t lastTop = kNone;
  std::uint32_t topCount = 0;

  TRec& At(std::uint32_t i) { return blocks[i >> kBlockBits][i & (kBlockSize - 1)]; }
  const TRec& At(std::uint32_t i) const { return blocks[i >> kBlockBits][i & (kBlockSize - 1)]; }
  std::string_view Text(std::uint32_t off, std::uint32_t len) const { return std::string_view(text).substr(off, len); }

  std::uint32_t NewRec(std::uint32_t name, TXmlNode::TNodeType type) {
    if (count >= kMaxRecords) throw EXmlDocumentError("The XML document has too many nodes.");
    if ((count & (kBlockSize - 1)) == 0) blocks.push_back(std::make_unique<TRec[]>(kBlockSize));
    TRec& r = At(count);
    r = TRec{name, static_cast<std::uint8_t>(type), false, kNone, kNone, 0, 0, 0, 0, 0};
    return count++;
  }

  std::uint32_t NameId(std::string_view name) {
    auto it = nameIds.find(std::string(name));
    if (it != nameIds.end()) return it->second;
    const auto id = static_cast<std::uint32_t>(names.size());
    names.emplace_back(name);
    nameIds.emplace(std::string(name), id);
    return id;
  }

  // Appends s to the text store; returns its offset.
  std::uint32_t AddText(const char* s, std::size_t len) {
    if (text.size() + len >= kNone) throw EXmlDocumentError("The XML document holds too much text.");
    const auto off = static_cast<std::uint32_t>(text.size());
    text.append(s, len);
    return off;
  }
};

// ---- TXmlNode ----

TXmlNode::TNodeType TXmlNode::Type() const {
  if (index_ & kInlineText) return ntText;
  return static_cast<TNodeType>(doc_->impl_->At(index_).type);
}

std::string_view TXmlNode::Name() const {
  if (index_ & kInlineText) return doc_->impl_->names[kNameText];
  return doc_->impl_->names[doc_->impl_->At(index_).name];
}

std::size_t TXmlNode::ChildCount() const {
  if (index_ & kInlineText) return 0;
  return doc_->impl_->At(index_).childCount;
}

TXmlNode TXmlNode::FirstChild() const {
  if (ChildCount() == 0) {
    throw EXmlDocumentError(
        fmt::sprintf("List index out of bounds (0): %s has no child nodes.", std::string(Name())));
  }
  const TXmlDocument::TRec& r = doc_->impl_->At(index_);
  return TXmlNode(doc_, r.inlineText ? (index_ | kInlineText) : r.firstChild);
}

std::uint32_t TXmlNode::Next() const { return doc_->impl_->At(index_).next; }

std::string_view TXmlNode::Attribute(std::string_view name, bool* found) const {
  if (found) *found = false;
  if (index_ & kInlineText) return {};
  const auto& impl = *doc_->impl_;
  const TXmlDocument::TRec& r = impl.At(index_);
  for (std::uint32_t i = 0; i < r.attrCount; ++i) {
    const TXmlDocument::TAttr& a = impl.attrs[r.firstAttr + i];
    if (impl.names[a.name] == name) {
      if (found) *found = true;
      return impl.Text(a.valOff, a.valLen);
    }
  }
  return {};
}

std::string_view TXmlNode::Value(bool* isNull) const {
  if (isNull) *isNull = false;
  const auto& impl = *doc_->impl_;
  if (index_ & kInlineText) {
    const TXmlDocument::TRec& r = impl.At(index_ & ~kInlineText);
    return impl.Text(r.textOff, r.textLen);
  }
  const TXmlDocument::TRec& r = impl.At(index_);
  if (r.type != ntElement) return impl.Text(r.textOff, r.textLen);
  if (r.childCount == 0) {
    if (isNull) *isNull = true;
    return {};
  }
  if (r.inlineText) return impl.Text(r.textOff, r.textLen);
  if (r.childCount == 1) {
    const TXmlDocument::TRec& c = impl.At(r.firstChild);
    if (c.type == ntText || c.type == ntCData) return impl.Text(c.textOff, c.textLen);
  }
  throw EXmlDocumentError(fmt::sprintf("Element %s holds child nodes instead of a text value.", std::string(Name())));
}

// ---- Parsing ----

namespace {

struct TBuilder {
  struct TOpen {
    std::uint32_t rec;
    std::uint32_t lastChild;
  };
  TXmlDocument::TImpl* doc = nullptr;
  xmlParserCtxtPtr ctxt = nullptr;
  std::vector<TOpen> stack;
  // Text seen since the last node, already appended to doc->text.
  bool pending = false;
  bool pendingBlank = true;
  std::uint32_t pendingStart = 0;
  bool stoppedAtDoctype = false;
  std::string failure;     // our own reason to stop (depth, size)
  std::string firstError;  // libxml2's first error
  // Element names by libxml2's interned (prefix, local name) pointers.
  std::unordered_map<const void*, std::unordered_map<const void*, std::uint32_t>> elementNames;

  void Stop(std::string reason) {
    if (failure.empty()) failure = std::move(reason);
    xmlStopParser(ctxt);
  }

  void Append(std::uint32_t rec) {
    if (stack.empty()) {
      if (doc->lastTop == kNone) doc->firstTop = rec;
      else doc->At(doc->lastTop).next = rec;
      doc->lastTop = rec;
      ++doc->topCount;
      return;
    }
    TOpen& parent = stack.back();
    TXmlDocument::TRec& p = doc->At(parent.rec);
    if (parent.lastChild == kNone) p.firstChild = rec;
    else doc->At(parent.lastChild).next = rec;
    parent.lastChild = rec;
    ++p.childCount;
  }

  // Text before another node: whitespace between nodes is layout and is dropped.
  void FlushPending() {
    if (!pending) return;
    pending = false;
    if (pendingBlank) {
      doc->text.resize(pendingStart);
      return;
    }
    const std::uint32_t rec = doc->NewRec(kNameText, TXmlNode::ntText);
    doc->At(rec).textOff = pendingStart;
    doc->At(rec).textLen = static_cast<std::uint32_t>(doc->text.size() - pendingStart);
    Append(rec);
  }

  std::uint32_t ElementName(const xmlChar* localname, const xmlChar* prefix) {
    auto& byLocal = elementNames[prefix];
    auto it = byLocal.find(localname);
    if (it != byLocal.end()) return it->second;
    std::string qname;
    if (prefix != nullptr) {
      qname = reinterpret_cast<const char*>(prefix);
      qname += ':';
    }
    qname += reinterpret_cast<const char*>(localname);
    const std::uint32_t id = doc->NameId(qname);
    byLocal.emplace(localname, id);
    return id;
  }
};

TBuilder& B(void* ctx) { return *static_cast<TBuilder*>(ctx); }

template <class F>
void Guard(void* ctx, F f) {
  // Exceptions must not cross libxml2's C frames.
  try {
    f(B(ctx));
  } catch (const std::exception& e) {
    B(ctx).Stop(e.what());
  }
}

void OnStartElement(void* ctx, const xmlChar* localname, const xmlChar* prefix, const xmlChar*, int, const xmlChar**,
                    int nbAttributes, int, const xmlChar** attributes) {
  Guard(ctx, [&](TBuilder& b) {
    b.FlushPending();
    if (b.stack.size() >= xml_internal::kMaxDepth) {
      b.Stop(fmt::sprintf("Elements are nested deeper than %d levels.", static_cast<int>(xml_internal::kMaxDepth)));
      return;
    }
    const std::uint32_t rec = b.doc->NewRec(b.ElementName(localname, prefix), TXmlNode::ntElement);
    if (nbAttributes > 0) {
      b.doc->At(rec).firstAttr = static_cast<std::uint32_t>(b.doc->attrs.size());
      b.doc->At(rec).attrCount = static_cast<std::uint32_t>(nbAttributes);
      for (int i = 0; i < nbAttributes; ++i) {
        const xmlChar** a = attributes + 5 * i;
        const auto* value = reinterpret_cast<const char*>(a[3]);
        const auto len = static_cast<std::size_t>(a[4] - a[3]);
        const std::uint32_t off = b.doc->AddText(value, len);
        b.doc->attrs.push_back({b.ElementName(a[0], a[1]), off, static_cast<std::uint32_t>(len)});
      }
    }
    b.Append(rec);
    b.stack.push_back({rec, kNone});
  });
}

void OnEndElement(void* ctx, const xmlChar*, const xmlChar*, const xmlChar*) {
  Guard(ctx, [&](TBuilder& b) {
    if (b.stack.empty()) return;
    TXmlDocument::TRec& r = b.doc->At(b.stack.back().rec);
    if (b.pending && r.childCount == 0) {
      // The element's sole content, kept even when blank.
      b.pending = false;
      r.inlineText = true;
      r.textOff = b.pendingStart;
      r.textLen = static_cast<std::uint32_t>(b.doc->text.size() - b.pendingStart);
      r.childCount = 1;
    } else {
      b.FlushPending();
    }
    b.stack.pop_back();
  });
}

void OnCharacters(void* ctx, const xmlChar* ch, int len) {
  Guard(ctx, [&](TBuilder& b) {
    if (b.stack.empty() || len <= 0) return;
    const auto* s = reinterpret_cast<const char*>(ch);
    if (!b.pending) {
      b.pending = true;
      b.pendingBlank = true;
      b.pendingStart = b.doc->AddText(s, static_cast<std::size_t>(len));
    } else {
      b.doc->AddText(s, static_cast<std::size_t>(len));
    }
    if (b.pendingBlank) {
      for (int i = 0; i < len; ++i) {
        if (!IsXmlBlank(s[i])) {
          b.pendingBlank = false;
          break;
        }
      }
    }
  });
}

void AddValueNode(TBuilder& b, std::uint32_t name, TXmlNode::TNodeType type, const xmlChar* value, std::size_t len) {
  b.FlushPending();
  const std::uint32_t rec = b.doc->NewRec(name, type);
  if (value != nullptr) {
    b.doc->At(rec).textOff = b.doc->AddText(reinterpret_cast<const char*>(value), len);
    b.doc->At(rec).textLen = static_cast<std::uint32_t>(len);
  }
  b.Append(rec);
}

void OnCData(void* ctx, const xmlChar* value, int len) {
  Guard(ctx, [&](TBuilder& b) {
    if (b.stack.empty()) return;
    AddValueNode(b, kNameCData, TXmlNode::ntCData, value, static_cast<std::size_t>(len < 0 ? 0 : len));
  });
}

void OnComment(void* ctx, const xmlChar* value) {
  Guard(ctx, [&](TBuilder& b) {
    const std::size_t len = value ? std::strlen(reinterpret_cast<const char*>(value)) : 0;
    AddValueNode(b, kNameComment, TXmlNode::ntComment, value, len);
  });
}

void OnProcessingInstruction(void* ctx, const xmlChar* target, const xmlChar* data) {
  Guard(ctx, [&](TBuilder& b) {
    const std::size_t len = data ? std::strlen(reinterpret_cast<const char*>(data)) : 0;
    AddValueNode(b, b.doc->NameId(reinterpret_cast<const char*>(target)), TXmlNode::ntProcessingInstruction, data,
                 len);
  });
}

void OnInternalSubset(void* ctx, const xmlChar* name, const xmlChar*, const xmlChar*) {
  Guard(ctx, [&](TBuilder& b) {
    // A document type always stands before the root element, so such a document can never load; stopping
    // here also keeps entity declarations (and their expansion) out of the reader.
    AddValueNode(b, b.doc->NameId(name ? reinterpret_cast<const char*>(name) : ""), TXmlNode::ntDocumentType,
                 nullptr, 0);
    b.stoppedAtDoctype = true;
    xmlStopParser(b.ctxt);
  });
}

void OnError(void* ctx, xmlErrorPtr error) {
  TBuilder& b = B(ctx);
  if (error == nullptr || error->level < XML_ERR_ERROR || !b.firstError.empty()) return;
  std::string message = error->message ? error->message : "unknown error";
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) message.pop_back();
  b.firstError = fmt::sprintf("line %d: %s", error->line, message);
}

// True when the bytes start with an XML declaration ("<?xml" and a blank), after a byte-order mark.
bool StartsWithXmlDeclaration(std::string_view head) {
  auto matches = [&](std::size_t start, std::size_t step, std::size_t pad) {
    static const char decl[] = "<?xml";
    for (std::size_t i = 0; i < 6; ++i) {
      const std::size_t pos = start + i * step + pad;
      if (pos >= head.size()) return false;
      const char c = head[pos];
      if (i < 5 ? c != decl[i] : !IsXmlBlank(c)) return false;
      for (std::size_t k = 0; k < step; ++k) {
        if (k != pad && head[start + i * step + k] != 0) return false;
      }
    }
    return true;
  };
  if (head.substr(0, 3) == "\xEF\xBB\xBF") return matches(3, 1, 0);
  if (head.substr(0, 2) == "\xFF\xFE") return matches(2, 2, 0);
  if (head.substr(0, 2) == "\xFE\xFF") return matches(2, 2, 1);
  return matches(0, 1, 0) || matches(0, 2, 0) || matches(0, 2, 1);
}

struct TFileSource {
  std::FILE* file = nullptr;
  int error = 0;
};

int ReadFile(void* context, char* buffer, int len) {
  auto* src = static_cast<TFileSource*>(context);
  const std::size_t n = std::fread(buffer, 1, static_cast<std::size_t>(len), src->file);
  if (n == 0 && std::ferror(src->file)) {
    src->error = errno;
    return -1;
  }
  return static_cast<int>(n);
}

struct TMemorySource {
  std::string_view text;
  std::size_t pos = 0;
};

int ReadMemory(void* context, char* buffer, int len) {
  auto* src = static_cast<TMemorySource*>(context);
  const std::size_t n = std::min(static_cast<std::size_t>(len), src->text.size() - src->pos);
  std::memcpy(buffer, src->text.data() + src->pos, n);
  src->pos += n;
  return static_cast<int>(n);
}

int CloseNothing(void*) { return 0; }

}  // namespace

TXmlDocument::TXmlDocument() : impl_(std::make_unique<TImpl>()) {}
TXmlDocument::~TXmlDocument() = default;

std::size_t TXmlDocument::ChildCount() const { return impl_->topCount; }

TXmlNode TXmlDocument::FirstChild() const {
  if (impl_->topCount == 0) throw EXmlDocumentError("List index out of bounds (0): the document has no nodes.");
  return TXmlNode(this, impl_->firstTop);
}

namespace {

std::unique_ptr<TXmlDocument> Parse(std::unique_ptr<TXmlDocument> doc, TXmlDocument::TImpl* impl,
                                     std::string_view head, xmlInputReadCallback read, void* source,
                                     const std::string& what) {
  xmlInitParser();
  TBuilder b;
  b.doc = impl;
  if (StartsWithXmlDeclaration(head)) {
    // libxml2 reports no node for the declaration; the document model of the files has one, named "xml".
    const std::uint32_t rec = impl->NewRec(impl->NameId("xml"), TXmlNode::ntProcessingInstruction);
    b.Append(rec);
  }
  xmlSAXHandler sax;
  std::memset(&sax, 0, sizeof sax);
  sax.initialized = XML_SAX2_MAGIC;
  sax.startElementNs = OnStartElement;
  sax.endElementNs = OnEndElement;
  sax.characters = OnCharacters;
  sax.ignorableWhitespace = OnCharacters;
  sax.cdataBlock = OnCData;
  sax.comment = OnComment;
  sax.processingInstruction = OnProcessingInstruction;
  sax.internalSubset = OnInternalSubset;
  sax.serror = OnError;
  xmlParserCtxtPtr ctxt = xmlCreateIOParserCtxt(&sax, &b, read, CloseNothing, source, XML_CHAR_ENCODING_NONE);
  if (ctxt == nullptr) throw EXmlDocumentError(fmt::sprintf("Cannot parse %s: out of memory.", what));
  b.ctxt = ctxt;
  xmlCtxtUseOptions(ctxt, XML_PARSE_NOENT | XML_PARSE_NONET | XML_PARSE_HUGE);
  xmlParseDocument(ctxt);
  const bool wellFormed = ctxt->wellFormed != 0;
  xmlFreeParserCtxt(ctxt);
  if (!b.failure.empty()) throw EXmlDocumentError(fmt::sprintf("Cannot parse %s: %s", what, b.failure));
  if (!b.stoppedAtDoctype && !wellFormed) {
    throw EXmlDocumentError(
        fmt::sprintf("Cannot parse %s: %s", what, b.firstError.empty() ? "not well-formed" : b.firstError));
  }
  return doc;
}

}  // namespace

std::unique_ptr<TXmlDocument> TXmlDocument::ParseMemory(std::string_view text) {
  std::unique_ptr<TXmlDocument> doc(new TXmlDocument());
  TImpl* impl = doc->impl_.get();
  TMemorySource src{text, 0};
  return Parse(std::move(doc), impl, text.substr(0, 16), ReadMemory, &src, "the XML text");
}

std::unique_ptr<TXmlDocument> TXmlDocument::ParseFile(const std::string& fileName) {
  TFileSource src;
  src.file = std::fopen(fileName.c_str(), "rb");
  if (src.file == nullptr) {
    throw EFOpenError(fmt::sprintf("Cannot open file \"%s\". %s", fileName, std::strerror(errno)));
  }
  struct TCloser {
    std::FILE* f;
    ~TCloser() { std::fclose(f); }
  } closer{src.file};
  std::setvbuf(src.file, nullptr, _IOFBF, 1 << 20);
  char head[16];
  const std::size_t headLen = std::fread(head, 1, sizeof head, src.file);
  if (std::fseek(src.file, 0, SEEK_SET) != 0) {
    throw EFOpenError(fmt::sprintf("Cannot read file \"%s\". %s", fileName, std::strerror(errno)));
  }
  std::unique_ptr<TXmlDocument> doc(new TXmlDocument());
  TImpl* impl = doc->impl_.get();
  doc = Parse(std::move(doc), impl, std::string_view(head, headLen), ReadFile, &src,
              fmt::sprintf("file \"%s\"", fileName));
  if (src.error != 0) {
    throw EInOutError(fmt::sprintf("Cannot read file \"%s\". %s", fileName, std::strerror(src.error)));
  }
  return doc;
}

// ---- Reading objects ----

namespace {

using xml_internal::Need;

struct TLoadState {
  // Objects stored in references that do not own them: freed here if the load fails, handed to the
  // caller (through the graph) when it succeeds.
  std::vector<std::unique_ptr<TXMLPersistentObject>> referenced;
  // Some object gave a property twice; the later value replaced the earlier one.
  bool repeated = false;
};

std::string Trimmed(std::string_view text) {
  std::size_t b = 0;
  std::size_t e = text.size();
  while (b < e && text[b] == ' ') ++b;
  while (e > b && text[e - 1] == ' ') --e;
  return std::string(text.substr(b, e - b));
}

double ParseFloat(std::string_view text) {
  std::string t = Trimmed(text);
  std::string_view s = t;
  if (!s.empty() && s[0] == '+') s.remove_prefix(1);
  double value = 0;
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
  if (s.empty() || ec != std::errc() || end != s.data() + s.size()) {
    throw EConvertError(fmt::sprintf("'%s' is not a valid floating point value", std::string(text)));
  }
  return value;
}

std::int64_t ParseInt64(std::string_view text) {
  std::string t = Trimmed(text);
  std::string_view s = t;
  if (!s.empty() && s[0] == '+' && s.size() > 1 && s[1] != '-') s.remove_prefix(1);
  std::int64_t value = 0;
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
  if (s.empty() || ec != std::errc() || end != s.data() + s.size()) {
    throw EConvertError(fmt::sprintf("'%s' is not a valid integer value", std::string(text)));
  }
  return value;
}

std::unique_ptr<TXMLPersistentObject> LoadObjectImpl(const TXmlNode& node, TLoadState& st, const TXmlClass* owner,
                                                     const TPropertyInfo* holder);

// Loads the object element node for the reference or array property holder of owner and refuses a
// class that the property cannot hold.
std::unique_ptr<TXMLPersistentObject> LoadReference(const TXmlNode& node, TLoadState& st, const TXmlClass& owner,
                                                    const TPropertyInfo& holder) {
  return LoadObjectImpl(node, st, &owner, &holder);
}

// Hands child to the holder through set; keeps it in st when the holder does not own it.
template <class S>
void Store(std::unique_ptr<TXMLPersistentObject> child, const TPropertyInfo& prop, TLoadState& st, S set) {
  TXMLPersistentObject* p = child.get();
  if (prop.Ownership == xoReferenced) {
    st.referenced.push_back(std::move(child));
    set(p);
  } else {
    set(p);
    child.release();
  }
}

void LoadArray(TXMLPersistentObject& obj, const TXmlClass& cls, const TPropertyInfo& prop, const TXmlNode& child,
               TLoadState& st) {
  switch (prop.ItemKind) {
    case pkInteger: case pkShortString: case pkString: case pkWideString: case pkClass:
      break;
    default:
      throw Exception(fmt::sprintf("Element type %d not implemented.", static_cast<int>(prop.ItemKind)));
  }
  Need(prop.SetLength, cls, prop)(obj, child.ChildCount());
  std::size_t j = 0;
  child.ForEachChild([&](const TXmlNode& item) {
    switch (prop.ItemKind) {
      case pkInteger:
        Need(prop.SetIntItem, cls, prop)(obj, j, StrToInt(std::string(item.Attribute("v"))));
        break;
      case pkClass: {
        const auto& set = Need(prop.SetObjectItem, cls, prop);
        Store(LoadReference(item, st, cls, prop), prop, st, [&](TXMLPersistentObject* p) { set(obj, j, p); });
        break;
      }
      default:
        Need(prop.SetTextItem, cls, prop)(obj, j, item.Value());
        break;
    }
    ++j;
  });
}

// Loads one property element into obj and returns the property it set.
const TPropertyInfo& LoadProperty(TXMLPersistentObject& obj, const TXmlClass& cls, const TXmlNode& child,
                                  TLoadState& st) {
  const TPropertyInfo* found = cls.FindProperty(child.Name());
  if (found == nullptr) {
    throw EXmlPersistance(fmt::sprintf("Property name %s not found in class.", std::string(child.Name())));
  }
  const TPropertyInfo& prop = *found;
  bool isNull = false;
  std::string_view value;
  if (prop.Kind != pkClass && prop.Kind != pkMethod && prop.Kind != pkDynArray) value = child.Value(&isNull);
  switch (prop.Kind) {
    case pkInteger: case pkChar: case pkEnumeration: case pkSet: case pkWideChar:
      Need(prop.SetOrdinal, cls, prop)(obj, StrToInt(std::string(value)));
      break;
    case pkFloat:
      Need(prop.SetFloat, cls, prop)(obj, ParseFloat(value));
      break;
    case pkInt64:
      Need(prop.SetInt64, cls, prop)(obj, ParseInt64(value));
      break;
    case pkShortString: case pkString: case pkWideString:
      Need(prop.SetText, cls, prop)(obj, value);
      break;
    case pkVariant:
      Need(prop.SetVariant, cls, prop)(obj, isNull ? TXmlVariant(TXmlNull{}) : TXmlVariant(std::string(value)));
      break;
    case pkClass: {
      const auto& set = Need(prop.SetObject, cls, prop);
      if (child.Attribute("isNull") == "true") {
        set(obj, nullptr);
      } else {
        Store(LoadReference(child.FirstChild(), st, cls, prop), prop, st,
              [&](TXMLPersistentObject* p) { set(obj, p); });
      }
      break;
    }
    case pkMethod:
      break;
    case pkDynArray:
      LoadArray(obj, cls, prop, child, st);
      break;
    default:
      throw EXmlPersistance(fmt::sprintf("Property type %d not implemented.", static_cast<int>(prop.Kind)));
  }
  return prop;
}

// After a load in which a property was given twice: frees the objects kept for references that the
// loaded graph no longer reaches. The later value replaced them, directly or with an owned object
// that referred to them, and nobody else can free them.
void FreeUnreached(const TXMLPersistentObject& root, TLoadState& st) {
  std::unordered_set<const TXMLPersistentObject*> reached;
  std::vector<const TXMLPersistentObject*> pending{&root};
  while (!pending.empty()) {
    const TXMLPersistentObject* obj = pending.back();
    pending.pop_back();
    if (!reached.insert(obj).second) continue;
    for (const TPropertyInfo& prop : obj->XmlClass().Properties()) {
      if (prop.Kind == pkClass && prop.GetObject) {
        if (const TXMLPersistentObject* p = prop.GetObject(*obj)) pending.push_back(p);
      } else if (prop.Kind == pkDynArray && prop.ItemKind == pkClass && prop.GetLength && prop.GetObjectItem) {
        const std::size_t n = prop.GetLength(*obj);
        for (std::size_t i = 0; i < n; ++i) {
          if (const TXMLPersistentObject* p = prop.GetObjectItem(*obj, i)) pending.push_back(p);
        }
      }
    }
  }
  std::erase_if(st.referenced, [&](const std::unique_ptr<TXMLPersistentObject>& p) { return !reached.count(p.get()); });
}

std::unique_ptr<TXMLPersistentObject> LoadObjectImpl(const TXmlNode& node, TLoadState& st, const TXmlClass* owner,
                                                     const TPropertyInfo* holder) {
  const std::string_view name = node.Name();
  if (llFullDebug <= LogLevel) XmlLog("loading from xml " + std::string(name), llFullDebug);
  const TXmlClass* cls = FindXmlClass(name);
  if (cls == nullptr) throw EXmlPersistance(fmt::sprintf("Xml class %s is not registered.", std::string(name)));
  if (holder != nullptr && holder->DeclaredClass != nullptr) {
    const TXmlClass& declared = holder->DeclaredClass();
    if (!cls->InheritsFrom(declared)) {
      throw EXmlPersistance(fmt::sprintf("Class %s does not fit property %s of class %s, which holds %s.",
                                         cls->Name(), holder->Name, owner->Name(), declared.Name()));
    }
  }
  std::unique_ptr<TXMLPersistentObject> obj = cls->CreateBlank();
  const std::size_t classCount = cls->Properties().size();
  const std::size_t xmlCount = node.ChildCount();
  if (classCount != xmlCount) {
    throw EXmlPersistance(fmt::sprintf(
        "Property list not consistent. %d properties found in class and %d properties found in XML.",
        static_cast<int>(classCount), static_cast<int>(xmlCount)));
  }
  // Which properties were given, to notice one given twice (classes have far fewer than 64; beyond
  // that a repeat is assumed, which only costs the check after the load).
  std::uint64_t given = 0;
  const TPropertyInfo* first = cls->Properties().data();
  node.ForEachChild([&](const TXmlNode& child) {
    const auto index = static_cast<std::size_t>(&LoadProperty(*obj, *cls, child, st) - first);
    const std::uint64_t bit = index < 64 ? std::uint64_t{1} << index : 0;
    if (bit == 0 || (given & bit) != 0) st.repeated = true;
    given |= bit;
  });
  if (llFullDebug <= LogLevel) XmlLog("done loading from xml " + std::string(name), llFullDebug);
  return obj;
}

}  // namespace

std::unique_ptr<TXMLPersistentObject> TXmlPersistance::LoadObject(const TXmlNode& Node) {
  TLoadState st;
  std::unique_ptr<TXMLPersistentObject> result = LoadObjectImpl(Node, st, nullptr, nullptr);
  if (st.repeated) FreeUnreached(*result, st);
  // Success: the graph now refers to these objects; the caller settles who frees them.
  for (auto& p : st.referenced) p.release();
  return result;
}

std::unique_ptr<TXMLPersistentObject> TXmlPersistance::LoadFromFile(const std::string& FileName) {
  std::unique_ptr<TXmlDocument> doc = TXmlDocument::ParseFile(FileName);
  TXmlNode first = doc->FirstChild();
  const TXmlNode objectNode = first.Name() == "DUMMY_NODE" ? first.FirstChild() : first;
  return LoadObject(objectNode);
}
