#pragma once
// Automation values and late binding: the way the crawl reads a page's document object model.
// Member names are looked up when they are called, ignoring letter case.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/exceptions.h"

namespace platform {

class Dispatch;

// A value as a late-bound call returns it: empty, null, an error (possibly the missing-parameter
// marker), an integer, a Boolean, 16-bit text, or an object reference (which may be nil).
// Copying is cheap: objects are shared.
class Variant {
 public:
  enum class Kind { vkEmpty, vkNull, vkError, vkInteger, vkBoolean, vkText, vkObject };

  Variant() = default;
  static Variant Null();
  static Variant Error(bool missingParameter = false);
  Variant(int value);  // NOLINT(google-explicit-constructor)
  Variant(bool value);  // NOLINT
  Variant(std::u16string value);  // NOLINT
  Variant(const char16_t* value);  // NOLINT
  Variant(std::shared_ptr<Dispatch> object);  // NOLINT

  Kind GetKind() const { return kind_; }
  bool IsEmpty() const { return kind_ == Kind::vkEmpty; }
  bool IsNull() const { return kind_ == Kind::vkNull; }
  bool IsError() const { return kind_ == Kind::vkError; }
  bool IsMissingParameter() const { return kind_ == Kind::vkError && missing_; }
  bool IsObject() const { return kind_ == Kind::vkObject; }
  // The object reference; nullptr unless the value is a non-nil object.
  Dispatch* Object() const { return object_.get(); }
  const std::shared_ptr<Dispatch>& ObjectRef() const { return object_; }

  // Conversions as late binding performs them. Throw EAutomationError when the value cannot be
  // converted (an object to a number, text that is not a number, ...).
  int AsInteger() const;
  bool AsBoolean() const;
  std::u16string AsText() const;
  // AsText converted to 8-bit text (UTF-8).
  std::string AsString() const;

  // Late-bound property read and method call. Throw EAutomationError when this value is not a
  // non-nil object or the object has no member of that name.
  Variant Get(std::u16string_view member) const;
  Variant Call(std::u16string_view member, const std::vector<Variant>& args = {}) const;

 private:
  Kind kind_ = Kind::vkEmpty;
  bool missing_ = false;
  bool boolean_ = false;
  int integer_ = 0;
  std::u16string text_;
  std::shared_ptr<Dispatch> object_;
};

// An object reachable by late binding. Implementations match member names ignoring ASCII case.
// Not thread-safe: used on the window's thread only.
class Dispatch {
 public:
  Dispatch() = default;
  Dispatch(const Dispatch&) = delete;
  Dispatch& operator=(const Dispatch&) = delete;
  virtual ~Dispatch() = default;

  // Property read. Throws EAutomationError for an unknown member.
  virtual Variant Get(std::u16string_view member) = 0;
  // Method call. Throws EAutomationError for an unknown member or unsuitable arguments.
  virtual Variant Call(std::u16string_view member, const std::vector<Variant>& args) = 0;
};

// True when name equals expected ignoring ASCII letter case. expected is lower case.
bool MemberIs(std::u16string_view name, std::u16string_view expected);

// Throws EAutomationError naming the member that the object does not have.
[[noreturn]] void ThrowUnknownMember(std::u16string_view member);

}  // namespace platform
