// Root of every error class the program raises, and the small text helpers
// that build their messages.
#pragma once

#include <exception>
#include <string>
#include <typeinfo>

class Exception : public std::exception {
 public:
  explicit Exception(std::string message) : message_(std::move(message)) {}
  const std::string& Message() const noexcept { return message_; }
  void SetMessage(std::string message) { message_ = std::move(message); }
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

class EConvertError : public Exception {
 public:
  using Exception::Exception;
};

class EListError : public Exception {
 public:
  using Exception::Exception;
};

class EStringListError : public Exception {
 public:
  using Exception::Exception;
};

class EThread : public Exception {
 public:
  using Exception::Exception;
};

// printf-style formatting into a std::string.
std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// The demangled dynamic class name of an exception ("EVaCommError").
std::string ClassNameOf(const std::exception& e);
std::string DemangledName(const std::type_info& type);

// The system's text for an errno value.
std::string SysErrorMessage(int code);

// Strict decimal conversion: optional leading blanks, optional sign, digits,
// nothing after them, within the 32-bit range. Anything else raises
// EConvertError "'<text>' is not a valid integer value".
int StrToInt(const std::string& text);
// The same conversion reporting failure by result instead of raising.
bool TryStrToInt(const std::string& text, int& value);
std::string IntToStr(long long value);
