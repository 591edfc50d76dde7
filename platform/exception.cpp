#include "platform/exception.h"

#include <cxxabi.h>

#include <cstdlib>
#include <memory>
#include <typeinfo>

namespace platform {

std::string ExceptionClassName(const std::exception& e) {
  if (auto pe = dynamic_cast<const Exception*>(&e)) return pe->className();
  const char* raw = typeid(e).name();
  int status = 0;
  std::unique_ptr<char, void (*)(void*)> demangled(abi::__cxa_demangle(raw, nullptr, nullptr, &status), std::free);
  return (status == 0 && demangled) ? std::string(demangled.get()) : std::string(raw);
}

std::string describe(const std::exception& e) { return ExceptionClassName(e) + "\r" + e.what(); }

}  // namespace platform
