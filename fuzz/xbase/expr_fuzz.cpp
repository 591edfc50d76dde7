// Parses any text as an expression (with and without a link holding a few
// variables) and evaluates it; any input may only end in the engine's own errors.
#include <cstdint>
#include <memory>
#include <string>

#include "platform/exception.h"
#include "xbase/xb_sql.h"

using namespace xb;

namespace {
struct TextVar : TxbUserDefFieldVar {
  TextVar() : TxbUserDefFieldVar("NAME;FIRSTNAME") {}
  int Kind() const override { return 17; }
  int Length() const override { return 20; }
  void Evaluate(TxbExpValue& v, int& t) override { t = etText; v.SetText("PETROV IVAN         "); }
};
struct NumVar : TxbUserDefFieldVar {
  NumVar() : TxbUserDefFieldVar("AGE") {}
  void Evaluate(TxbExpValue& v, int& t) override { t = etNumber; v.SetNumber(45); }
};
struct DateVar : TxbUserDefFieldVar {
  DateVar() : TxbUserDefFieldVar("BDATE") {}
  void Evaluate(TxbExpValue& v, int& t) override { t = etDate; v.SetNumber(2444240); }
};

std::shared_ptr<TxbExpUserLink> link() {
  static std::shared_ptr<TxbExpUserLink> l = [] {
    auto p = std::make_shared<TxbExpUserLink>();
    p->Variables.Register(std::make_shared<TextVar>());
    p->Variables.Register(std::make_shared<NumVar>());
    p->Variables.Register(std::make_shared<DateVar>());
    return p;
  }();
  return l;
}

void run(std::shared_ptr<TxbExpUserLink> l, const std::string& text, bool flags) {
  try {
    TxbExpHandler h(std::move(l));
    h.CaseInsensitive = flags;
    h.PartialCompare = !flags;
    h.Parse(text);
    TxbExpValue v;
    int type = 0;
    h.Evaluate(v, type);
    TxbVariant key;
    h.EvaluateKey(key);
    (void)h.EvaluateKeyText();
    (void)h.ExpressionText();
    (void)h.NamesOfKind(17);
  } catch (const platform::Exception&) {
  }
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096) return 0;
  std::string text(reinterpret_cast<const char*>(data), size);
  run(nullptr, text, false);
  run(link(), text, size % 2 == 0);
  return 0;
}
