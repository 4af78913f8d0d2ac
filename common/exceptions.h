#pragma once
// Exception classes of the program. Every failure is reported as an exception that carries a
// message, the name of its class and the stack trace captured where it was constructed.

#include <exception>
#include <string>

class Exception : public std::exception {
 public:
  explicit Exception(std::string message);
  ~Exception() override = default;

  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& Message() const { return message_; }
  // The exception's class name as the crash report and the logger show it.
  virtual const char* ClassName() const { return "Exception"; }
  // Rendered stack trace of the place that raised the exception, one frame a line.
  const std::string& StackTrace() const { return stackTrace_; }

  // An expected input error: the input the user gave (a state file, a tree file) is at fault, not
  // the program. Such an error names the file and, when known, the line (1-based; 0: not known);
  // it is reported in one line, without a stack trace. Empty InputFile: any other error.
  const std::string& InputFile() const { return inputFile_; }
  int InputLine() const { return inputLine_; }
  // Marks the error as one of the input file (at line). Called where an input is read, on the error
  // caught there, which is then thrown on unchanged ("throw;").
  void SetInput(std::string file, int line = 0) {
    inputFile_ = std::move(file);
    inputLine_ = line;
  }

 private:
  std::string message_;
  std::string stackTrace_;
  std::string inputFile_;
  int inputLine_ = 0;
};

#define WEXA_DECLARE_EXCEPTION(Name, Base)                          \
  class Name : public Base {                                       \
   public:                                                         \
    using Base::Base;                                              \
    const char* ClassName() const override { return #Name; }       \
  };

// "'%s' is not a valid integer value" and other failed conversions.
WEXA_DECLARE_EXCEPTION(EConvertError, Exception)
// A failed Assert: "%s (%s, line %d)".
WEXA_DECLARE_EXCEPTION(EAssertionFailed, Exception)
// A late-bound member call on a value that is not an object, or naming an unknown member.
WEXA_DECLARE_EXCEPTION(EAutomationError, Exception)
// File errors: a file that cannot be opened, created, read, written or renamed.
WEXA_DECLARE_EXCEPTION(EInOutError, Exception)
WEXA_DECLARE_EXCEPTION(EFOpenError, EInOutError)
WEXA_DECLARE_EXCEPTION(EFCreateError, EInOutError)

// An expected input error as one line of text: "<file>[, line N]: <message>", or the message alone
// when it names the file itself or file is empty.
std::string InputErrorText(const std::string& file, int line, const std::string& message);

// Throws EConvertError "'%s' is not a valid integer value" unless text is an optional sign followed
// by decimal digits whose value fits a 32-bit signed integer. Leading and trailing blanks are
// allowed, as the conversion of an edit's text allows them.
int StrToInt(const std::string& text);

// Throws EAssertionFailed "%s (%s, line %d)" when condition is false.
void Assert(bool condition, const std::string& message, const std::string& unit, int line);
