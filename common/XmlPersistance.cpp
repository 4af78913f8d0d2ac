// Class descriptions, the class registry, the unit's logger and its start-up and shut-down, and the
// UTF-16 / UTF-8 conversions of string properties.
#include "common/XmlPersistance.h"

#include <fmt/printf.h>

#include <algorithm>

TXMLClassManager* XmlClassManager = nullptr;
TLogger* XmlLogger = nullptr;

namespace {

char UpperAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

// Writer order of property names: ASCII letters folded to upper case, bytes compared unsigned, a
// prefix before the longer name.
bool PropertyNameLess(const std::string& a, const std::string& b) {
  const std::size_t n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i) {
    const auto ca = static_cast<unsigned char>(UpperAscii(a[i]));
    const auto cb = static_cast<unsigned char>(UpperAscii(b[i]));
    if (ca != cb) return ca < cb;
  }
  return a.size() < b.size();
}

}  // namespace

bool SameXmlName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i] != b[i] && UpperAscii(a[i]) != UpperAscii(b[i])) return false;
  }
  return true;
}

// ---- TXmlClass ----

TXmlClass::TXmlClass(std::string name, const TXmlClass* parent, std::type_index type, TFactory factory,
                     std::vector<TPropertyInfo> ownProperties)
    : name_(std::move(name)), parent_(parent), type_(type), factory_(factory) {
  if (parent_ != nullptr) properties_ = parent_->properties_;
  for (auto& p : ownProperties) properties_.push_back(std::move(p));
  // Reading looks properties up by name ignoring case, so two such names could not both be read back.
  for (std::size_t i = 0; i < properties_.size(); ++i) {
    for (std::size_t j = i + 1; j < properties_.size(); ++j) {
      if (SameXmlName(properties_[i].Name, properties_[j].Name)) {
        throw EXmlPersistance(
            fmt::sprintf("Class %s publishes property %s more than once.", name_, properties_[j].Name));
      }
    }
  }
  for (const auto& p : properties_) sorted_.push_back(&p);
  std::stable_sort(sorted_.begin(), sorted_.end(),
                   [](const TPropertyInfo* a, const TPropertyInfo* b) { return PropertyNameLess(a->Name, b->Name); });
}

const TPropertyInfo* TXmlClass::FindProperty(std::string_view name) const {
  for (const auto& p : properties_) {
    if (SameXmlName(p.Name, name)) return &p;
  }
  return nullptr;
}

bool TXmlClass::InheritsFrom(const TXmlClass& other) const {
  for (const TXmlClass* c = this; c != nullptr; c = c->parent_) {
    if (c == &other) return true;
  }
  return false;
}

std::unique_ptr<TXMLPersistentObject> TXmlClass::CreateBlank() const {
  std::unique_ptr<TXMLPersistentObject> obj = factory_ ? factory_() : nullptr;
  if (!obj) throw EXmlPersistance(fmt::sprintf("Class %s cannot be instantiated.", name_));
  return obj;
}

const TXmlClass& TXMLPersistentObject::StaticXmlClass() {
  static const TXmlClass info("TXMLPersistentObject", nullptr, typeid(TXMLPersistentObject),
                              &xml_detail::CreateBlank<TXMLPersistentObject>, {});
  return info;
}

// ---- Registry ----

TXMLClassManager::~TXMLClassManager() {
  std::lock_guard<std::recursive_mutex> guard(FLock);
  FClasses.clear();
}

void TXMLClassManager::RegisterClass(const TXmlClass& AClass) {
  std::lock_guard<std::recursive_mutex> guard(FLock);
  // The lookup takes FLock again on this thread; the lock is re-entrant.
  if (FindClass(AClass.Name()) == nullptr) FClasses.push_back(&AClass);
}

const TXmlClass* TXMLClassManager::FindClass(std::string_view Name) {
  std::lock_guard<std::recursive_mutex> guard(FLock);
  for (const TXmlClass* c : FClasses) {
    if (SameXmlName(c->Name(), Name)) return c;
  }
  return nullptr;
}

std::size_t TXMLClassManager::Count() {
  std::lock_guard<std::recursive_mutex> guard(FLock);
  return FClasses.size();
}

namespace {

TXMLClassManager& Manager() {
  if (XmlClassManager == nullptr) throw EXmlPersistance("The XML persistence is not initialized.");
  return *XmlClassManager;
}

}  // namespace

void RegisterXmlClass(const TXmlClass& AClass) { Manager().RegisterClass(AClass); }

const TXmlClass* FindXmlClass(std::string_view Name) { return Manager().FindClass(Name); }

// ---- Start-up, shut-down, logging ----

void InitializeXmlPersistance() {
  auto manager = std::make_unique<TXMLClassManager>();
  XmlLogger = TLogger::GetLogger("XmlPersistance.log", 1048576);
  delete XmlClassManager;
  XmlClassManager = manager.release();
}

void FinalizeXmlPersistance() {
  delete XmlClassManager;
  XmlClassManager = nullptr;
  XmlLogger = nullptr;
}

void XmlLog(const std::string& Msg, TLogLevel Level, const Exception* E) {
  if (XmlLogger != nullptr) XmlLogger->Log(Msg, Level, E);
}
