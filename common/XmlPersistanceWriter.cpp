// Object-to-XML writer: TXmlWriter produces the bytes directly (no document tree is built), so a tree
// of a million objects is written in one pass with little memory.
#include <errno.h>
#include <fcntl.h>
#include <fmt/printf.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>

#include "common/XmlPersistance.h"
#include "common/XmlPersistanceInternal.h"
#include "common/file_mode.h"

namespace {

constexpr std::size_t kFlushSize = 1 << 20;
constexpr char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD

// Length of the valid UTF-8 sequence at s[i] that XML may carry, or 0.
std::size_t XmlCharLength(std::string_view s, std::size_t i) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  std::size_t len = 0;
  std::uint32_t c = 0;
  std::uint32_t min = 0;
  if (b0 >= 0xC2 && b0 <= 0xDF) len = 2, c = b0 & 0x1F, min = 0x80;
  else if (b0 >= 0xE0 && b0 <= 0xEF) len = 3, c = b0 & 0x0F, min = 0x800;
  else if (b0 >= 0xF0 && b0 <= 0xF4) len = 4, c = b0 & 0x07, min = 0x10000;
  else return 0;
  if (i + len > s.size()) return 0;
  for (std::size_t k = 1; k < len; ++k) {
    const auto b = static_cast<unsigned char>(s[i + k]);
    if ((b & 0xC0) != 0x80) return 0;
    c = (c << 6) | (b & 0x3F);
  }
  if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF) || c == 0xFFFE || c == 0xFFFF) return 0;
  return len;
}

}  // namespace

// ---- TXmlWriter ----

TXmlWriter::TXmlWriter(bool formatted) : formatted_(formatted) {}

TXmlWriter::TXmlWriter(bool formatted, int fd) : formatted_(formatted), fd_(fd) { buffer_.reserve(kFlushSize * 2); }

void TXmlWriter::NewLine(std::size_t depth) {
  static const std::string spaces(256, ' ');
  buffer_ += "\r\n";
  std::size_t n = depth * 2;
  while (n > 0) {
    const std::size_t k = std::min(n, spaces.size());
    buffer_.append(spaces, 0, k);
    n -= k;
  }
}

void TXmlWriter::CloseStartTag() {
  if (startTagOpen_) {
    buffer_ += '>';
    startTagOpen_ = false;
  }
}

void TXmlWriter::StartElement(std::string_view name) {
  CloseStartTag();
  if (!open_.empty()) hasChildren_.back() = true;
  if (formatted_ && started_) NewLine(open_.size());
  started_ = true;
  buffer_ += '<';
  buffer_ += name;
  open_.emplace_back(name);
  hasChildren_.push_back(false);
  startTagOpen_ = true;
}

void TXmlWriter::Attribute(std::string_view name, std::string_view value) {
  buffer_ += ' ';
  buffer_ += name;
  buffer_ += "=\"";
  AppendEscaped(value, true);
  buffer_ += '"';
}

void TXmlWriter::Text(std::string_view text) {
  if (text.empty()) return;
  CloseStartTag();
  AppendEscaped(text, false);
}

void TXmlWriter::EndElement() {
  if (startTagOpen_) {
    buffer_ += "/>";
    startTagOpen_ = false;
  } else {
    if (formatted_ && hasChildren_.back()) NewLine(open_.size() - 1);
    buffer_ += "</";
    buffer_ += open_.back();
    buffer_ += '>';
  }
  open_.pop_back();
  hasChildren_.pop_back();
  if (fd_ >= 0 && buffer_.size() >= kFlushSize) Flush();
}

void TXmlWriter::AppendEscaped(std::string_view text, bool attribute) {
  std::size_t plainStart = 0;
  auto flushPlain = [&](std::size_t end) {
    if (end > plainStart) buffer_.append(text.data() + plainStart, end - plainStart);
  };
  std::size_t i = 0;
  while (i < text.size()) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c < 0x80 && c != '&' && c != '<' && c != '>' && c != '"') {
      ++i;
      continue;
    }
    if (c >= 0x80) {
      const std::size_t len = XmlCharLength(text, i);
      if (len != 0) {
        i += len;
        continue;
      }
    }
    flushPlain(i);
    switch (c) {
      case '&': buffer_ += "&amp;"; break;
      case '<': buffer_ += "&lt;"; break;
      case '>': buffer_ += "&gt;"; break;
      case '"':
        if (attribute) buffer_ += "&quot;";
        else buffer_ += '"';
        break;
      // A parser turns a raw CR into LF and, in attributes, tab and LF into spaces: references keep
      // them. LF is a reference in text too, so that every line of the file ends in CR LF.
      case '\r': buffer_ += "&#13;"; break;
      case '\n': buffer_ += "&#10;"; break;
      case '\t':
        if (attribute) buffer_ += "&#9;";
        else buffer_ += '\t';
        break;
      default: buffer_ += kReplacement; break;  // not representable in XML
    }
    ++i;
    plainStart = i;
  }
  flushPlain(text.size());
}

void TXmlWriter::Flush() {
  std::size_t done = 0;
  while (done < buffer_.size()) {
    const ssize_t n = ::write(fd_, buffer_.data() + done, buffer_.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw EInOutError(fmt::sprintf("Cannot write the XML file. %s", std::strerror(errno)));
    }
    done += static_cast<std::size_t>(n);
  }
  buffer_.clear();
}

void TXmlWriter::Finish() {
  CloseStartTag();
  if (formatted_ && started_) buffer_ += "\r\n";
  if (fd_ >= 0) Flush();
}

// ---- Values as text ----

namespace xml_internal {

std::string FormatFloat(double value) {
  if (std::isnan(value)) return "NAN";
  if (std::isinf(value)) return value < 0 ? "-INF" : "INF";
  if (value == 0) return std::signbit(value) ? "-0" : "0";
  // 15 significant digits: d.dddddddddddddde[+-]x
  char buf[40];
  std::snprintf(buf, sizeof buf, "%.14e", value);
  std::string_view s(buf);
  const bool negative = s[0] == '-';
  if (negative) s.remove_prefix(1);
  const std::size_t ePos = s.find('e');
  const int exponent = std::atoi(std::string(s.substr(ePos + 1)).c_str());
  std::string digits;
  digits += s[0];
  digits.append(s.substr(2, ePos - 2));
  while (digits.size() > 1 && digits.back() == '0') digits.pop_back();

  std::string out = negative ? "-" : "";
  if (exponent >= 15 || exponent < -4) {
    out += digits[0];
    if (digits.size() > 1) {
      out += '.';
      out.append(digits, 1);
    }
    out += 'E';
    out += std::to_string(exponent);
  } else if (exponent >= 0) {
    const std::size_t intDigits = static_cast<std::size_t>(exponent) + 1;
    if (digits.size() <= intDigits) {
      out += digits;
      out.append(intDigits - digits.size(), '0');
    } else {
      out.append(digits, 0, intDigits);
      out += '.';
      out.append(digits, intDigits);
    }
  } else {
    out += "0.";
    out.append(static_cast<std::size_t>(-exponent - 1), '0');
    out += digits;
  }
  return out;
}

std::string VariantText(const TXmlVariant& v) {
  struct TVisitor {
    std::string operator()(std::monostate) const { return {}; }
    std::string operator()(TXmlNull) const { return {}; }
    std::string operator()(std::int64_t n) const { return std::to_string(n); }
    std::string operator()(double d) const { return FormatFloat(d); }
    std::string operator()(bool b) const { return b ? "True" : "False"; }
    std::string operator()(const std::string& s) const { return s; }
  };
  return std::visit(TVisitor{}, v);
}

}  // namespace xml_internal

// ---- SaveObject ----

namespace {

using xml_internal::Need;

struct TSaveState {
  // Objects whose elements are open, to refuse a cycle.
  std::vector<const TXMLPersistentObject*> path;
  std::string text;
  char number[24];
};

void SaveObjectImpl(const TXMLPersistentObject& obj, TXmlWriter& w, TSaveState& st);

void SaveReference(const TXMLPersistentObject* ref, const TXmlClass& owner, const TPropertyInfo& prop,
                   TXmlWriter& w, TSaveState& st) {
  if (ref == nullptr) {
    throw EXmlPersistance(fmt::sprintf("Property %s of class %s holds a null object in its array.", prop.Name,
                                       owner.Name()));
  }
  for (const TXMLPersistentObject* open : st.path) {
    if (open == ref) {
      throw EXmlPersistance(fmt::sprintf(
          "Property %s of class %s refers to an object that contains it; a cycle cannot be saved.", prop.Name,
          owner.Name()));
    }
  }
  if (w.Depth() + 3 > xml_internal::kMaxDepth) {
    throw EXmlPersistance(fmt::sprintf("Property %s of class %s nests objects deeper than %d XML levels.",
                                       prop.Name, owner.Name(), static_cast<int>(xml_internal::kMaxDepth)));
  }
  SaveObjectImpl(*ref, w, st);
}

void SaveProperty(const TXMLPersistentObject& obj, const TXmlClass& cls, const TPropertyInfo& prop, TXmlWriter& w,
                  TSaveState& st) {
  auto writeText = [&](std::string_view text) {
    w.StartElement(prop.Name);
    w.Text(text);
    w.EndElement();
  };
  auto writeInt = [&](std::int64_t n) {
    const int len = std::snprintf(st.number, sizeof st.number, "%lld", static_cast<long long>(n));
    writeText(std::string_view(st.number, static_cast<std::size_t>(len)));
  };
  switch (prop.Kind) {
    case pkInteger: case pkChar: case pkEnumeration: case pkSet: case pkWideChar:
      writeInt(Need(prop.GetOrdinal, cls, prop)(obj));
      break;
    case pkInt64:
      writeInt(Need(prop.GetInt64, cls, prop)(obj));
      break;
    case pkFloat:
      writeText(xml_internal::FormatFloat(Need(prop.GetFloat, cls, prop)(obj)));
      break;
    case pkShortString: case pkString: case pkWideString:
      st.text.clear();
      Need(prop.GetText, cls, prop)(obj, st.text);
      writeText(st.text);
      break;
    case pkVariant:
      writeText(xml_internal::VariantText(Need(prop.GetVariant, cls, prop)(obj)));
      break;
    case pkMethod:
      writeText("<not assigned>");
      break;
    case pkClass: {
      const TXMLPersistentObject* ref = Need(prop.GetObject, cls, prop)(obj);
      w.StartElement(prop.Name);
      if (ref == nullptr) w.Attribute("isNull", "true");
      else SaveReference(ref, cls, prop, w, st);
      w.EndElement();
      break;
    }
    case pkDynArray: {
      Assert(prop.Dimensions == 1, "Only single dimension arrays are supported.", "common\\XmlPersistance", 370);
      w.StartElement(prop.Name);
      switch (prop.ItemKind) {
        case pkInteger: {
          const std::size_t n = Need(prop.GetLength, cls, prop)(obj);
          const auto& get = Need(prop.GetIntItem, cls, prop);
          for (std::size_t i = 0; i < n; ++i) {
            const int len = std::snprintf(st.number, sizeof st.number, "%d", get(obj, i));
            w.StartElement("e");
            w.Attribute("v", std::string_view(st.number, static_cast<std::size_t>(len)));
            w.EndElement();
          }
          break;
        }
        case pkShortString: case pkString: case pkWideString: {
          const std::size_t n = Need(prop.GetLength, cls, prop)(obj);
          const auto& get = Need(prop.GetTextItem, cls, prop);
          for (std::size_t i = 0; i < n; ++i) {
            st.text.clear();
            get(obj, i, st.text);
            w.StartElement("e");
            w.Text(st.text);
            w.EndElement();
          }
          break;
        }
        case pkClass: {
          const std::size_t n = Need(prop.GetLength, cls, prop)(obj);
          const auto& get = Need(prop.GetObjectItem, cls, prop);
          for (std::size_t i = 0; i < n; ++i) SaveReference(get(obj, i), cls, prop, w, st);
          break;
        }
        default:
          throw Exception(fmt::sprintf("Element type %d not implemented.", static_cast<int>(prop.ItemKind)));
      }
      w.EndElement();
      break;
    }
    default:
      throw EXmlPersistance(fmt::sprintf("Property type %d not implemented.", static_cast<int>(prop.Kind)));
  }
}

void SaveObjectImpl(const TXMLPersistentObject& obj, TXmlWriter& w, TSaveState& st) {
  const TXmlClass& cls = obj.XmlClass();
  // A class that forgot WEXA_XML_CLASS would silently be written as its base class.
  if (std::type_index(typeid(obj)) != cls.Type()) {
    throw EXmlPersistance(fmt::sprintf("An object of type %s has no published-property table of its own (%s).",
                                       typeid(obj).name(), cls.Name()));
  }
  if (llFullDebug <= LogLevel) XmlLog("saving to xml " + cls.Name(), llFullDebug);
  w.StartElement(cls.Name());
  st.path.push_back(&obj);
  for (const TPropertyInfo* prop : cls.SortedProperties()) SaveProperty(obj, cls, *prop, w, st);
  st.path.pop_back();
  w.EndElement();
  if (llFullDebug <= LogLevel) XmlLog("done saving to xml " + cls.Name(), llFullDebug);
}

void RequireObject(const TXMLPersistentObject* Obj) {
  if (Obj == nullptr) throw EXmlPersistance("Cannot save a null object.");
}

}  // namespace

void TXmlPersistance::SaveObject(const TXMLPersistentObject* Obj, TXmlWriter& ParentNode) {
  RequireObject(Obj);
  TSaveState st;
  SaveObjectImpl(*Obj, ParentNode, st);
}

void TXmlPersistance::SaveToString(const TXMLPersistentObject* Obj, bool Formatted, std::string& Text) {
  RequireObject(Obj);
  TXmlWriter w(Formatted);
  if (Formatted) w.StartElement("DUMMY_NODE");
  SaveObject(Obj, w);
  if (Formatted) w.EndElement();
  w.Finish();
  Text = w.Take();
}

void TXmlPersistance::SaveToFile(const TXMLPersistentObject* Obj, const std::string& FileName) {
  RequireObject(Obj);
  // The old file stays whole until the new one is complete: write beside it, then rename over it.
  std::string tempName = FileName + ".XXXXXX";
  const int fd = ::mkstemp(tempName.data());
  if (fd < 0) throw EFCreateError(fmt::sprintf("Cannot create file \"%s\". %s", FileName, std::strerror(errno)));
  bool open = true;
  try {
    ::fchmod(fd, ReplacementFileMode(FileName));
    {
      TXmlWriter w(true, fd);
      w.StartElement("DUMMY_NODE");
      SaveObject(Obj, w);
      w.EndElement();
      w.Finish();
    }
    // Flushed to the system, not synced to the disk: a killed process cannot lose what write() took,
    // and syncing a file of several hundred megabytes would take longer than the whole save.
    open = false;
    if (::close(fd) != 0) {
      throw EInOutError(fmt::sprintf("Cannot write file \"%s\". %s", FileName, std::strerror(errno)));
    }
  } catch (...) {
    if (open) ::close(fd);
    ::unlink(tempName.c_str());
    throw;
  }
  if (::rename(tempName.c_str(), FileName.c_str()) != 0) {
    const int err = errno;
    ::unlink(tempName.c_str());
    throw EFCreateError(fmt::sprintf("Cannot create file \"%s\". %s", FileName, std::strerror(err)));
  }
}
