#include "platform/automation.h"

#include "platform/browser.h"

#include <algorithm>

#include "platform/text.h"

namespace platform {

Variant Variant::Null() {
  Variant v;
  v.kind_ = Kind::vkNull;
  return v;
}

Variant Variant::Error(bool missingParameter) {
  Variant v;
  v.kind_ = Kind::vkError;
  v.missing_ = missingParameter;
  return v;
}

Variant::Variant(int value) : kind_(Kind::vkInteger), integer_(value) {}
Variant::Variant(bool value) : kind_(Kind::vkBoolean), boolean_(value) {}
Variant::Variant(std::u16string value) : kind_(Kind::vkText), text_(std::move(value)) {}
Variant::Variant(const char16_t* value) : kind_(Kind::vkText), text_(value) {}
Variant::Variant(std::shared_ptr<Dispatch> object) : kind_(Kind::vkObject), object_(std::move(object)) {}

int Variant::AsInteger() const {
  switch (kind_) {
    case Kind::vkInteger: return integer_;
    case Kind::vkBoolean: return boolean_ ? -1 : 0;
    case Kind::vkEmpty: return 0;
    case Kind::vkText:
      try {
        return StrToInt(ToUtf8(text_));
      } catch (const EConvertError&) {
        throw EAutomationError("Could not convert variant of type (String) into type (Integer)");
      }
    default: throw EAutomationError("Could not convert variant into type (Integer)");
  }
}

bool Variant::AsBoolean() const {
  switch (kind_) {
    case Kind::vkBoolean: return boolean_;
    case Kind::vkInteger: return integer_ != 0;
    case Kind::vkEmpty: return false;
    default: throw EAutomationError("Could not convert variant into type (Boolean)");
  }
}

std::u16string Variant::AsText() const {
  switch (kind_) {
    case Kind::vkText: return text_;
    case Kind::vkEmpty: return u"";
    case Kind::vkInteger: return FromUtf8(std::to_string(integer_));
    case Kind::vkBoolean: return boolean_ ? u"True" : u"False";
    default: throw EAutomationError("Could not convert variant into type (String)");
  }
}

std::string Variant::AsString() const { return ToUtf8(AsText()); }

Variant Variant::Get(std::u16string_view member) const {
  if (kind_ != Kind::vkObject || !object_)
    throw EAutomationError("Variant does not reference an automation object (reading " + ToUtf8(member) + ")");
  return object_->Get(member);
}

Variant Variant::Call(std::u16string_view member, const std::vector<Variant>& args) const {
  if (kind_ != Kind::vkObject || !object_)
    throw EAutomationError("Variant does not reference an automation object (calling " + ToUtf8(member) + ")");
  return object_->Call(member, args);
}

bool MemberIs(std::u16string_view name, std::u16string_view expected) {
  if (name.size() != expected.size()) return false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    char16_t c = name[i];
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c + 32);
    if (c != expected[i]) return false;
  }
  return true;
}

void ThrowUnknownMember(std::u16string_view member) {
  throw EAutomationError("Unknown name: " + ToUtf8(member));
}

namespace {
class TBrowserObject : public Dispatch {
 public:
  TBrowserObject(IBrowser* browser, std::weak_ptr<int> alive) : browser_(browser), alive_(std::move(alive)) {}

  Variant Get(std::u16string_view member) override {
    if (alive_.expired()) throw EAutomationError("The web browser no longer exists (reading " + ToUtf8(member) + ")");
    if (MemberIs(member, u"document")) return browser_->Document();
    if (MemberIs(member, u"locationurl")) return Variant(browser_->LocationURL());
    if (MemberIs(member, u"locationname")) return Variant(browser_->LocationName());
    if (MemberIs(member, u"readystate")) return Variant(browser_->ReadyState());
    ThrowUnknownMember(member);
  }
  Variant Call(std::u16string_view member, const std::vector<Variant>&) override { ThrowUnknownMember(member); }

 private:
  IBrowser* browser_;
  std::weak_ptr<int> alive_;
};
}  // namespace

std::vector<std::u16string> AddressesToLoadAhead(const std::vector<std::u16string>& hint, int room) {
  std::vector<std::u16string> wanted;
  for (const std::u16string& address : hint) {
    if (static_cast<int>(wanted.size()) >= room) break;
    if (address.empty() || std::find(wanted.begin(), wanted.end(), address) != wanted.end()) continue;
    wanted.push_back(address);
  }
  return wanted;
}

Variant BrowserApplicationObject(IBrowser* browser, std::weak_ptr<int> alive) {
  return Variant(std::shared_ptr<Dispatch>(std::make_shared<TBrowserObject>(browser, std::move(alive))));
}

}  // namespace platform
