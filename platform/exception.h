#pragma once
// Base of every exception the program raises. The operator sees an error as
// "class name, carriage return, message", so each exception knows its class name.
#include <stdexcept>
#include <string>

namespace platform {

class Exception : public std::runtime_error {
public:
  explicit Exception(const std::string& message) : std::runtime_error(message) {}
  virtual const char* className() const noexcept { return "Exception"; }
  std::string message() const { return what(); }
};

// Conversion failures of the string and date helpers.
class EConvertError : public Exception {
public:
  using Exception::Exception;
  const char* className() const noexcept override { return "EConvertError"; }
};

// Operating-system failures (files, locks, processes).
class EOSError : public Exception {
public:
  using Exception::Exception;
  const char* className() const noexcept override { return "EOSError"; }
};

// The class name the operator sees: the program's own exceptions name themselves, others
// give their readable type name ("std::runtime_error").
std::string ExceptionClassName(const std::exception& e);
// "ClassName\rMessage" for any exception; std exceptions report their own type name.
std::string describe(const std::exception& e);

}  // namespace platform
