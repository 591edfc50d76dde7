#pragma once
// The expression language of the engine: xBase expressions (filters, index keys,
// master-detail keys) parsed once into a tree of nodes and evaluated on the
// current record of a table. Functions and named variables come from registries;
// a table adds its own functions and its fields through its link.
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "xbase/xb_cnst.h"
#include "xbase/xb_dbsy.h"
#include "xbase/xb_tool.h"

namespace xb {

class XBO_dBaseFld;
class XBO_dBHandler;
class TxbExpHandler;
class TxbExpFunction;

// Value types of the nodes. Number, Integer, Date and DateTime form the numeric
// family: any two of them match each other.
enum TxbExpType : int {
  etUnknown = 0, etEmpty = 1, etAny = 2, etText = 3, etNumber = 4, etInteger = 5, etDate = 6,
  etDateTime = 7, etBoolean = 8, etMemo = 9, etPointer = 10
};
// "Unknown", "Empty", "Any", "Text", ... ; "Invalid Value" for other codes.
const char* xbExpTypeName(int type);
inline bool xbExpNumeric(int type) { return type >= etNumber && type <= etDateTime; }
// Whether two types match (equal, or both in the numeric family).
inline bool xbExpTypesMatch(int a, int b) { return a == b || (xbExpNumeric(a) && xbExpNumeric(b)); }

// The date value DESCEND, DOW, DTOC, DTOS and EMPTY treat as an empty date.
inline constexpr double xbEmptyDateMark = 1e100;
// The deepest nesting of parentheses and argument lists, and the greatest height of
// an expression tree (long operator chains included).
inline constexpr int xbMaxExpDepth = 200;
inline constexpr int xbMaxTreeDepth = 2000;

// A value travelling between nodes: null, text, double or Boolean.
struct TxbExpValue {
  enum Kind : uint8_t { Null, Text, Number, Boolean };
  Kind kind = Null;
  std::string text;
  double num = 0;
  bool bln = false;

  void SetNull() { kind = Null; text.clear(); num = 0; bln = false; }
  void SetText(std::string s) { kind = Text; text = std::move(s); }
  void SetNumber(double v) { kind = Number; num = v; text.clear(); }
  void SetBoolean(bool b) { kind = Boolean; bln = b; text.clear(); }
  bool IsNull() const { return kind == Null; }
  // Conversions as the variants make them (a text converts as a locale-free number).
  std::string AsText() const;
  double AsNumber() const;
  bool AsBoolean() const;
};

namespace msg {
inline constexpr const char* ExpMissingParen = "Missing closing parentheses";
inline constexpr const char* ExpMissingPeriod = "Missing closing period";
inline constexpr const char* ExpExpectingLogical = "Expecting \".T.\" or \".F.\"";
inline constexpr const char* ExpMissingLiteralEnd = "Missing closing \"%s\" on literal";
inline constexpr const char* ExpSyntax = "Syntax Error in expression \"%s\"";
inline constexpr const char* ExpNoFunction = "There is no function for %s";
inline constexpr const char* ExpUnknownVariable = "Field/variable %s is unknown";
inline constexpr const char* ExpCannotEvaluate = "Expression cannot be evaluated";
inline constexpr const char* ExpTargetMissing = "Target value missing for %s operation";
inline constexpr const char* ExpSidesMismatch = "The two sides of an operation do not match";
inline constexpr const char* ExpValueRequired = "A %s value is required but invalid";
inline constexpr const char* ExpArgumentType = "%s needed for Argument %d of %s";
inline constexpr const char* ExpArgumentRange = "Argument for %s must be %s";
inline constexpr const char* ExpValueMissing = "A value is required for %s";
inline constexpr const char* ExpSameType = "All arguments for %s must be of the same type";
// Texts of the engine's own guards.
inline constexpr const char* ExpTooDeep = "Expression is nested too deeply";
inline constexpr const char* ExpNumberRange = "Number %s is out of range";
inline constexpr const char* ExpOverflow = "Numeric overflow in %s operation";
inline constexpr const char* ExpDivZero = "Division by zero";
inline constexpr const char* ExpTooLong = "Result of %s is too long";
}  // namespace msg

[[noreturn]] void xbRaiseExpr(const char* tmpl, std::initializer_list<FmtArg> args = {});

// ---------------------------------------------------------------------------
// Functions and named variables

// Base of every function.
class TxbUserDefFunction {
public:
  virtual ~TxbUserDefFunction() = default;
  virtual std::string Name() const { return std::string(); }
  // Sets the result type, then reads the arguments through the call node.
  virtual void Evaluate(TxbExpFunction& call, TxbExpValue& value, int& type);
};

// Base of named variables; the name may list several names separated by ";".
class TxbUserDefFieldVar {
public:
  explicit TxbUserDefFieldVar(std::string_view name);
  virtual ~TxbUserDefFieldVar() = default;
  virtual std::string FullName() const { return name_; }
  virtual std::string DisplayName() const;
  // 16 for named constants, 17 for table fields.
  virtual int Kind() const { return 16; }
  virtual void Evaluate(TxbExpValue& value, int& type);
  // Whether the variable is only taken when its name is not followed by ".".
  virtual bool NeedsQualifier() const { return false; }
  // Length contributed to the handler's largest length (0 for none).
  virtual int Length() const { return 0; }

private:
  std::string name_;
};

// Function registry: upper-cased names to owned functions; duplicates refused.
class TxbFunctionReg {
public:
  // false (and the function freed) when the name is already registered.
  bool Register(std::unique_ptr<TxbUserDefFunction> f);
  TxbUserDefFunction* Find(std::string_view name) const;
  size_t Count() const { return items_.size(); }

private:
  std::map<std::string, std::unique_ptr<TxbUserDefFunction>, std::less<>> items_;
};

// Variable registry: every ";"-separated part of a variable's name maps to it.
class TxbFieldVarReg {
public:
  // false when a part of the name is already registered (the other parts stay registered).
  bool Register(const std::shared_ptr<TxbUserDefFieldVar>& v);
  TxbUserDefFieldVar* Find(std::string_view name) const;
  size_t Count() const { return items_.size(); }

private:
  std::map<std::string, std::shared_ptr<TxbUserDefFieldVar>, std::less<>> items_;
};

// The process-wide registries (the standard functions; TRUE, FALSE and PI).
TxbFunctionReg& xbGlobalFunctions();
TxbFieldVarReg& xbGlobalVariables();

// The link an expression handler has to its table.
class TxbExpUserLink {
public:
  virtual ~TxbExpUserLink() = default;
  virtual TxbUserDefFunction* FindFunction(std::string_view name);
  // The name is cut to its first 10 characters.
  virtual TxbUserDefFieldVar* FindVariable(std::string_view name);
  // Last resort for a function name nobody knows: raises "There is no function for %s".
  [[noreturn]] virtual void UnknownFunction(std::string_view name);
  // Whether the texts of the expression are in the OEM code page (case is then
  // changed through the ANSI code page).
  virtual bool OemText() const { return false; }
  // The table, when the link has one.
  virtual XBO_dBaseFld* Table() const { return nullptr; }

  TxbFunctionReg Functions;
  TxbFieldVarReg Variables;
  int DefaultWidth = 10;
};

// The link of a DBF table: RECNO, DELETED, BOF, EOF, TYPE, LEN, FIELDNO and the
// table's fields as variables (kind 17).
class TxbDBFLink : public TxbExpUserLink {
public:
  explicit TxbDBFLink(XBO_dBaseFld& table);
  // A field may also be named with the table's own alias: CLINIC.NAME (CLINIC->NAME).
  TxbUserDefFieldVar* FindVariable(std::string_view name) override;
  bool OemText() const override;
  XBO_dBaseFld* Table() const override { return &table_; }

private:
  XBO_dBaseFld& table_;
};

// ---------------------------------------------------------------------------
// Nodes

class TxbExpBaseObject {
public:
  virtual ~TxbExpBaseObject() = default;
  virtual std::string Name() const { return std::string(); }
  virtual int Kind() const { return -1; }
  virtual std::string ExpressionText() const;
  virtual void CollectNames(int kind, std::string& out) const;
  virtual void Evaluate(TxbExpValue& value, int& type);

  std::unique_ptr<TxbExpBaseObject> Left, Right;
  int Depth = 1;   // height of the subtree
};

class TxbExpContainer : public TxbExpBaseObject {
public:
  std::string ExpressionText() const override;
  void Evaluate(TxbExpValue& value, int& type) override;
};

enum class TxbExpOp : uint8_t { Power, Mul, Div, Add, Sub, Eq, Ne, Gt, Lt, Ge, Le, In, Not, And, Or };

class TxbExpOperator : public TxbExpBaseObject {
public:
  TxbExpOperator(TxbExpOp op, const TxbExpHandler& owner);
  std::string Name() const override;
  void Evaluate(TxbExpValue& value, int& type) override;
  TxbExpOp Op() const { return op_; }
  int Level() const;

private:
  int compareText(const std::string& left, const std::string& right) const;
  TxbExpOp op_;
  bool caseInsensitive_, partial_, oem_;
  char wildMany_, wildOne_;
};

class TxbExpFunction : public TxbExpBaseObject {
public:
  TxbExpFunction(std::string name, TxbUserDefFunction* fn, const TxbExpHandler& owner);
  std::string Name() const override { return name_; }
  std::string ExpressionText() const override;
  void CollectNames(int kind, std::string& out) const override;
  void Evaluate(TxbExpValue& value, int& type) override;

  size_t ArgCount() const { return args_.size(); }
  bool HasArg(size_t i) const { return i < args_.size() && args_[i]; }
  // Evaluates argument i (0-based); a missing one has type 1. A type outside the
  // expected one raises "%s needed for Argument %d of %s".
  int Arg(size_t i, int expected, TxbExpValue& value);
  const TxbExpHandler& Owner() const { return owner_; }

  std::vector<std::unique_ptr<TxbExpBaseObject>> args_;

private:
  std::string name_;
  TxbUserDefFunction* fn_;
  const TxbExpHandler& owner_;
};

class TxbExpFieldvar : public TxbExpBaseObject {
public:
  explicit TxbExpFieldvar(TxbUserDefFieldVar* v) : var_(v) {}
  std::string Name() const override { return var_->DisplayName(); }
  int Kind() const override { return var_->Kind(); }
  std::string ExpressionText() const override { return Name(); }
  void Evaluate(TxbExpValue& value, int& type) override { var_->Evaluate(value, type); }

private:
  TxbUserDefFieldVar* var_;
};

class TxbExpTextLit : public TxbExpBaseObject {
public:
  explicit TxbExpTextLit(std::string text) : text_(std::move(text)) {}
  std::string Name() const override { return text_; }
  std::string ExpressionText() const override;
  void Evaluate(TxbExpValue& value, int& type) override;

private:
  std::string text_;
};

class TxbExpNumLit : public TxbExpBaseObject {
public:
  TxbExpNumLit(double v, int length, int decimals) : value_(v), length_(length), decimals_(decimals) {}
  std::string Name() const override;
  void Evaluate(TxbExpValue& value, int& type) override;
  int LiteralLength() const { return length_; }
  int Decimals() const { return decimals_; }

private:
  double value_;
  int length_, decimals_;
};

class TxbExpDateLit : public TxbExpBaseObject {
public:
  TxbExpDateLit(std::string text, int32_t julian) : text_(std::move(text)), julian_(julian) {}
  std::string Name() const override { return "{" + text_ + "}"; }
  void Evaluate(TxbExpValue& value, int& type) override;

private:
  std::string text_;
  int32_t julian_;
};

class TxbExpBlnLit : public TxbExpBaseObject {
public:
  explicit TxbExpBlnLit(bool b) : value_(b) {}
  std::string Name() const override { return value_ ? ".T." : ".F."; }
  void Evaluate(TxbExpValue& value, int& type) override;

private:
  bool value_;
};

// ---------------------------------------------------------------------------
// The handler: one per expression. A handler made for a table refers to it and must
// not outlive it; it is neither copied nor moved (its nodes refer to it).

class TxbExpHandler {
public:
  // link may be null (an expression without a table); the text is parsed when not empty.
  explicit TxbExpHandler(std::shared_ptr<TxbExpUserLink> link, const std::string& text = std::string());
  // An expression over a table: the handler makes the table's link.
  explicit TxbExpHandler(XBO_dBaseFld& table, const std::string& text = std::string());
  virtual ~TxbExpHandler();

  // Discards the old tree and parses the new text (empty text leaves no tree). On
  // an error the handler is left without a tree.
  void Parse(const std::string& text);
  bool HasTree() const { return root_ != nullptr; }

  // The text rebuilt from the tree.
  virtual std::string ExpressionText() const;
  // Evaluates on the table's current record; without a tree the type is 0.
  virtual void Evaluate(TxbExpValue& value, int& type);
  // Evaluates into a key value: text, number and date-time as a double, date as a
  // whole day number, Boolean; returns the type, 0 for a null or other result.
  virtual int EvaluateKey(TxbVariant& key);
  // The key as text: texts as they are, numbers as their shortest decimal text,
  // dates as "yyyymmdd" (8 blanks when empty), Booleans as "T" or "F".
  std::string EvaluateKeyText();

  int ResultType() const { return resultType_; }
  // The result type without evaluating (the type of the first evaluation, made on
  // the table's current record); 0 without a tree.
  int ProbeType();
  // The names of nodes of the kind, each followed by ";" (kind 17: the table fields).
  std::string NamesOfKind(int kind) const;

  // The largest length among the numeric literals and field variables, and the
  // largest count of decimals among the numeric literals.
  int MaxLength() const { return maxLength_; }
  int MaxDecimals() const { return maxDecimals_; }
  int OperandCount() const { return operandCount_; }

  TxbExpUserLink* Link() const { return link_.get(); }
  const std::shared_ptr<TxbExpUserLink>& SharedLink() const { return link_; }

  bool CaseInsensitive = false;
  bool PartialCompare = true;
  char WildMany = '*';
  char WildOne = '?';

  // Parser internals used by the nodes.
  std::unique_ptr<TxbExpBaseObject> parseTree(std::string_view text, int depth);
  void noteLength(int length, int decimals);

  // Upper case of a text of this expression (through ANSI when the texts are OEM).
  std::string Upper(std::string_view s) const;
  std::string Lower(std::string_view s) const;
  // The text order of the expression's comparisons (see xbCollateCompare), for texts
  // as the table holds them.
  int CompareText(std::string_view a, std::string_view b) const;

private:
  std::shared_ptr<TxbExpUserLink> link_;
  std::unique_ptr<TxbExpBaseObject> root_;
  std::string source_;
  int resultType_ = 0;
  int operandCount_ = 0;
  int maxLength_ = 0;
  int maxDecimals_ = 0;
};

// The key of a master-detail link: the master values (CP1251 texts, in the order of
// the master fields) are put into a scratch record, the first into the first table
// field the key expression uses, and so on; the key expression is evaluated on that
// record as a key value and taken as text. When every master field is a text field
// the key is cut to the summed sizes of the master fields. A key expression that uses
// fewer table fields than there are master values raises "Master/Detail relation
// failed, field missmatch for %s" with tableName. The table's record is left as it was.
std::string xbMasterDetailKey(XBO_dBHandler& table, const std::string& tableName, const std::string& keyExpression,
                              const std::vector<std::string>& masterValues, bool allText, size_t summedSizes);

// Makes the expression compiler the handler's filter compiler (when none is set).
void xbInstallExpressions();
// The compiler itself: a Boolean expression over the table with the filter options.
std::unique_ptr<IxbFilterExpr> xbCompileFilter(XBO_dBHandler& table, const std::string& text,
                                                    bool caseInsensitive, bool partial);

}  // namespace xb
