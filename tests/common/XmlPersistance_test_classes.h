#pragma once
// Persistable classes for the XML persistence tests: the shape of the program's tree file (tree node,
// category records) and a class with one property of every kind that can be stored. They live in a
// namespace so that they never clash with the model's classes of the same names.

#include <bitset>
#include <memory>
#include <string>
#include <vector>

#include "common/XmlPersistance.h"

namespace xml_test {

enum TColor { clRed, clGreen, clBlue };

class TBaseCategory : public TXMLPersistentObject {
  WEXA_XML_CLASS(TBaseCategory)
 public:
  // Records alive, to show that a failed load frees what it created.
  static inline int live = 0;
  TBaseCategory() { ++live; }
  explicit TBaseCategory(TXmlBlank) { ++live; }
  ~TBaseCategory() override { --live; }
  std::u16string Name;
  std::u16string Url;
};

class TCategory : public TBaseCategory {
  WEXA_XML_CLASS(TCategory)
 public:
  // Counts constructions that are not blank, to show that the reader does not run them.
  static inline int constructed = 0;
  TCategory(std::int32_t id, std::u16string name, std::u16string url, std::int32_t content)
      : ID(id), Content(content) {
    Name = std::move(name);
    Url = std::move(url);
    ++constructed;
  }
  explicit TCategory(TXmlBlank blank) : TBaseCategory(blank) {}
  std::int32_t ID = 0;
  std::int32_t Content = 0;
};

class TSymbolicCategory : public TBaseCategory {
  WEXA_XML_CLASS(TSymbolicCategory)
 public:
  TSymbolicCategory(std::int32_t parent, std::u16string name, std::u16string url) : Parent(parent) {
    Name = std::move(name);
    Url = std::move(url);
  }
  explicit TSymbolicCategory(TXmlBlank blank) : TBaseCategory(blank) {}
  std::int32_t Parent = 0;
};

// Owns its child nodes, never its Data (as the tree file's nodes do).
class TXMLTreeNode : public TXMLPersistentObject {
  WEXA_XML_CLASS(TXMLTreeNode)
 public:
  // Nodes alive, to show that the reader frees what it no longer holds.
  static inline int live = 0;
  TXMLTreeNode() { ++live; }
  ~TXMLTreeNode() override {
    --live;
    for (TXMLTreeNode* n : Nodes) delete n;
  }
  void AddNode(TXMLTreeNode* node) { Nodes.push_back(node); }
  // Frees the Data of this node and of every node below it.
  void FreeData() {
    delete Data;
    Data = nullptr;
    for (TXMLTreeNode* n : Nodes) n->FreeData();
  }
  TBaseCategory* Data = nullptr;
  std::vector<TXMLTreeNode*> Nodes;
};

// One property of every kind that can be stored.
class TAllKinds : public TXMLPersistentObject {
  WEXA_XML_CLASS(TAllKinds)
 public:
  TAllKinds() = default;
  std::int32_t Int = 0;
  std::int16_t Small = 0;
  std::uint32_t Unsigned = 0;
  char Char = 0;
  TColor Color = clRed;
  bool Flag = false;
  double Float = 0;
  std::string Short;
  std::bitset<8> Set;
  std::unique_ptr<TCategory> Object;
  std::u16string WideString;
  char16_t WideChar = 0;
  std::string String;
  TXmlVariant Variant;
  std::int64_t Int64 = 0;
  std::vector<std::int32_t> Ints;
  std::vector<std::string> Strings;
  std::vector<std::u16string> WideStrings;
  std::vector<std::unique_ptr<TBaseCategory>> Objects;
  // Published through accessor functions.
  std::int32_t Doubled() const { return half_ * 2; }
  void SetDoubled(std::int32_t v) { half_ = v / 2; }

 private:
  std::int32_t half_ = 0;
};

// Classes with a property that cannot be stored.
class TWithRecord : public TXMLPersistentObject {
  WEXA_XML_CLASS(TWithRecord)
 public:
  TWithRecord() = default;
};

class TWithFloatArray : public TXMLPersistentObject {
  WEXA_XML_CLASS(TWithFloatArray)
 public:
  TWithFloatArray() = default;
  std::vector<double> Values;
};

class TWithMatrix : public TXMLPersistentObject {
  WEXA_XML_CLASS(TWithMatrix)
 public:
  TWithMatrix() = default;
  std::vector<std::vector<std::int32_t>> Rows;
};

WEXA_XML_PUBLISH(TBaseCategory, TXMLPersistentObject,
                 XmlProperty("Name", &TBaseCategory::Name),
                 XmlProperty("Url", &TBaseCategory::Url))

WEXA_XML_PUBLISH(TCategory, TBaseCategory,
                 XmlProperty("ID", &TCategory::ID),
                 XmlProperty("Content", &TCategory::Content))

WEXA_XML_PUBLISH(TSymbolicCategory, TBaseCategory,
                 XmlProperty("Parent", &TSymbolicCategory::Parent))

WEXA_XML_PUBLISH(TXMLTreeNode, TXMLPersistentObject,
                 XmlObjectArray("Nodes", &TXMLTreeNode::Nodes, xoOwned),
                 XmlObject("Data", &TXMLTreeNode::Data, xoReferenced))

WEXA_XML_PUBLISH(TAllKinds, TXMLPersistentObject,
                 XmlProperty("Int", &TAllKinds::Int),
                 XmlProperty("Small", &TAllKinds::Small),
                 XmlProperty("Unsigned", &TAllKinds::Unsigned),
                 XmlProperty("Char", &TAllKinds::Char),
                 XmlProperty("Color", &TAllKinds::Color),
                 XmlProperty("Flag", &TAllKinds::Flag),
                 XmlProperty("Float", &TAllKinds::Float),
                 XmlShortString("Short", &TAllKinds::Short),
                 XmlSet("Set", &TAllKinds::Set),
                 XmlProperty("Object", &TAllKinds::Object),
                 XmlMethod("OnChange"),
                 XmlProperty("WideString", &TAllKinds::WideString),
                 XmlProperty("WideChar", &TAllKinds::WideChar),
                 XmlProperty("String", &TAllKinds::String),
                 XmlProperty("Variant", &TAllKinds::Variant),
                 XmlProperty("Int64", &TAllKinds::Int64),
                 XmlProperty("Ints", &TAllKinds::Ints),
                 XmlProperty("Strings", &TAllKinds::Strings),
                 XmlProperty("WideStrings", &TAllKinds::WideStrings),
                 XmlProperty("Objects", &TAllKinds::Objects),
                 XmlProperty<TAllKinds>("Doubled", [](const TAllKinds& o) { return o.Doubled(); },
                                        [](TAllKinds& o, std::int32_t v) { o.SetDoubled(v); }))

WEXA_XML_PUBLISH(TWithRecord, TXMLPersistentObject,
                 XmlUnsupported("Record", pkRecord))

WEXA_XML_PUBLISH(TWithFloatArray, TXMLPersistentObject,
                 XmlProperty("Values", &TWithFloatArray::Values))

WEXA_XML_PUBLISH(TWithMatrix, TXMLPersistentObject,
                 XmlProperty("Rows", &TWithMatrix::Rows))

// Refers to records it does not own, in one reference and one array.
class TRecordRefs : public TXMLPersistentObject {
  WEXA_XML_CLASS(TRecordRefs)
 public:
  TRecordRefs() = default;
  TBaseCategory* One = nullptr;
  std::vector<TBaseCategory*> Many;
};

WEXA_XML_PUBLISH(TRecordRefs, TXMLPersistentObject,
                 XmlObjectArray("Many", &TRecordRefs::Many, xoReferenced),
                 XmlObject("One", &TRecordRefs::One, xoReferenced))

// Registers the classes above, except TBaseCategory (never written as an object of its own), with the
// started persistence unit.
inline void RegisterTestClasses() {
  RegisterXmlClass<TCategory>();
  RegisterXmlClass<TSymbolicCategory>();
  RegisterXmlClass<TXMLTreeNode>();
  RegisterXmlClass<TAllKinds>();
  RegisterXmlClass<TWithRecord>();
  RegisterXmlClass<TWithFloatArray>();
  RegisterXmlClass<TWithMatrix>();
  RegisterXmlClass<TRecordRefs>();
}

}  // namespace xml_test
