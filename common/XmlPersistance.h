#pragma once
// XML object persistence. Writes a graph of persistable objects to XML, one element per object named
// after its class with one child element per published property, and builds the graph again from such
// XML. Nothing here knows the program's classes: everything is driven by the published-property table
// that each persistable class declares once (WEXA_XML_CLASS in the class, WEXA_XML_PUBLISH in a .cpp).
//
// Declaring a persistable class:
//
//   class TCategory : public TBaseCategory {
//     WEXA_XML_CLASS(TCategory)
//    public:
//     explicit TCategory(TXmlBlank blank) : TBaseCategory(blank) {}   // blank instance for the reader
//     int ID = 0;
//     int Content = 0;
//   };
//   // once per class, after it; the base class's properties are inherited:
//   WEXA_XML_PUBLISH(TCategory, TBaseCategory,
//                    XmlProperty("ID", &TCategory::ID),
//                    XmlProperty("Content", &TCategory::Content))
//
// Threading: the class registry is guarded by a re-entrant lock and may be used from any thread. The
// writer and the reader keep no state between calls; one call must not share its objects with another
// thread while it runs.

#include <bitset>
#include <concepts>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <type_traits>
#include <typeindex>
#include <typeinfo>
#include <utility>
#include <variant>
#include <vector>

#include "common/exceptions.h"
#include "common/logging.h"
#include "common/object.h"
#include "common/utf.h"

// Kinds of published properties. The numbers are part of the unit's error messages.
enum TPropertyKind : int {
  pkUnknown = 0,
  pkInteger = 1,
  pkChar = 2,
  pkEnumeration = 3,
  pkFloat = 4,
  pkShortString = 5,
  pkSet = 6,
  pkClass = 7,
  pkMethod = 8,
  pkWideChar = 9,
  pkString = 10,
  pkWideString = 11,
  pkVariant = 12,
  pkArray = 13,
  pkRecord = 14,
  pkInterface = 15,
  pkInt64 = 16,
  pkDynArray = 17,
};

// Failures of the persistence's own checks.
WEXA_DECLARE_EXCEPTION(EXmlPersistance, Exception)
// Failures of the XML document itself: a file that is not well-formed XML, an element that holds
// child elements where a text value is needed, a missing child node.
WEXA_DECLARE_EXCEPTION(EXmlDocumentError, Exception)

// Whether an object reference stored by the reader passes ownership to the object that holds it.
enum TXmlOwnership {
  xoOwned,       // the holder frees it (std::unique_ptr fields, or a destructor that deletes it)
  xoReferenced,  // the holder never frees it; after a load the caller settles who does
};

// Tag of the blank constructor: T(TXmlBlank) must leave every field zero, empty or null and run none of
// the class's own construction logic. The reader creates objects with it and then sets every property.
// A class without such a constructor is created with T{} instead.
struct TXmlBlank {};

// Value of a pkVariant property: unassigned, null, or one value.
struct TXmlNull {
  bool operator==(const TXmlNull&) const = default;
};
using TXmlVariant = std::variant<std::monostate, TXmlNull, std::int64_t, double, bool, std::string>;

class TXmlClass;
class TXMLPersistentObject;

// One published property: its name in the letter case of its declaration, its kind, and the type-erased
// accessors that the writer and reader use. Built by the XmlProperty family below; only the accessors
// that fit the kind are set. Array accessors work on a vector the holder keeps (member or reference).
struct TPropertyInfo {
  using TObj = TXMLPersistentObject;

  std::string Name;
  TPropertyKind Kind = pkUnknown;
  // pkDynArray: number of dimensions (a vector of vectors has 2) and the kind of the items.
  int Dimensions = 0;
  TPropertyKind ItemKind = pkUnknown;
  // pkClass, and pkDynArray of pkClass: the declared class of the referenced objects, and whether the
  // holder owns what the reader stores into it.
  const TXmlClass& (*DeclaredClass)() = nullptr;
  TXmlOwnership Ownership = xoOwned;

  // pkInteger, pkChar, pkEnumeration, pkSet, pkWideChar: the ordinal as a 32-bit signed integer.
  std::function<std::int32_t(const TObj&)> GetOrdinal;
  std::function<void(TObj&, std::int32_t)> SetOrdinal;
  std::function<std::int64_t(const TObj&)> GetInt64;
  std::function<void(TObj&, std::int64_t)> SetInt64;
  std::function<double(const TObj&)> GetFloat;
  std::function<void(TObj&, double)> SetFloat;
  // The three string kinds: UTF-8 text. GetText appends to out.
  std::function<void(const TObj&, std::string& out)> GetText;
  std::function<void(TObj&, std::string_view)> SetText;
  std::function<TXmlVariant(const TObj&)> GetVariant;
  std::function<void(TObj&, TXmlVariant)> SetVariant;
  // pkClass. SetObject stores the pointer; with xoOwned the holder takes it over.
  std::function<TObj*(const TObj&)> GetObject;
  std::function<void(TObj&, TObj*)> SetObject;
  // pkDynArray. SetLength replaces the array by one of n blank items.
  std::function<std::size_t(const TObj&)> GetLength;
  std::function<void(TObj&, std::size_t)> SetLength;
  std::function<std::int32_t(const TObj&, std::size_t)> GetIntItem;
  std::function<void(TObj&, std::size_t, std::int32_t)> SetIntItem;
  std::function<void(const TObj&, std::size_t, std::string& out)> GetTextItem;
  std::function<void(TObj&, std::size_t, std::string_view)> SetTextItem;
  std::function<TObj*(const TObj&, std::size_t)> GetObjectItem;
  std::function<void(TObj&, std::size_t, TObj*)> SetObjectItem;
};

// Description of a persistable class: its name (also the name of its XML element), its published
// properties with those of its base classes, and a way to create a blank instance. One static instance
// per class, made on first use by WEXA_XML_PUBLISH; never freed.
class TXmlClass {
 public:
  using TFactory = std::unique_ptr<TXMLPersistentObject> (*)();

  // Throws EXmlPersistance when two properties (own or inherited) have names equal ignoring ASCII case.
  TXmlClass(std::string name, const TXmlClass* parent, std::type_index type, TFactory factory,
            std::vector<TPropertyInfo> ownProperties);
  TXmlClass(const TXmlClass&) = delete;
  TXmlClass& operator=(const TXmlClass&) = delete;

  const std::string& Name() const { return name_; }
  const TXmlClass* Parent() const { return parent_; }
  std::type_index Type() const { return type_; }
  // Every published property, the base classes' first, in declaration order.
  const std::vector<TPropertyInfo>& Properties() const { return properties_; }
  // The same properties in the order the writer emits them: by name, ASCII letters folded to upper case.
  const std::vector<const TPropertyInfo*>& SortedProperties() const { return sorted_; }
  // The property whose name equals name ignoring ASCII case, or null.
  const TPropertyInfo* FindProperty(std::string_view name) const;
  // True when this class is other or derives from it.
  bool InheritsFrom(const TXmlClass& other) const;
  // A new blank instance; the caller owns it. Throws EXmlPersistance for an abstract class.
  std::unique_ptr<TXMLPersistentObject> CreateBlank() const;

 private:
  std::string name_;
  const TXmlClass* parent_;
  std::type_index type_;
  TFactory factory_;
  std::vector<TPropertyInfo> properties_;
  std::vector<const TPropertyInfo*> sorted_;
};

// Base of the program's persistable classes. No fields; its only role is to give descendants a
// published-property table. XmlClass() answers the description of the object's actual class; every
// descendant overrides it through WEXA_XML_CLASS.
class TXMLPersistentObject : public TObject {
 public:
  TXMLPersistentObject() = default;
  explicit TXMLPersistentObject(TXmlBlank) {}
  static const TXmlClass& StaticXmlClass();
  virtual const TXmlClass& XmlClass() const { return StaticXmlClass(); }
};

// Inside the class body, first: declares the class's description and the override that reports it.
// Leaves the access at private, so an access specifier follows.
#define WEXA_XML_CLASS(Class)                                                       \
 public:                                                                            \
  static const TXmlClass& StaticXmlClass();                                         \
  const TXmlClass& XmlClass() const override { return Class::StaticXmlClass(); }   \
                                                                                    \
 private:

// Once per class, after the class definition (in its header or a .cpp file), in the class's
// namespace: the class's published properties, a comma-separated list of XmlProperty, XmlSet,
// XmlShortString, XmlObject, XmlObjectArray, XmlArray, XmlMethod items. Base is the persistable class
// Class derives from; its properties are included.
#define WEXA_XML_PUBLISH(Class, Base, ...)                                                          \
  inline const TXmlClass& Class::StaticXmlClass() {                                                        \
    static_assert(std::is_base_of_v<Base, Class>, #Class " does not derive from " #Base);           \
    static const TXmlClass info(#Class, &Base::StaticXmlClass(), typeid(Class),                      \
                                &xml_detail::CreateBlank<Class>, std::vector<TPropertyInfo>{__VA_ARGS__}); \
    return info;                                                                                    \
  }

namespace xml_detail {

// The program's one UTF-16/UTF-8 conversion (common/utf.h); an unpaired surrogate becomes U+FFFD.
using utf::AppendUtf8;
using utf::FromUtf8;
using utf::ToUtf8;

template <class T>
std::unique_ptr<TXMLPersistentObject> CreateBlank() {
  if constexpr (std::is_abstract_v<T>) {
    return nullptr;
  } else if constexpr (std::is_constructible_v<T, TXmlBlank>) {
    return std::unique_ptr<TXMLPersistentObject>(new T(TXmlBlank{}));
  } else {
    return std::unique_ptr<TXMLPersistentObject>(new T{});
  }
}

template <class V>
struct TIsBitset : std::false_type {};
template <std::size_t N>
struct TIsBitset<std::bitset<N>> : std::true_type {
  static constexpr std::size_t size = N;
};
template <class V>
struct TIsVector : std::false_type {};
template <class X, class A>
struct TIsVector<std::vector<X, A>> : std::true_type {
  using Item = X;
};
template <class V>
struct TIsUniquePtr : std::false_type {};
template <class X>
struct TIsUniquePtr<std::unique_ptr<X>> : std::true_type {
  using Item = X;
};

template <class V>
concept CPersistentPointer =
    std::is_pointer_v<V> && std::is_base_of_v<TXMLPersistentObject, std::remove_pointer_t<V>>;

// The kind that a value of C++ type V is published as.
template <class V>
constexpr TPropertyKind KindOf() {
  if constexpr (std::is_same_v<V, bool> || std::is_enum_v<V>) return pkEnumeration;
  else if constexpr (std::is_same_v<V, char>) return pkChar;
  else if constexpr (std::is_same_v<V, char16_t>) return pkWideChar;
  else if constexpr (std::is_integral_v<V> && sizeof(V) <= 4) return pkInteger;
  else if constexpr (std::is_integral_v<V> && std::is_signed_v<V> && sizeof(V) == 8) return pkInt64;
  else if constexpr (std::is_floating_point_v<V>) return pkFloat;
  else if constexpr (std::is_same_v<V, std::string>) return pkString;
  else if constexpr (std::is_same_v<V, std::u16string>) return pkWideString;
  else if constexpr (std::is_same_v<V, TXmlVariant>) return pkVariant;
  else if constexpr (TIsUniquePtr<V>::value || CPersistentPointer<V>) return pkClass;
  else if constexpr (TIsVector<V>::value) return pkDynArray;
  else return pkUnknown;
}

template <class V>
constexpr int DimensionsOf() {
  if constexpr (TIsVector<V>::value) return 1 + DimensionsOf<typename TIsVector<V>::Item>();
  else return 0;
}

template <class V>
const TXmlClass& DeclaredClassOf() {
  if constexpr (TIsUniquePtr<V>::value) return TIsUniquePtr<V>::Item::StaticXmlClass();
  else return std::remove_pointer_t<V>::StaticXmlClass();
}

template <class V>
std::int32_t ToOrdinal(const V& v) {
  if constexpr (TIsBitset<V>::value) return static_cast<std::int32_t>(static_cast<std::uint32_t>(v.to_ulong()));
  else if constexpr (std::is_same_v<V, char>) return static_cast<unsigned char>(v);
  else if constexpr (std::is_enum_v<V>) return static_cast<std::int32_t>(static_cast<std::underlying_type_t<V>>(v));
  else return static_cast<std::int32_t>(v);
}

template <class V>
V FromOrdinal(std::int32_t n) {
  if constexpr (TIsBitset<V>::value) return V(static_cast<unsigned long>(static_cast<std::uint32_t>(n)));
  else if constexpr (std::is_same_v<V, bool>) return n != 0;
  else if constexpr (std::is_enum_v<V>) return static_cast<V>(static_cast<std::underlying_type_t<V>>(n));
  else return static_cast<V>(n);
}

template <class T>
const T& As(const TXMLPersistentObject& obj) {
  return static_cast<const T&>(obj);
}
template <class T>
T& As(TXMLPersistentObject& obj) {
  return static_cast<T&>(obj);
}

// Fills the scalar accessors of info from a getter (const T&) -> V and a setter (T&, V).
template <class T, class V, class G, class S>
void BindScalar(TPropertyInfo& info, G get, S set) {
  using TObj = TXMLPersistentObject;
  switch (info.Kind) {
    case pkInteger: case pkChar: case pkEnumeration: case pkSet: case pkWideChar:
      if constexpr (std::is_integral_v<V> || std::is_enum_v<V> || TIsBitset<V>::value) {
        info.GetOrdinal = [get](const TObj& o) { return ToOrdinal<V>(get(As<T>(o))); };
        info.SetOrdinal = [set](TObj& o, std::int32_t n) { set(As<T>(o), FromOrdinal<V>(n)); };
      }
      break;
    case pkInt64:
      if constexpr (std::is_integral_v<V>) {
        info.GetInt64 = [get](const TObj& o) { return static_cast<std::int64_t>(get(As<T>(o))); };
        info.SetInt64 = [set](TObj& o, std::int64_t n) { set(As<T>(o), static_cast<V>(n)); };
      }
      break;
    case pkFloat:
      if constexpr (std::is_floating_point_v<V>) {
        info.GetFloat = [get](const TObj& o) { return static_cast<double>(get(As<T>(o))); };
        info.SetFloat = [set](TObj& o, double d) { set(As<T>(o), static_cast<V>(d)); };
      }
      break;
    case pkShortString: case pkString: case pkWideString:
      if constexpr (std::is_same_v<V, std::string>) {
        info.GetText = [get](const TObj& o, std::string& out) { out += get(As<T>(o)); };
        info.SetText = [set](TObj& o, std::string_view s) { set(As<T>(o), std::string(s)); };
      } else if constexpr (std::is_same_v<V, std::u16string>) {
        info.GetText = [get](const TObj& o, std::string& out) { AppendUtf8(out, get(As<T>(o))); };
        info.SetText = [set](TObj& o, std::string_view s) { set(As<T>(o), FromUtf8(s)); };
      }
      break;
    case pkVariant:
      if constexpr (std::is_same_v<V, TXmlVariant>) {
        info.GetVariant = [get](const TObj& o) { return TXmlVariant(get(As<T>(o))); };
        info.SetVariant = [set](TObj& o, TXmlVariant v) { set(As<T>(o), std::move(v)); };
      }
      break;
    default:
      break;
  }
}

// Fills the array accessors of info from a function (T&) -> std::vector<X>& giving the holder's vector.
template <class T, class Vec, class R>
void BindArray(TPropertyInfo& info, R ref) {
  using TObj = TXMLPersistentObject;
  using X = typename TIsVector<Vec>::Item;
  info.GetLength = [ref](const TObj& o) { return ref(const_cast<T&>(As<T>(o))).size(); };
  info.SetLength = [ref](TObj& o, std::size_t n) {
    Vec& v = ref(As<T>(o));
    v.clear();
    v.resize(n);
  };
  if constexpr (std::is_same_v<X, std::int32_t>) {
    info.GetIntItem = [ref](const TObj& o, std::size_t i) { return ref(const_cast<T&>(As<T>(o)))[i]; };
    info.SetIntItem = [ref](TObj& o, std::size_t i, std::int32_t n) { ref(As<T>(o))[i] = n; };
  } else if constexpr (std::is_same_v<X, std::string>) {
    info.GetTextItem = [ref](const TObj& o, std::size_t i, std::string& out) {
      out += ref(const_cast<T&>(As<T>(o)))[i];
    };
    info.SetTextItem = [ref](TObj& o, std::size_t i, std::string_view s) { ref(As<T>(o))[i] = std::string(s); };
  } else if constexpr (std::is_same_v<X, std::u16string>) {
    info.GetTextItem = [ref](const TObj& o, std::size_t i, std::string& out) {
      AppendUtf8(out, ref(const_cast<T&>(As<T>(o)))[i]);
    };
    info.SetTextItem = [ref](TObj& o, std::size_t i, std::string_view s) { ref(As<T>(o))[i] = FromUtf8(s); };
  } else if constexpr (TIsUniquePtr<X>::value) {
    using Item = typename TIsUniquePtr<X>::Item;
    info.GetObjectItem = [ref](const TObj& o, std::size_t i) -> TObj* {
      return ref(const_cast<T&>(As<T>(o)))[i].get();
    };
    info.SetObjectItem = [ref](TObj& o, std::size_t i, TObj* p) {
      ref(As<T>(o))[i].reset(static_cast<Item*>(p));
    };
  } else if constexpr (CPersistentPointer<X>) {
    using Item = std::remove_pointer_t<X>;
    info.GetObjectItem = [ref](const TObj& o, std::size_t i) -> TObj* { return ref(const_cast<T&>(As<T>(o)))[i]; };
    info.SetObjectItem = [ref](TObj& o, std::size_t i, TObj* p) { ref(As<T>(o))[i] = static_cast<Item*>(p); };
  }
}

template <class Vec>
void DescribeArray(TPropertyInfo& info) {
  using X = typename TIsVector<Vec>::Item;
  info.Kind = pkDynArray;
  info.Dimensions = DimensionsOf<Vec>();
  if constexpr (std::is_same_v<X, std::int32_t>) info.ItemKind = pkInteger;
  else if constexpr (TIsUniquePtr<X>::value || CPersistentPointer<X>) {
    info.ItemKind = pkClass;
    info.DeclaredClass = &DeclaredClassOf<X>;
  } else info.ItemKind = KindOf<X>();
}

template <class T, class M>
T* ClassOfMember(M T::*);

}  // namespace xml_detail

// ---- Property declarations, used inside WEXA_XML_PUBLISH ----

// A field published under name; the kind follows from the field's type:
//   bool and enums: pkEnumeration; char: pkChar; char16_t: pkWideChar; other integers up to 32 bits:
//   pkInteger; int64_t: pkInt64; float, double: pkFloat; std::string: pkString; std::u16string:
//   pkWideString; TXmlVariant: pkVariant; std::unique_ptr<X>: pkClass (owned); std::vector<Item>:
//   pkDynArray whose item kind follows from Item (int32_t, std::string, std::u16string,
//   std::unique_ptr<X> owned). Raw pointers need XmlObject / XmlObjectArray, which state ownership.
template <class T, class V>
TPropertyInfo XmlProperty(std::string name, V T::*member) {
  static_assert(!xml_detail::CPersistentPointer<V>, "raw object pointers need XmlObject with an ownership");
  TPropertyInfo info;
  info.Name = std::move(name);
  if constexpr (xml_detail::TIsVector<V>::value) {
    using X = typename xml_detail::TIsVector<V>::Item;
    static_assert(!xml_detail::CPersistentPointer<X>, "arrays of raw object pointers need XmlObjectArray");
    xml_detail::DescribeArray<V>(info);
    xml_detail::BindArray<T, V>(info, [member](T& o) -> V& { return o.*member; });
  } else if constexpr (xml_detail::TIsUniquePtr<V>::value) {
    using X = typename xml_detail::TIsUniquePtr<V>::Item;
    info.Kind = pkClass;
    info.DeclaredClass = &xml_detail::DeclaredClassOf<V>;
    info.Ownership = xoOwned;
    info.GetObject = [member](const TXMLPersistentObject& o) -> TXMLPersistentObject* {
      return (xml_detail::As<T>(o).*member).get();
    };
    info.SetObject = [member](TXMLPersistentObject& o, TXMLPersistentObject* p) {
      (xml_detail::As<T>(o).*member).reset(static_cast<X*>(p));
    };
  } else {
    constexpr TPropertyKind kind = xml_detail::KindOf<V>();
    static_assert(kind != pkUnknown, "no property kind for this field type");
    info.Kind = kind;
    xml_detail::BindScalar<T, V>(
        info, [member](const T& o) -> const V& { return o.*member; },
        [member](T& o, V v) { o.*member = std::move(v); });
  }
  return info;
}

// A property read and written through functions: get (const T&) -> V, set (T&, V). The kind follows
// from V as for fields (scalar kinds only; objects use XmlObject, arrays a field or XmlArray).
template <class T, class G, class S>
TPropertyInfo XmlProperty(std::string name, G get, S set) {
  using V = std::remove_cvref_t<std::invoke_result_t<G, const T&>>;
  constexpr TPropertyKind kind = xml_detail::KindOf<V>();
  static_assert(kind != pkUnknown && kind != pkClass && kind != pkDynArray, "scalar kinds only");
  TPropertyInfo info;
  info.Name = std::move(name);
  info.Kind = kind;
  xml_detail::BindScalar<T, V>(info, get, set);
  return info;
}

// A set (std::bitset<N> with N <= 32, or an unsigned integer holding the bit mask) published as pkSet.
template <class T, class V>
TPropertyInfo XmlSet(std::string name, V T::*member) {
  if constexpr (xml_detail::TIsBitset<V>::value) static_assert(xml_detail::TIsBitset<V>::size <= 32);
  else static_assert(std::is_unsigned_v<V> && sizeof(V) <= 4, "a set is a bitset or an unsigned mask");
  TPropertyInfo info;
  info.Name = std::move(name);
  info.Kind = pkSet;
  xml_detail::BindScalar<T, V>(
      info, [member](const T& o) -> const V& { return o.*member; }, [member](T& o, V v) { o.*member = v; });
  return info;
}

// A std::string field published as a short string (pkShortString).
template <class T>
TPropertyInfo XmlShortString(std::string name, std::string T::*member) {
  TPropertyInfo info = XmlProperty(std::move(name), member);
  info.Kind = pkShortString;
  return info;
}

// An object reference held in a raw pointer field. ownership says whether the holder frees it.
template <class T, class X>
TPropertyInfo XmlObject(std::string name, X* T::*member, TXmlOwnership ownership) {
  static_assert(std::is_base_of_v<TXMLPersistentObject, X>);
  TPropertyInfo info;
  info.Name = std::move(name);
  info.Kind = pkClass;
  info.DeclaredClass = &xml_detail::DeclaredClassOf<X*>;
  info.Ownership = ownership;
  info.GetObject = [member](const TXMLPersistentObject& o) -> TXMLPersistentObject* {
    return xml_detail::As<T>(o).*member;
  };
  info.SetObject = [member, ownership](TXMLPersistentObject& o, TXMLPersistentObject* p) {
    X*& slot = xml_detail::As<T>(o).*member;
    // An owning holder frees what it held, as a std::unique_ptr would (a property given twice).
    if (ownership == xoOwned && slot != p) delete slot;
    slot = static_cast<X*>(p);
  };
  return info;
}

// A dynamic array of raw object pointers. ownership says whether the holder frees the items.
template <class T, class X>
TPropertyInfo XmlObjectArray(std::string name, std::vector<X*> T::*member, TXmlOwnership ownership) {
  static_assert(std::is_base_of_v<TXMLPersistentObject, X>);
  TPropertyInfo info;
  info.Name = std::move(name);
  info.Ownership = ownership;
  xml_detail::DescribeArray<std::vector<X*>>(info);
  xml_detail::BindArray<T, std::vector<X*>>(info, [member](T& o) -> std::vector<X*>& { return o.*member; });
  if (ownership == xoOwned) {
    // An owning holder frees the items it held before it takes the new ones.
    info.SetLength = [member](TXMLPersistentObject& o, std::size_t n) {
      std::vector<X*>& v = xml_detail::As<T>(o).*member;
      for (X* item : v) delete item;
      v.clear();
      v.resize(n);
    };
  }
  return info;
}

// A dynamic array reached through ref (T&) -> std::vector<Item>&; item kinds as for fields. Object
// items are raw pointers or unique_ptrs; ownership applies to raw pointers.
template <class T, class R>
TPropertyInfo XmlArray(std::string name, R ref, TXmlOwnership ownership = xoOwned) {
  using Vec = std::remove_cvref_t<std::invoke_result_t<R, T&>>;
  TPropertyInfo info;
  info.Name = std::move(name);
  info.Ownership = ownership;
  xml_detail::DescribeArray<Vec>(info);
  xml_detail::BindArray<T, Vec>(info, ref);
  return info;
}

// A method (event) property. Its value is never stored: the writer writes "<not assigned>" and the
// reader ignores the element's content.
inline TPropertyInfo XmlMethod(std::string name) {
  TPropertyInfo info;
  info.Name = std::move(name);
  info.Kind = pkMethod;
  return info;
}

// A published property of a kind that cannot be persisted (pkUnknown, pkArray, pkRecord, pkInterface):
// saving or loading an object of the class fails with "Property type %d not implemented.".
inline TPropertyInfo XmlUnsupported(std::string name, TPropertyKind kind) {
  TPropertyInfo info;
  info.Name = std::move(name);
  info.Kind = kind;
  return info;
}

// ---- Class registry ----

// The classes the reader may create, in registration order; no two with names equal ignoring ASCII
// case. Safe from any thread; the lock is re-entrant. Does not own the class descriptions.
class TXMLClassManager : public TObject {
 public:
  TXMLClassManager() = default;
  ~TXMLClassManager() override;

  // Adds AClass unless a class of the same name (ignoring ASCII case) is registered already; then
  // nothing changes and the class registered first keeps the name.
  void RegisterClass(const TXmlClass& AClass);
  // The first registered class whose name equals Name ignoring ASCII case, or null.
  const TXmlClass* FindClass(std::string_view Name);
  // Number of registered classes.
  std::size_t Count();

  std::recursive_mutex FLock;

 private:
  std::vector<const TXmlClass*> FClasses;
};

// The unit's registry and logger; both null outside InitializeXmlPersistance/FinalizeXmlPersistance.
// The unit owns XmlClassManager; the logging unit owns XmlLogger.
extern TXMLClassManager* XmlClassManager;
extern TLogger* XmlLogger;

// Starts the unit: creates the registry and obtains the logger of "XmlPersistance.log" (1048576 bytes).
// Call once, after the logging unit has started. Throws what GetLogger throws.
void InitializeXmlPersistance();
// Frees the registry. The logger stays with the logging unit.
void FinalizeXmlPersistance();

// XmlClassManager->RegisterClass / FindClass. Throw EXmlPersistance when the unit is not started.
void RegisterXmlClass(const TXmlClass& AClass);
template <class T>
void RegisterXmlClass() {
  RegisterXmlClass(T::StaticXmlClass());
}
const TXmlClass* FindXmlClass(std::string_view Name);

// Passes its arguments to XmlLogger->Log; does nothing while the unit has no logger.
void XmlLog(const std::string& Msg, TLogLevel Level, const Exception* E = nullptr);

// True when the names are equal ignoring the case of ASCII letters.
bool SameXmlName(std::string_view a, std::string_view b);

// ---- Writer and reader ----

// Streaming XML output with the layout of the persistence's files: formatted output starts at column 0,
// puts every element that has child elements on lines of its own indented two spaces per level, keeps
// text on the line of its element, writes an element without content as an empty-element tag and ends
// every line with CR LF. Text and attribute values are escaped; characters that XML cannot carry
// (control characters other than tab, line feed and carriage return, invalid UTF-8) become U+FFFD.
class TXmlWriter {
 public:
  // Output goes to a string; Take() hands it over.
  explicit TXmlWriter(bool formatted);
  // Output goes to the file descriptor fd (not owned) in large blocks; Finish() writes the rest.
  TXmlWriter(bool formatted, int fd);
  TXmlWriter(const TXmlWriter&) = delete;
  TXmlWriter& operator=(const TXmlWriter&) = delete;

  void StartElement(std::string_view name);
  // Only directly after StartElement.
  void Attribute(std::string_view name, std::string_view value);
  // UTF-8 text content of the current element.
  void Text(std::string_view text);
  void EndElement();
  // Number of open elements.
  std::size_t Depth() const { return open_.size(); }
  // Ends the last line of formatted output and flushes file output. Throws EInOutError on write errors.
  void Finish();
  std::string Take() { return std::move(buffer_); }

 private:
  void CloseStartTag();
  void NewLine(std::size_t depth);
  void Flush();
  void AppendEscaped(std::string_view text, bool attribute);

  bool formatted_;
  int fd_ = -1;
  std::string buffer_;
  std::vector<std::string> open_;
  std::vector<bool> hasChildren_;
  bool startTagOpen_ = false;
  bool started_ = false;
};

class TXmlDocument;

// A node of a parsed document: an element, a text or CDATA section, a comment or a processing
// instruction. A light handle; valid as long as its document.
class TXmlNode {
 public:
  enum TNodeType : std::uint8_t { ntElement, ntText, ntCData, ntComment, ntProcessingInstruction, ntDocumentType };
  TXmlNode(const TXmlDocument* doc, std::uint32_t index) : doc_(doc), index_(index) {}

  TNodeType Type() const;
  // Element name, processing-instruction target or doctype name; "#text", "#cdata-section", "#comment".
  std::string_view Name() const;
  std::size_t ChildCount() const;
  bool HasChildren() const { return ChildCount() != 0; }
  // The first child; throws EXmlDocumentError when there is none.
  TXmlNode FirstChild() const;
  // Calls f(child) for every child node in document order.
  template <class F>
  void ForEachChild(F f) const;
  // Value of the attribute name (exact comparison); empty when absent. *found tells which.
  std::string_view Attribute(std::string_view name, bool* found = nullptr) const;
  // The text value: the content of a text, CDATA, comment or processing-instruction node; for an
  // element its single text or CDATA child, or null (isNull set) when it has no content. Throws
  // EXmlDocumentError when an element holds anything else.
  std::string_view Value(bool* isNull = nullptr) const;

 private:
  friend class TXmlDocument;
  std::uint32_t Next() const;
  const TXmlDocument* doc_;
  std::uint32_t index_;
};

// A parsed XML document held compactly in memory. Whitespace-only text between nodes is dropped; the
// sole content of an element is kept even when it is whitespace.
class TXmlDocument {
 public:
  // Throw EFOpenError when the file cannot be read and EXmlDocumentError when it is not well-formed.
  static std::unique_ptr<TXmlDocument> ParseFile(const std::string& fileName);
  static std::unique_ptr<TXmlDocument> ParseMemory(std::string_view text);
  ~TXmlDocument();

  // Top-level nodes in document order (an XML declaration counts as a processing instruction "xml").
  std::size_t ChildCount() const;
  TXmlNode FirstChild() const;

  struct TRec;
  struct TAttr;
  struct TImpl;

 private:
  friend class TXmlNode;
  TXmlDocument();
  std::unique_ptr<TImpl> impl_;
};

// The engine's entry points. Never instantiated.
class TXmlPersistance : public TObject {
 public:
  TXmlPersistance() = delete;

  // Writes Obj and every object it reaches as the formatted document: "DUMMY_NODE" holding Obj's
  // element, UTF-8 without declaration. The text goes to a temporary file beside FileName which
  // replaces FileName only when everything has been written and flushed; on failure FileName is left
  // as it was. Throws EXmlPersistance (a null Obj or array item, a cycle, a property kind that cannot be
  // persisted), Exception "Element type %d not implemented.", EAssertionFailed for an array of more
  // than one dimension, EFCreateError / EInOutError for file errors.
  static void SaveToFile(const TXMLPersistentObject* Obj, const std::string& FileName);
  // Text receives the formatted document (Formatted) or Obj's element alone on one line. Throws as
  // SaveToFile, without the file errors.
  static void SaveToString(const TXMLPersistentObject* Obj, bool Formatted, std::string& Text);
  // Appends Obj's element inside the element that is open in ParentNode (or at top level).
  static void SaveObject(const TXMLPersistentObject* Obj, TXmlWriter& ParentNode);

  // Reads the file and returns the new root object; the caller owns it. The document may start with
  // "DUMMY_NODE" wrapping the root element or with the root element itself. Throws EFOpenError or
  // EInOutError (file), EXmlDocumentError (not well-formed, nested deeper than 1024 elements, a text
  // value or child node missing), EXmlPersistance (unregistered class, property count or name, a kind
  // that cannot be stored, a class that does not fit its property), EConvertError (numbers) and
  // Exception "Element type %d not implemented."; on failure every object created so far is freed.
  static std::unique_ptr<TXMLPersistentObject> LoadFromFile(const std::string& FileName);
  // The same for an object element of a parsed document.
  static std::unique_ptr<TXMLPersistentObject> LoadObject(const TXmlNode& Node);
};

template <class F>
void TXmlNode::ForEachChild(F f) const {
  if (!HasChildren()) return;
  TXmlNode child = FirstChild();
  for (std::size_t i = 0, n = ChildCount(); i < n; ++i) {
    f(child);
    if (i + 1 < n) child = TXmlNode(doc_, child.Next());
  }
}
