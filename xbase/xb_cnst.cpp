#include "xbase/xb_cnst.h"

#include <charconv>

namespace xb {

std::string xbFormat(std::string_view tmpl, std::initializer_list<FmtArg> args) {
  std::string out;
  out.reserve(tmpl.size() + 64);
  auto it = args.begin();
  for (size_t i = 0; i < tmpl.size(); ++i) {
    char c = tmpl[i];
    if (c == '%' && i + 1 < tmpl.size()) {
      char k = tmpl[i + 1];
      if (k == '%') { out += '%'; ++i; continue; }
      if (k == 's' || k == 'd') {
        ++i;
        if (it == args.end()) continue;
        const FmtArg& a = *it++;
        if (a.isInt) {
          char buf[24];
          auto r = std::to_chars(buf, buf + sizeof buf, a.num);
          out.append(buf, r.ptr);
        } else {
          out.append(a.text);
        }
        continue;
      }
    }
    out += c;
  }
  return out;
}

void xbRaise(const char* tmpl, std::initializer_list<FmtArg> args) {
  throw EXBaseError(xbFormat(tmpl, args));
}

void xbRaiseEncryption(const char* tmpl, std::initializer_list<FmtArg> args) {
  throw EXBaseEncryption(xbFormat(tmpl, args));
}

void xbRaiseDatabase(const char* tmpl, std::initializer_list<FmtArg> args) {
  throw EDatabaseError(xbFormat(tmpl, args));
}

TxbLockRetry& xbLockRetry() {
  static TxbLockRetry r;
  return r;
}

}  // namespace xb
