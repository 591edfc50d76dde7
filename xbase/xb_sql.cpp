#include "xbase/xb_sql.h"

#include <charconv>
#include <cmath>
#include <algorithm>
#include <cstring>
#include <limits>

#include "xbase/xb_date.h"
#include "xbase/xb_dbf.h"
#include "xbase/xb_fctn.h"
#include "xbase/xb_glbl.h"
#include "xbase/xb_lcal.h"

namespace xb {

namespace {

bool isAlpha(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isIdent(char c) { return isAlpha(c) || isDigit(c) || c == '_'; }
bool isBlank(char c) { return static_cast<unsigned char>(c) <= ' '; }

std::string asciiUpper(std::string_view s) {
  std::string r(s);
  for (char& c : r)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  return r;
}

std::string_view trimBlanks(std::string_view s) {
  while (!s.empty() && isBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && isBlank(s.back())) s.remove_suffix(1);
  return s;
}

std::string_view trimRightBlanks(std::string_view s) {
  while (!s.empty() && isBlank(s.back())) s.remove_suffix(1);
  return s;
}

// Shortest decimal text of a double, locale-free.
std::string numberText(double v) {
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, r.ptr);
}

double finiteOrRaise(double v, const std::string& op) {
  if (!std::isfinite(v)) xbRaiseExpr(msg::ExpOverflow, {op});
  return v;
}

}  // namespace

void xbRaiseExpr(const char* tmpl, std::initializer_list<FmtArg> args) {
  throw EXBaseExpression(xbFormat(tmpl, args));
}

const char* xbExpTypeName(int type) {
  static const char* const names[] = {"Unknown", "Empty", "Any",     "Text",    "Number", "Integer",
                                      "Date",    "DateTime", "Boolean", "Memo", "Pointer"};
  if (type < 0 || type > 10) return "Invalid Value";
  return names[type];
}

// ---------------------------------------------------------------------------
// Values

std::string TxbExpValue::AsText() const {
  switch (kind) {
    case Text: return text;
    case Number: return numberText(num);
    case Boolean: return bln ? "T" : "F";
    default: return std::string();
  }
}

double TxbExpValue::AsNumber() const {
  switch (kind) {
    case Number: return num;
    case Boolean: return bln ? 1.0 : 0.0;
    case Text: {
      std::string_view t = trimBlanks(text);
      if (!t.empty() && t.front() == '+') t.remove_prefix(1);
      double d = 0;
      auto r = std::from_chars(t.data(), t.data() + t.size(), d);
      if (r.ec != std::errc() || r.ptr != t.data() + t.size()) return 0;
      return d;
    }
    default: return 0;
  }
}

bool TxbExpValue::AsBoolean() const {
  switch (kind) {
    case Boolean: return bln;
    case Number: return num != 0;
    case Text: return !text.empty() && xbIsTrueChar(text[0]);
    default: return false;
  }
}

// ---------------------------------------------------------------------------
// Functions, variables and registries

void TxbUserDefFunction::Evaluate(TxbExpFunction&, TxbExpValue& value, int& type) {
  value.SetNull();
  type = etEmpty;
}

TxbUserDefFieldVar::TxbUserDefFieldVar(std::string_view name) : name_(xbUpperCase(name)) {}

std::string TxbUserDefFieldVar::DisplayName() const {
  size_t p = name_.find(';');
  return p == std::string::npos ? name_ : name_.substr(0, p);
}

void TxbUserDefFieldVar::Evaluate(TxbExpValue& value, int& type) {
  value.SetNull();
  type = etEmpty;
}

bool TxbFunctionReg::Register(std::unique_ptr<TxbUserDefFunction> f) {
  if (!f) return false;
  std::string name = xbUpperCase(f->Name());
  if (name.empty() || items_.count(name)) return false;
  items_.emplace(std::move(name), std::move(f));
  return true;
}

TxbUserDefFunction* TxbFunctionReg::Find(std::string_view name) const {
  auto it = items_.find(name);
  return it == items_.end() ? nullptr : it->second.get();
}

bool TxbFieldVarReg::Register(const std::shared_ptr<TxbUserDefFieldVar>& v) {
  if (!v) return false;
  bool all = true;
  std::string full = xbUpperCase(v->FullName());
  size_t start = 0;
  while (start <= full.size()) {
    size_t p = full.find(';', start);
    std::string part = full.substr(start, p == std::string::npos ? std::string::npos : p - start);
    if (!part.empty()) {
      if (items_.count(part)) all = false;
      else items_.emplace(std::move(part), v);
    }
    if (p == std::string::npos) break;
    start = p + 1;
  }
  return all;
}

TxbUserDefFieldVar* TxbFieldVarReg::Find(std::string_view name) const {
  auto it = items_.find(name);
  return it == items_.end() ? nullptr : it->second.get();
}

namespace {

class TxbSDVTrue : public TxbUserDefFieldVar {
public:
  TxbSDVTrue() : TxbUserDefFieldVar("TRUE") {}
  void Evaluate(TxbExpValue& v, int& t) override { v.SetBoolean(true); t = etBoolean; }
};
class TxbSDVFalse : public TxbUserDefFieldVar {
public:
  TxbSDVFalse() : TxbUserDefFieldVar("FALSE") {}
  void Evaluate(TxbExpValue& v, int& t) override { v.SetBoolean(false); t = etBoolean; }
};
class TxbSDVPi : public TxbUserDefFieldVar {
public:
  TxbSDVPi() : TxbUserDefFieldVar("PI") {}
  void Evaluate(TxbExpValue& v, int& t) override { v.SetNumber(3.141592653589793); t = etNumber; }
};

}  // namespace

TxbFunctionReg& xbGlobalFunctions() {
  static TxbFunctionReg reg = [] {
    TxbFunctionReg r;
    xbRegisterStandardFunctions(r);
    return r;
  }();
  return reg;
}

TxbFieldVarReg& xbGlobalVariables() {
  static TxbFieldVarReg reg = [] {
    TxbFieldVarReg r;
    r.Register(std::make_shared<TxbSDVTrue>());
    r.Register(std::make_shared<TxbSDVFalse>());
    r.Register(std::make_shared<TxbSDVPi>());
    return r;
  }();
  return reg;
}

TxbUserDefFunction* TxbExpUserLink::FindFunction(std::string_view name) { return Functions.Find(name); }

TxbUserDefFieldVar* TxbExpUserLink::FindVariable(std::string_view name) {
  return Variables.Find(name.substr(0, 10));
}

void TxbExpUserLink::UnknownFunction(std::string_view name) { xbRaiseExpr(msg::ExpNoFunction, {name}); }

// ---------------------------------------------------------------------------
// The DBF link: table functions and field variables

namespace {

class TxblDBFFieldVars : public TxbUserDefFieldVar {
public:
  TxblDBFFieldVars(XBO_dBaseFld& t, int n) : TxbUserDefFieldVar(t.FieldName(n)), table_(t), n_(n) {}
  int Kind() const override { return 17; }
  int Length() const override { return static_cast<int>(table_.FieldLength(n_)); }
  void Evaluate(TxbExpValue& v, int& type) override {
    switch (table_.FieldType(n_)) {
      case 'C':
        type = etText;
        v.SetText(std::string(table_.FieldView(n_)));
        return;
      case 'N':
      case 'F':
        type = etNumber;
        v.SetNumber(table_.NumberGet(n_));
        return;
      case 'D':
        type = etDate;
        v.SetNumber(table_.DateGet(n_));
        return;
      case 'L':
        type = etBoolean;
        v.SetBoolean(table_.LogicGet(n_));
        return;
      case 'M':
        type = etText;
        v.SetText(table_.MemoRead(n_));
        return;
      case 'I':
      case 'Y':
        if (table_.IsBinaryField(n_)) {
          type = etNumber;
          v.SetNumber(table_.NumberGet(n_));
          return;
        }
        break;
      case 'B':
        if (table_.Version == 0x30) {
          type = etNumber;
          v.SetNumber(table_.NumberGet(n_));
          return;
        }
        break;
      default: break;
    }
    type = etMemo;
    v.SetText(table_.StringGet(n_));
  }

private:
  XBO_dBaseFld& table_;
  int n_;
};

class TxblTableFunction : public TxbUserDefFunction {
public:
  TxblTableFunction(XBO_dBaseFld& t, const char* name) : table_(t), name_(name) {}
  std::string Name() const override { return name_; }

protected:
  int fieldArg(TxbExpFunction& call) {
    TxbExpValue a;
    if (call.Arg(0, etText, a) == etEmpty) xbRaiseExpr(msg::ExpArgumentType, {"Text", int32_t{1}, name_});
    std::string name = xbUpperCase(std::string(trimBlanks(a.text)));
    int n = table_.FieldNo(name);
    if (n == 0) xbRaiseExpr(msg::NoFieldName, {name});
    return n;
  }
  XBO_dBaseFld& table_;
  const char* name_;
};

class TxblDBFRecNo : public TxblTableFunction {
public:
  explicit TxblDBFRecNo(XBO_dBaseFld& t) : TxblTableFunction(t, "RECNO") {}
  void Evaluate(TxbExpFunction&, TxbExpValue& v, int& type) override { type = etNumber; v.SetNumber(table_.RecNo); }
};
class TxblDBFDeleted : public TxblTableFunction {
public:
  explicit TxblDBFDeleted(XBO_dBaseFld& t) : TxblTableFunction(t, "DELETED") {}
  void Evaluate(TxbExpFunction&, TxbExpValue& v, int& type) override {
    type = etBoolean;
    v.SetBoolean(table_.IsDeleted());
  }
};
class TxblDBFBOF : public TxblTableFunction {
public:
  explicit TxblDBFBOF(XBO_dBaseFld& t) : TxblTableFunction(t, "BOF") {}
  void Evaluate(TxbExpFunction&, TxbExpValue& v, int& type) override { type = etBoolean; v.SetBoolean(table_.Bof); }
};
class TxblDBFEOF : public TxblTableFunction {
public:
  explicit TxblDBFEOF(XBO_dBaseFld& t) : TxblTableFunction(t, "EOF") {}
  void Evaluate(TxbExpFunction&, TxbExpValue& v, int& type) override { type = etBoolean; v.SetBoolean(table_.Eof); }
};
class TxblDBFType : public TxblTableFunction {
public:
  explicit TxblDBFType(XBO_dBaseFld& t) : TxblTableFunction(t, "TYPE") {}
  void Evaluate(TxbExpFunction& call, TxbExpValue& v, int& type) override {
    type = etText;
    v.SetText(std::string(1, table_.FieldType(fieldArg(call))));
  }
};
class TxblDBFLen : public TxblTableFunction {
public:
  explicit TxblDBFLen(XBO_dBaseFld& t) : TxblTableFunction(t, "LEN") {}
  void Evaluate(TxbExpFunction& call, TxbExpValue& v, int& type) override {
    type = etNumber;
    v.SetNumber(table_.FieldLength(fieldArg(call)) & 0xFF);
  }
};
class TxblDBFFieldNo : public TxblTableFunction {
public:
  explicit TxblDBFFieldNo(XBO_dBaseFld& t) : TxblTableFunction(t, "FIELDNO") {}
  void Evaluate(TxbExpFunction& call, TxbExpValue& v, int& type) override {
    type = etNumber;
    v.SetNumber(fieldArg(call));
  }
};

}  // namespace

TxbDBFLink::TxbDBFLink(XBO_dBaseFld& table) : table_(table) {
  Functions.Register(std::make_unique<TxblDBFRecNo>(table));
  Functions.Register(std::make_unique<TxblDBFDeleted>(table));
  Functions.Register(std::make_unique<TxblDBFBOF>(table));
  Functions.Register(std::make_unique<TxblDBFEOF>(table));
  Functions.Register(std::make_unique<TxblDBFType>(table));
  Functions.Register(std::make_unique<TxblDBFLen>(table));
  Functions.Register(std::make_unique<TxblDBFFieldNo>(table));
  for (int n = 1; n <= table.FieldCount; ++n) Variables.Register(std::make_shared<TxblDBFFieldVars>(table, n));
}

TxbUserDefFieldVar* TxbDBFLink::FindVariable(std::string_view name) {
  size_t dot = name.find('.');
  if (dot != std::string_view::npos && dot + 1 < name.size() &&
      xbUpperCase(name.substr(0, dot)) == xbUpperCase(table_.TableStem))
    return TxbExpUserLink::FindVariable(name.substr(dot + 1));
  return TxbExpUserLink::FindVariable(name);
}

bool TxbDBFLink::OemText() const { return table_.TranslateOEM; }

// ---------------------------------------------------------------------------
// Nodes

std::string TxbExpBaseObject::ExpressionText() const {
  std::string s;
  if (Left) s += Left->ExpressionText();
  s += Name();
  if (Right) s += Right->ExpressionText();
  return s;
}

void TxbExpBaseObject::CollectNames(int kind, std::string& out) const {
  if (Left) Left->CollectNames(kind, out);
  if (Kind() == kind) out += Name() + ";";
  if (Right) Right->CollectNames(kind, out);
}

void TxbExpBaseObject::Evaluate(TxbExpValue& value, int& type) {
  value.SetNull();
  type = etUnknown;
}

std::string TxbExpContainer::ExpressionText() const {
  return "(" + (Right ? Right->ExpressionText() : std::string()) + ")";
}

void TxbExpContainer::Evaluate(TxbExpValue& value, int& type) {
  if (!Right) {
    value.SetNull();
    type = etEmpty;
    return;
  }
  Right->Evaluate(value, type);
}

std::string TxbExpTextLit::ExpressionText() const {
  char q = text_.find('"') == std::string::npos ? '"' : (text_.find('\'') == std::string::npos ? '\'' : '[');
  return std::string(1, q) + text_ + (q == '[' ? ']' : q);
}

void TxbExpTextLit::Evaluate(TxbExpValue& value, int& type) {
  value.SetText(text_);
  type = etText;
}

std::string TxbExpNumLit::Name() const {
  char buf[400];
  auto r = std::to_chars(buf, buf + sizeof buf, value_, std::chars_format::fixed, decimals_);
  if (r.ec != std::errc()) return numberText(value_);
  return std::string(buf, r.ptr);
}

void TxbExpNumLit::Evaluate(TxbExpValue& value, int& type) {
  value.SetNumber(value_);
  type = etNumber;
}

void TxbExpDateLit::Evaluate(TxbExpValue& value, int& type) {
  value.SetNumber(julian_);
  type = etDate;
}

void TxbExpBlnLit::Evaluate(TxbExpValue& value, int& type) {
  value.SetBoolean(value_);
  type = etBoolean;
}

// Operators

TxbExpOperator::TxbExpOperator(TxbExpOp op, const TxbExpHandler& owner)
    : op_(op),
      caseInsensitive_(owner.CaseInsensitive),
      partial_(owner.PartialCompare),
      oem_(owner.Link() && owner.Link()->OemText()),
      wildMany_(owner.WildMany),
      wildOne_(owner.WildOne) {}

std::string TxbExpOperator::Name() const {
  static const char* const names[] = {"^", "*", "/", "+", "-", "=", "#", ">", "<", ">=", "<=",
                                      "in string", ".NOT.", ".AND.", ".OR."};
  return names[static_cast<int>(op_)];
}

int TxbExpOperator::Level() const {
  switch (op_) {
    case TxbExpOp::Power: return 2;
    case TxbExpOp::Mul:
    case TxbExpOp::Div: return 3;
    case TxbExpOp::Add:
    case TxbExpOp::Sub: return 4;
    case TxbExpOp::Not: return 6;
    case TxbExpOp::And: return 7;
    case TxbExpOp::Or: return 8;
    default: return 5;
  }
}

namespace {

std::string upperFor(std::string_view s, bool oem) {
  if (!oem) return xbUpperCase(s);
  return xbAnsiToOemStr(xbUpperCase(xbOemToAnsiStr(s)));
}

// Texts of a table that keeps OEM text are ordered as their CP1251 form.
int collateFor(std::string_view a, std::string_view b, bool oem) {
  if (!oem) return xbCollateCompare(a, b);
  return xbCollateCompare(xbOemToAnsiStr(a), xbOemToAnsiStr(b));
}

// Whether the pattern occurs in text; '?' (when anyOne) matches any one byte.
bool patternOccurs(std::string_view pattern, std::string_view text, bool anyOne, char one) {
  if (pattern.size() > text.size()) return false;
  for (size_t start = 0; start + pattern.size() <= text.size(); ++start) {
    size_t i = 0;
    for (; i < pattern.size(); ++i) {
      char p = pattern[i];
      if (anyOne && p == one) continue;
      if (p != text[start + i]) break;
    }
    if (i == pattern.size()) return true;
  }
  return false;
}

bool isComparison(TxbExpOp op) {
  return op == TxbExpOp::Eq || op == TxbExpOp::Ne || op == TxbExpOp::Gt || op == TxbExpOp::Lt ||
         op == TxbExpOp::Ge || op == TxbExpOp::Le;
}

bool isArithmetic(TxbExpOp op) {
  return op == TxbExpOp::Power || op == TxbExpOp::Mul || op == TxbExpOp::Div || op == TxbExpOp::Add ||
         op == TxbExpOp::Sub;
}

bool compareResult(TxbExpOp op, int c) {
  switch (op) {
    case TxbExpOp::Eq: return c == 0;
    case TxbExpOp::Ne: return c != 0;
    case TxbExpOp::Gt: return c > 0;
    case TxbExpOp::Lt: return c < 0;
    case TxbExpOp::Ge: return c >= 0;
    case TxbExpOp::Le: return c <= 0;
    default: return false;
  }
}

// x to the whole power n, by squaring, with overflow raised.
double power(double x, int32_t n) {
  bool negative = n < 0;
  int64_t e = negative ? -static_cast<int64_t>(n) : n;
  double result = 1, base = x;
  while (e > 0) {
    if (e & 1) result = finiteOrRaise(result * base, "^");
    e >>= 1;
    if (e > 0) base = finiteOrRaise(base * base, "^");
  }
  if (negative) {
    if (result == 0) xbRaiseExpr(msg::ExpDivZero);
    result = 1 / result;
  }
  return result;
}

}  // namespace

int TxbExpOperator::compareText(const std::string& left, const std::string& right) const {
  bool le = left.empty(), re = right.empty();
  if (le || re) return le && re ? 0 : (le ? -1 : 1);
  std::string l(trimRightBlanks(left)), r(trimRightBlanks(right));
  if (caseInsensitive_) {
    l = upperFor(l, oem_);
    r = upperFor(r, oem_);
  }
  if (partial_ && !r.empty() && (r.front() == wildMany_ || r.back() == wildMany_)) {
    bool leading = r.front() == wildMany_;
    std::string_view p(r);
    if (!p.empty() && p.front() == wildMany_) p.remove_prefix(1);
    if (!p.empty() && p.back() == wildMany_) p.remove_suffix(1);
    if (p.empty()) return 0;
    return patternOccurs(p, l, !leading, wildOne_) ? 0 : -1;
  }
  return collateFor(l, r, oem_);
}

void TxbExpOperator::Evaluate(TxbExpValue& value, int& type) {
  if (!Right || (!Left && op_ != TxbExpOp::Not)) xbRaiseExpr(msg::ExpTargetMissing, {Name()});
  TxbExpValue rv, lv;
  int rt = 0, lt = 0;
  Right->Evaluate(rv, rt);
  if (op_ == TxbExpOp::Not) {
    if (rt != etBoolean) xbRaiseExpr(msg::ExpValueRequired, {"boolean"});
    value.SetBoolean(!rv.AsBoolean());
    type = etBoolean;
    return;
  }
  Left->Evaluate(lv, lt);
  if (!xbExpTypesMatch(lt, rt)) xbRaiseExpr(msg::ExpSidesMismatch);
  type = rt;
  bool relational = isComparison(op_) || op_ == TxbExpOp::In || op_ == TxbExpOp::And || op_ == TxbExpOp::Or;

  if (rt == etBoolean) {
    bool l = lv.AsBoolean(), r = rv.AsBoolean();
    switch (op_) {
      case TxbExpOp::Eq: value.SetBoolean(l == r); break;
      case TxbExpOp::Ne: value.SetBoolean(l != r); break;
      case TxbExpOp::And: value.SetBoolean(l && r); break;
      case TxbExpOp::Or: value.SetBoolean(l || r); break;
      default:
        xbRaiseExpr(msg::ExpValueRequired, {isArithmetic(op_) ? "number" : "assigned"});
    }
  } else if (xbExpNumeric(rt)) {
    double l = lv.AsNumber(), r = rv.AsNumber();
    if (isComparison(op_)) {
      value.SetBoolean(compareResult(op_, l < r ? -1 : (l > r ? 1 : 0)));
    } else {
      switch (op_) {
        case TxbExpOp::Add: value.SetNumber(finiteOrRaise(l + r, "+")); break;
        case TxbExpOp::Sub: value.SetNumber(finiteOrRaise(l - r, "-")); break;
        case TxbExpOp::Mul: value.SetNumber(finiteOrRaise(l * r, "*")); break;
        case TxbExpOp::Div:
          if (r == 0) xbRaiseExpr(msg::ExpDivZero);
          value.SetNumber(finiteOrRaise(l / r, "/"));
          break;
        case TxbExpOp::Power: {
          double n = std::nearbyint(r);
          if (!(n >= std::numeric_limits<int32_t>::min() && n <= std::numeric_limits<int32_t>::max()))
            xbRaiseExpr(msg::ExpOverflow, {"^"});
          value.SetNumber(power(l, static_cast<int32_t>(n)));
          break;
        }
        default: xbRaiseExpr(msg::ExpValueRequired, {"assigned"});
      }
    }
  } else if (rt == etText || rt == etMemo) {
    const std::string& l = lv.text;
    const std::string& r = rv.text;
    if (isComparison(op_)) {
      value.SetBoolean(compareResult(op_, compareText(l, r)));
    } else if (op_ == TxbExpOp::In) {
      value.SetBoolean(r.find(l) != std::string::npos);
    } else if ((op_ == TxbExpOp::Add || op_ == TxbExpOp::Sub) && l.size() + r.size() > xbMaxFunctionText) {
      // Joined texts are bounded as function results are.
      xbRaiseExpr(msg::ExpTooLong, {op_ == TxbExpOp::Add ? "+" : "-"});
    } else if (op_ == TxbExpOp::Add) {
      value.SetText(l + r);
    } else if (op_ == TxbExpOp::Sub) {
      // Blanks only: the control characters stay where they are.
      size_t keep = l.size();
      while (keep > 0 && l[keep - 1] == ' ') --keep;
      std::string s(l, 0, keep);
      s += r;
      s.append(l.size() + r.size() - s.size(), ' ');
      value.SetText(std::move(s));
    } else {
      xbRaiseExpr(msg::ExpValueRequired, {"assigned"});
    }
  } else {
    value.SetNull();
    return;
  }
  if (relational) type = etBoolean;
}

// Function calls

TxbExpFunction::TxbExpFunction(std::string name, TxbUserDefFunction* fn, const TxbExpHandler& owner)
    : name_(std::move(name)), fn_(fn), owner_(owner) {}

std::string TxbExpFunction::ExpressionText() const {
  std::string s = name_ + "(";
  for (size_t i = 0; i < args_.size(); ++i) {
    if (i) s += ",";
    if (args_[i]) s += args_[i]->ExpressionText();
  }
  return s + ")";
}

void TxbExpFunction::CollectNames(int kind, std::string& out) const {
  for (const auto& a : args_)
    if (a) a->CollectNames(kind, out);
  if (Kind() == kind) out += Name() + ";";
}

void TxbExpFunction::Evaluate(TxbExpValue& value, int& type) {
  value.SetNull();
  type = etEmpty;
  fn_->Evaluate(*this, value, type);
}

int TxbExpFunction::Arg(size_t i, int expected, TxbExpValue& value) {
  if (!HasArg(i)) {
    value.SetNull();
    return etEmpty;
  }
  int t = 0;
  args_[i]->Evaluate(value, t);
  if (expected != etAny && !xbExpTypesMatch(t, expected) && !(expected == etText && t == etMemo))
    xbRaiseExpr(msg::ExpArgumentType, {xbExpTypeName(expected), static_cast<int32_t>(i + 1), name_});
  return t;
}

// ---------------------------------------------------------------------------
// The parser

namespace {

enum class TokKind { Op, Sub, Func, Var, Text, Num, Date, Bln };

struct Token {
  TokKind kind;
  std::string payload;      // sub-expression text, function arguments, literal text
  std::string name;         // function name
  TxbExpOp op = TxbExpOp::Add;
  TxbUserDefFieldVar* var = nullptr;
  double num = 0;
  int decimals = 0;
  int32_t julian = 0;
  bool bln = false;
};

struct SymbolForm {
  const char* text;
  TxbExpOp op;
};
constexpr SymbolForm symbolForms[] = {
    {"**", TxbExpOp::Power}, {"^", TxbExpOp::Power}, {"*", TxbExpOp::Mul},  {"/", TxbExpOp::Div},
    {"+", TxbExpOp::Add},    {"-", TxbExpOp::Sub},   {"=", TxbExpOp::Eq},   {"==", TxbExpOp::Eq},
    {"<>", TxbExpOp::Ne},    {"!=", TxbExpOp::Ne},   {"#", TxbExpOp::Ne},   {">", TxbExpOp::Gt},
    {"<", TxbExpOp::Lt},     {">=", TxbExpOp::Ge},   {"=>", TxbExpOp::Ge},  {"<=", TxbExpOp::Le},
    {"=<", TxbExpOp::Le},    {"$", TxbExpOp::In},    {"!", TxbExpOp::Not}};

constexpr SymbolForm wordForms[] = {{"AND", TxbExpOp::And}, {"OR", TxbExpOp::Or}, {"EQ", TxbExpOp::Eq},
                                    {"NE", TxbExpOp::Ne},   {"GE", TxbExpOp::Ge}, {"LE", TxbExpOp::Le},
                                    {"LT", TxbExpOp::Lt},   {"GT", TxbExpOp::Gt}};

// A word of letters, optionally between dots, at the start of s: its length (0 for none).
size_t dottedWord(std::string_view s, std::string& word) {
  size_t i = 0;
  if (i < s.size() && s[i] == '.') ++i;
  size_t b = i;
  while (i < s.size() && isAlpha(s[i])) ++i;
  if (i == b) return 0;
  word = asciiUpper(s.substr(b, i - b));
  if (i < s.size() && s[i] == '.') ++i;
  return i;
}

// Position of the ")" closing the "(" at s[0], counting parentheses only; npos for none.
size_t closeParen(std::string_view s) {
  int depth = 0;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '(') ++depth;
    else if (s[i] == ')' && --depth == 0) return i;
  }
  return std::string_view::npos;
}

// Position of the ")" closing an argument list that starts after s[0] == '(',
// skipping nested brackets and quoted text; npos for none.
size_t closeArgs(std::string_view s) {
  std::vector<char> stack;
  for (size_t i = 0; i < s.size(); ++i) {
    char c = s[i];
    if (c == '"' || c == '\'') {
      size_t e = s.find(c, i + 1);
      if (e == std::string_view::npos) return e;
      i = e;
    } else if (c == '(') stack.push_back(')');
    else if (c == '[') stack.push_back(']');
    else if (c == '{') stack.push_back('}');
    else if (!stack.empty() && c == stack.back()) {
      stack.pop_back();
      if (stack.empty()) return i;
    }
  }
  return std::string_view::npos;
}

// The arguments between commas at depth 0.
std::vector<std::string_view> splitArgs(std::string_view s) {
  std::vector<std::string_view> out;
  int depth = 0;
  size_t start = 0;
  for (size_t i = 0; i < s.size(); ++i) {
    char c = s[i];
    if (c == '"' || c == '\'') {
      size_t e = s.find(c, i + 1);
      if (e == std::string_view::npos) break;
      i = e;
    } else if (c == '(' || c == '[' || c == '{') ++depth;
    else if (c == ')' || c == ']' || c == '}') --depth;
    else if (c == ',' && depth == 0) {
      out.push_back(s.substr(start, i - start));
      start = i + 1;
    }
  }
  out.push_back(s.substr(start));
  return out;
}

}  // namespace

TxbExpHandler::TxbExpHandler(std::shared_ptr<TxbExpUserLink> link, const std::string& text)
    : link_(std::move(link)) {
  if (!text.empty()) Parse(text);
}

TxbExpHandler::TxbExpHandler(XBO_dBaseFld& table, const std::string& text)
    : link_(std::make_shared<TxbDBFLink>(table)) {
  if (!text.empty()) Parse(text);
}

TxbExpHandler::~TxbExpHandler() = default;

void TxbExpHandler::noteLength(int length, int decimals) {
  if (length > maxLength_) maxLength_ = length;
  if (decimals > maxDecimals_) maxDecimals_ = decimals;
}

std::string TxbExpHandler::Upper(std::string_view s) const { return upperFor(s, link_ && link_->OemText()); }
int TxbExpHandler::CompareText(std::string_view a, std::string_view b) const {
  return collateFor(a, b, link_ && link_->OemText());
}

std::string TxbExpHandler::Lower(std::string_view s) const {
  if (!(link_ && link_->OemText())) return xbLowerCase(s);
  return xbAnsiToOemStr(xbLowerCase(xbOemToAnsiStr(s)));
}

void TxbExpHandler::Parse(const std::string& text) {
  root_.reset();
  resultType_ = 0;
  operandCount_ = 0;
  maxLength_ = 0;
  maxDecimals_ = 0;
  source_ = text;
  if (trimBlanks(text).empty()) return;
  root_ = parseTree(text, 0);
}

std::unique_ptr<TxbExpBaseObject> TxbExpHandler::parseTree(std::string_view whole, int depth) {
  if (depth > xbMaxExpDepth) xbRaiseExpr(msg::ExpTooDeep);
  std::string_view s = trimBlanks(whole);
  std::vector<Token> tokens;
  bool expectOperand = true;
  auto skip = [&s] {
    while (!s.empty() && isBlank(s.front())) s.remove_prefix(1);
  };
  auto syntax = [&]() { xbRaiseExpr(msg::ExpSyntax, {std::string(trimBlanks(source_))}); };

  while (!s.empty()) {
    Token t;
    if (expectOperand) {
      std::string word;
      size_t wl = s.front() == '!' ? 1 : dottedWord(s, word);
      bool negation = s.front() == '!' ? (s.size() < 2 || s[1] != '=')
                                       : (wl > 0 && word == "NOT" && (wl == s.size() || !isIdent(s[wl])));
      if (negation) {
        t.kind = TokKind::Op;
        t.op = TxbExpOp::Not;
        tokens.push_back(std::move(t));
        s.remove_prefix(wl);
        skip();
        continue;
      }
      char c = s.front();
      if (c == '(') {
        size_t e = closeParen(s);
        if (e == std::string_view::npos) xbRaiseExpr(msg::ExpMissingParen);
        t.kind = TokKind::Sub;
        t.payload = std::string(s.substr(1, e - 1));
        s.remove_prefix(e + 1);
      } else if (c == '.') {
        size_t e = s.find('.', 1);
        if (e == std::string_view::npos) xbRaiseExpr(msg::ExpMissingPeriod);
        std::string lit = asciiUpper(s.substr(0, e + 1));
        if (lit != ".T." && lit != ".F.") xbRaiseExpr(msg::ExpExpectingLogical);
        t.kind = TokKind::Bln;
        t.bln = lit == ".T.";
        s.remove_prefix(e + 1);
      } else if (isAlpha(c) || c == '_') {
        size_t i = 1;
        while (i < s.size() && isIdent(s[i])) ++i;
        std::string name(s.substr(0, i));
        size_t j = i;
        while (j < s.size() && isBlank(s[j])) ++j;
        if (j < s.size() && s[j] == '(') {
          size_t e = closeArgs(s.substr(j));
          if (e == std::string_view::npos) xbRaiseExpr(msg::ExpMissingParen);
          t.kind = TokKind::Func;
          t.name = name;
          t.payload = std::string(s.substr(j + 1, e - 1));
          s.remove_prefix(j + e + 1);
        } else {
          std::string rest(s.substr(i));
          for (;;) {
            std::string upper = xbUpperCase(name);
            TxbUserDefFieldVar* v = xbGlobalVariables().Find(upper);
            if (!v && link_) v = link_->FindVariable(upper);
            if (!v && rest.size() >= 2 && rest[0] == '-' && rest[1] == '>') rest.erase(0, 1), rest[0] = '.';
            bool dotNext = !rest.empty() && rest[0] == '.';
            if (v && !(v->NeedsQualifier() && dotNext)) {
              t.kind = TokKind::Var;
              t.var = v;
              t.name = upper;
              break;
            }
            if (!dotNext) xbRaiseExpr(msg::ExpNoFunction, {name});
            size_t k = 1;
            while (k < rest.size() && isIdent(rest[k])) ++k;
            name += rest.substr(0, k);
            rest.erase(0, k);
          }
          // What is left of the copy is an unchanged tail of the text (an arrow is
          // rewritten only where it is then taken into the name).
          s = std::string_view(s.data() + s.size() - rest.size(), rest.size());
        }
      } else if (c == '"' || c == '\'' || c == '[' || c == '{') {
        char close = c == '[' ? ']' : (c == '{' ? '}' : c);
        size_t e = s.find(close, 1);
        if (e == std::string_view::npos) xbRaiseExpr(msg::ExpMissingLiteralEnd, {std::string(1, c)});
        std::string content(s.substr(1, e - 1));
        if (c == '{') {
          t.kind = TokKind::Date;
          t.payload = content;
          try {
            t.julian = xbDBFDate().StrToJulian(content);
          } catch (const platform::Exception&) {
            t.julian = 0;
          }
        } else {
          t.kind = TokKind::Text;
          t.payload = std::move(content);
        }
        s.remove_prefix(e + 1);
      } else if (c == '+' || c == '-' || isDigit(c)) {
        size_t i = 1;
        while (i < s.size() && (isDigit(s[i]) || s[i] == '.')) ++i;
        std::string_view lit = s.substr(0, i);
        std::string_view digits = lit.front() == '+' ? lit.substr(1) : lit;
        double d = 0;
        auto r = std::from_chars(digits.data(), digits.data() + digits.size(), d);
        if (r.ec == std::errc::result_out_of_range) xbRaiseExpr(msg::ExpNumberRange, {lit});
        if (r.ec != std::errc() || r.ptr != digits.data() + digits.size()) d = 0;
        size_t dot = lit.find('.');
        t.kind = TokKind::Num;
        t.num = d;
        t.decimals = dot == std::string_view::npos ? 0 : static_cast<int>(lit.size() - dot - 1);
        t.payload = std::string(lit);
        s.remove_prefix(i);
      } else {
        syntax();
      }
      tokens.push_back(std::move(t));
      expectOperand = false;
    } else {
      static constexpr std::string_view symbols = "!#$*+-/<=>^";
      static constexpr std::string_view runChars = "*<=>";
      t.kind = TokKind::Op;
      if (symbols.find(s.front()) != std::string_view::npos) {
        size_t i = 1;
        while (i < s.size() && runChars.find(s[i]) != std::string_view::npos) ++i;
        std::string_view form = s.substr(0, i);
        bool found = false;
        for (const auto& f : symbolForms)
          if (form == f.text) { t.op = f.op; found = true; break; }
        if (!found) syntax();
        s.remove_prefix(i);
      } else {
        std::string word;
        size_t wl = dottedWord(s, word);
        bool found = false;
        if (wl > 0)
          for (const auto& f : wordForms)
            if (word == f.text) { t.op = f.op; found = true; break; }
        if (!found) syntax();
        s.remove_prefix(wl);
      }
      tokens.push_back(std::move(t));
      expectOperand = true;
    }
    skip();
  }

  // Nodes in source order.
  std::vector<std::unique_ptr<TxbExpBaseObject>> nodes;
  std::vector<bool> unbound;   // an operator not yet given its operands
  for (auto& t : tokens) {
    std::unique_ptr<TxbExpBaseObject> n;
    bool op = false;
    switch (t.kind) {
      case TokKind::Op:
        n = std::make_unique<TxbExpOperator>(t.op, *this);
        op = true;
        break;
      case TokKind::Sub: {
        auto c = std::make_unique<TxbExpContainer>();
        if (!trimBlanks(t.payload).empty()) {
          c->Right = parseTree(t.payload, depth + 1);
          c->Depth = c->Right->Depth + 1;
        }
        n = std::move(c);
        break;
      }
      case TokKind::Func: {
        std::string upper = xbUpperCase(t.name);
        TxbUserDefFunction* fn = xbGlobalFunctions().Find(upper);
        if (!fn && link_) fn = link_->FindFunction(upper);
        if (!fn) {
          if (link_) link_->UnknownFunction(upper);
          xbRaiseExpr(msg::ExpNoFunction, {upper});
        }
        std::string shown = fn->Name().empty() ? upper : fn->Name();
        auto f = std::make_unique<TxbExpFunction>(shown, fn, *this);
        std::vector<std::string_view> parts = splitArgs(t.payload);
        // Empty arguments are dropped: IIF(.T.,,"b") has the two arguments .T. and "b".
        for (auto p : parts) {
          if (trimBlanks(p).empty()) continue;
          f->args_.push_back(parseTree(p, depth + 1));
          f->Depth = std::max(f->Depth, f->args_.back()->Depth + 1);
        }
        n = std::move(f);
        break;
      }
      case TokKind::Var:
        if (!link_) xbRaiseExpr(msg::ExpUnknownVariable, {t.name});
        noteLength(t.var->Length(), 0);
        n = std::make_unique<TxbExpFieldvar>(t.var);
        break;
      case TokKind::Text: n = std::make_unique<TxbExpTextLit>(std::move(t.payload)); break;
      case TokKind::Num:
        noteLength(static_cast<int>(t.payload.size()), t.decimals);
        n = std::make_unique<TxbExpNumLit>(t.num, static_cast<int>(t.payload.size()), t.decimals);
        break;
      case TokKind::Date: n = std::make_unique<TxbExpDateLit>(std::move(t.payload), t.julian); break;
      case TokKind::Bln: n = std::make_unique<TxbExpBlnLit>(t.bln); break;
    }
    if (!op) ++operandCount_;
    if (n->Depth > xbMaxTreeDepth) xbRaiseExpr(msg::ExpTooDeep);
    nodes.push_back(std::move(n));
    unbound.push_back(op);
  }

  // Operators bound level by level, each level from the left; a negation binds the
  // operand on its right, so a run of negations is bound from the right.
  auto finish = [](TxbExpBaseObject& node) {
    int d = 0;
    if (node.Left) d = node.Left->Depth;
    if (node.Right) d = std::max(d, node.Right->Depth);
    node.Depth = d + 1;
    if (node.Depth > xbMaxTreeDepth) xbRaiseExpr(msg::ExpTooDeep);
  };
  for (int level = 2; level <= 8; ++level) {
    std::vector<std::unique_ptr<TxbExpBaseObject>> out;
    std::vector<bool> outUnbound;
    if (level == 6) {
      for (size_t k = nodes.size(); k-- > 0;) {
        auto* op = unbound[k] ? static_cast<TxbExpOperator*>(nodes[k].get()) : nullptr;
        if (op && op->Level() == 6) {
          if (!out.empty() && !outUnbound.back()) {
            nodes[k]->Right = std::move(out.back());
            out.pop_back();
            outUnbound.pop_back();
          }
          finish(*nodes[k]);
          out.push_back(std::move(nodes[k]));
          outUnbound.push_back(false);
        } else {
          out.push_back(std::move(nodes[k]));
          outUnbound.push_back(unbound[k]);
        }
      }
      std::reverse(out.begin(), out.end());
      std::reverse(outUnbound.begin(), outUnbound.end());
      nodes = std::move(out);
      unbound = std::move(outUnbound);
      continue;
    }
    for (size_t i = 0; i < nodes.size(); ++i) {
      auto* op = unbound[i] ? static_cast<TxbExpOperator*>(nodes[i].get()) : nullptr;
      if (!op || op->Level() != level) {
        out.push_back(std::move(nodes[i]));
        outUnbound.push_back(unbound[i]);
        continue;
      }
      std::unique_ptr<TxbExpBaseObject> node = std::move(nodes[i]);
      if (!out.empty() && !outUnbound.back()) {
        node->Left = std::move(out.back());
        out.pop_back();
        outUnbound.pop_back();
      }
      if (i + 1 < nodes.size() && !unbound[i + 1]) {
        node->Right = std::move(nodes[i + 1]);
        ++i;
      }
      finish(*node);
      out.push_back(std::move(node));
      outUnbound.push_back(false);
    }
    nodes = std::move(out);
    unbound = std::move(outUnbound);
  }
  if (nodes.size() != 1) xbRaiseExpr(msg::ExpCannotEvaluate);
  return std::move(nodes.front());
}

std::string TxbExpHandler::ExpressionText() const { return root_ ? root_->ExpressionText() : std::string(); }

void TxbExpHandler::Evaluate(TxbExpValue& value, int& type) {
  value.SetNull();
  type = etUnknown;
  if (root_) root_->Evaluate(value, type);
  resultType_ = type;
}

int TxbExpHandler::EvaluateKey(TxbVariant& key) {
  key.Clear();
  if (!root_) {
    key.SetText("");
    resultType_ = 0;
    return 0;
  }
  TxbExpValue v;
  int type = 0;
  Evaluate(v, type);
  if (v.IsNull()) return 0;
  switch (type) {
    case etText:
    case etMemo: key.SetText(v.AsText()); return type;
    case etNumber:
    case etInteger:
    case etDateTime: key.SetNumber(v.AsNumber()); return type;
    case etDate: {
      double d = std::nearbyint(v.AsNumber());
      if (!(d >= std::numeric_limits<int32_t>::min() && d <= std::numeric_limits<int32_t>::max()))
        xbRaiseExpr(msg::ExpOverflow, {"Date"});
      key.SetDate(static_cast<int32_t>(d));
      return type;
    }
    case etBoolean: key.SetBoolean(v.AsBoolean()); return type;
    default: return 0;
  }
}

std::string TxbExpHandler::EvaluateKeyText() {
  TxbExpValue v;
  int type = 0;
  Evaluate(v, type);
  if (v.IsNull()) return std::string();
  switch (type) {
    case etDate: {
      double d = v.AsNumber();
      if (d < 1 || d == xbEmptyDateMark || d > xbJulianMax) return std::string(8, ' ');
      return xbDBFDate().JulianToDBFStr(static_cast<int32_t>(std::nearbyint(d)));
    }
    case etBoolean: return v.AsBoolean() ? "T" : "F";
    default: return v.AsText();
  }
}

int TxbExpHandler::ProbeType() {
  if (!root_) return 0;
  if (resultType_ == 0) {
    TxbExpValue v;
    int t = 0;
    Evaluate(v, t);
  }
  return resultType_;
}

std::string TxbExpHandler::NamesOfKind(int kind) const {
  std::string out;
  if (root_) root_->CollectNames(kind, out);
  return out;
}

// ---------------------------------------------------------------------------
// The table filter

namespace {

class TxbExpFilter : public IxbFilterExpr {
public:
  TxbExpFilter(XBO_dBHandler& table, const std::string& text, bool caseInsensitive, bool partial)
      : handler_(table) {
    handler_.CaseInsensitive = caseInsensitive;
    handler_.PartialCompare = partial;
    handler_.Parse(text);
  }
  TxbVariant Evaluate() override {
    TxbExpValue v;
    int type = 0;
    handler_.Evaluate(v, type);
    TxbVariant r;
    if (type == etBoolean) r.SetBoolean(v.AsBoolean());
    return r;
  }

private:
  TxbExpHandler handler_;
};

}  // namespace

std::unique_ptr<IxbFilterExpr> xbCompileFilter(XBO_dBHandler& table, const std::string& text, bool caseInsensitive,
                                               bool partial) {
  return std::make_unique<TxbExpFilter>(table, text, caseInsensitive, partial);
}

std::string xbMasterDetailKey(XBO_dBHandler& table, const std::string& tableName, const std::string& keyExpression,
                              const std::vector<std::string>& masterValues, bool allText, size_t summedSizes) {
  if (masterValues.empty()) return std::string();
  TxbExpHandler key(table, keyExpression);
  std::string names = key.NamesOfKind(17);
  std::vector<std::string> fields;
  for (size_t start = 0; start < names.size();) {
    size_t semi = names.find(';', start);
    if (semi == std::string::npos) semi = names.size();
    if (semi > start) fields.push_back(names.substr(start, semi - start));
    start = semi + 1;
  }
  if (fields.size() < masterValues.size()) xbRaiseDatabase(msg::MasterMismatch, {tableName});
  std::string list;
  for (size_t i = 0; i < masterValues.size(); ++i) list += (i ? ";" : "") + fields[i];
  std::vector<uint8_t> scratch(table.RecordLength + 1, ' ');
  uint8_t* saved = table.CurRecord;
  struct Restore {
    XBO_dBHandler& t;
    uint8_t* p;
    ~Restore() { t.CurRecord = p; }
  } restore{table, saved};
  table.BuildSearchRecord(scratch.data(), list, masterValues);
  table.CurRecord = scratch.data();
  TxbVariant v;
  key.EvaluateKey(v);
  std::string text = v.AsText();
  if (allText && text.size() > summedSizes) text.resize(summedSizes);
  return text;
}

void xbInstallExpressions() {
  if (!XBO_dBHandler::FilterCompiler()) XBO_dBHandler::FilterCompiler() = xbCompileFilter;
}

}  // namespace xb
