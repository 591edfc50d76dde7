#include "platform/exception.h"

#include <cxxabi.h>

#include <cstdlib>
#include <memory>
#include <typeinfo>

namespace platform {

std::string describe(const std::exception& e) {
  if (auto pe = dynamic_cast<const Exception*>(&e)) return std::string(pe->className()) + "\r" + pe->what();
  const char* raw = typeid(e).name();
  int status = 0;
  std::unique_ptr<char, void (*)(void*)> demangled(abi::__cxa_demangle(raw, nullptr, nullptr, &status), std::free);
  std::string name = (status == 0 && demangled) ? demangled.get() : raw;
  return name + "\r" + e.what();
}

}  // namespace platform
