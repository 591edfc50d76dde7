// TXBaseDataSet: where the table is looked for (aliases) and its index files and tags.
#include "xbase/XBaseDB.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>

#include "platform/codepage.h"
#include "platform/exception.h"
#include "platform/inifile.h"
#include "platform/oslayer.h"
#include "platform/strutil.h"
#include "xbase/SysXBase.h"
#include "xbase/XBaseDBParts.h"
#include "xbase/checked.h"
#include "xbase/xb_cnst.h"
#include "xbase/xb_date.h"
#include "xbase/xb_glbl.h"
#include "xbase/xb_sql.h"

namespace xb {

using dsparts::RecordPointer;
using dsparts::upperKey;

namespace {
constexpr const char* kDefaultDirectory = "Default Directory";
}  // namespace

// Alias list

namespace {
// Section Alias of "xbase.cfg"; a missing or unreadable file gives an empty list.
platform::TParams readAliasFile() {
  platform::TParams p;
  platform::TIniFile ini(xbWindowsDirectory() + "xbase.cfg");
  try {
    ini.ReadSectionValues("Alias", p);
  } catch (const std::exception&) {
  }
  return p;
}
}  // namespace

platform::TParams& TXBaseDataSet::AliasList() {
  static platform::TParams list = readAliasFile();
  return list;
}

void TXBaseDataSet::ReloadAliasList() { AliasList() = readAliasFile(); }

void TXBaseDataSet::SetDatabaseName(const std::string& value) {
  if (value == databaseName_) return;
  std::string v = value;
  if (!platform::SameText(v, kDefaultDirectory)) {
    while (v.size() > 1 && v.back() == '/') v.pop_back();
    if (!v.empty() && !AliasList().has(v)) AliasList().setValue(v, v);
  }
  checkInactive();
  databaseName_ = v;
}

std::string TXBaseDataSet::GetTableDirectory() const {
  std::string d;
  if (platform::SameText(databaseName_, kDefaultDirectory)) {
    d = platform::ExeDir();
  } else if (databaseName_.empty()) {
    return std::string();   // the current folder
  } else {
    std::string a = AliasList().value(databaseName_);
    d = a.empty() ? databaseName_ : a;
  }
  if (d.empty() || d.back() != '/') d += '/';
  return d;
}

void TXBaseDataSet::SetTableName(const std::string& value) {
  checkInactive();
  if (value != tableName_) indexFiles_.clear();   // the index files belonged to the old table
  tableName_ = value;
}

std::string TXBaseDataSet::indexPath(const std::string& entry, const char* ext) const {
  std::string name = xbDefaultExt(platform::Trim(entry), ext);
  std::string full = name.find('/') == std::string::npos ? GetTableDirectory() + name : name;
  std::string resolved = xbResolveFileName(full);
  if (!xbFileExists(resolved)) xbRaiseDatabase(msg::CannotFindFile, {full});
  return resolved;
}

void TXBaseDataSet::openOneIndex(const std::string& full) {
  try {
    table_->OpenIndex(full);
  } catch (const EXBaseError&) {
    xbRaiseDatabase(msg::ErrorGetting, {full});
  }
}

void TXBaseDataSet::openIndexFiles() {
  table_->CloseIndexes();
  indexDefs_.clear();
  for (const std::string& entry : indexFiles_) {
    if (platform::Trim(entry).empty()) continue;
    openOneIndex(indexPath(entry, ".ndx"));
  }
  table_->SelectTag(indexName_, false);
}

void TXBaseDataSet::SetIndexFiles(const std::vector<std::string>& files) {
  indexDefs_.clear();
  indexFiles_ = files;
  if (!table_) return;
  if (!checkBrowseMode()) return;
  fire(BeforeScroll);
  if (indexFiles_.empty()) {
    table_->CloseIndexes();
    indexName_.clear();
  } else {
    openIndexFiles();
  }
  UpdateIndexDefs();
  applyMasterRange();
  firstRecord();
  scrolled();
}

void TXBaseDataSet::AddIndexFile(const std::string& name) {
  if (!table_) {
    indexFiles_.push_back(name);
    return;
  }
  if (!checkBrowseMode()) return;
  std::string full = indexPath(name, ".NDX");
  for (int i = 1; i <= XBO_dBHandler::MaxIndexFiles; ++i) {
    IxbIndexFile* f = table_->IndexFile(i);
    if (f && f->FileName() == xbExpandFileName(full)) xbRaiseDatabase(msg::IndexAlreadyOpen, {full});
  }
  openOneIndex(full);
  indexFiles_.push_back(name);
  UpdateIndexDefs();
  SetIndexName(indexName_);
}

void TXBaseDataSet::UpdateIndexDefs() {
  indexDefs_.clear();
  if (!table_) return;
  for (int n = 1; n <= table_->TagCount(); ++n) {
    IxbIndexTag* tag = table_->TagByNumber(n);
    if (!tag) continue;
    TxbIndexDef d;
    d.Name = tag->TagName();
    std::string expr = tag->KeyExpression();
    if (expr.find('(') != std::string::npos) {
      d.Fields = expr;
      d.Expression = true;
    } else {
      for (char c : expr) {
        if (c == '+' || c == '-') d.Fields += ';';
        else if (c != ' ') d.Fields += c;
      }
    }
    indexDefs_.push_back(std::move(d));
  }
}

bool TXBaseDataSet::GetIsIndexField(const TxbField& field) {
  if (!table_ || !table_->MasterTag || field.Calculated()) return false;
  if (field.DataType() == TxbFieldType::ftMemo || field.DataType() == TxbFieldType::ftBlob) return false;
  std::string names = TxbExpHandler(*table_, table_->MasterTag->KeyExpression()).NamesOfKind(17);
  std::string want = upperKey(field.FieldName()) + ";";
  for (size_t at = 0; at < names.size();) {
    size_t semi = names.find(';', at);
    if (semi == std::string::npos) break;
    if (names.compare(at, semi + 1 - at, want) == 0) return true;
    at = semi + 1;
  }
  return false;
}

void TXBaseDataSet::SetIndexName(const std::string& name) {
  indexName_ = name;
  if (!table_) return;
  if (!checkBrowseMode()) return;
  table_->SelectTag(name, hasRecord_);
  applyMasterRange();
  if (table_->PositionDiffers || table_->Eof || table_->Bof || !takeRecord())
    firstRecord();
  else
    eof_ = bof_ = false;
  scrolled();
}

int TXBaseDataSet::GetTagCount() { return table_ ? table_->TagCount() : 0; }

std::string TXBaseDataSet::GetTagName(int n) {
  checkActive();
  IxbIndexTag* t = table_->TagByNumber(n);
  return t ? t->TagName() : std::string();
}

std::string TXBaseDataSet::GetTagExpression(int n) {
  checkActive();
  IxbIndexTag* t = table_->TagByNumber(n);
  return t ? t->KeyExpression() : std::string();
}

bool TXBaseDataSet::FindKey(std::string_view key) {
  if (!checkBrowseMode()) return false;
  fire(BeforeScroll);
  bool found = table_->FindKey(key) && takeRecord();
  if (found)
    eof_ = bof_ = false;
  else
    eof_ = true;
  scrolled();
  return found;
}

// The set-key state

void TXBaseDataSet::SetKey() {
  if (!checkBrowseMode()) return;
  if (!table_->MasterTag) xbRaiseDatabase(msg::NoIndexForKey);
  {
    RecordPointer rp(table_.get(), keyBuffer_.data());
    table_->BlankRecord();
  }
  state_ = TxbDataSetState::dsSetKey;
}

std::string TXBaseDataSet::keyFromRecord(const uint8_t* record) {
  XBO_dBHandler& t = *table_;
  TxbExpHandler key(t, t.MasterTag->KeyExpression());
  RecordPointer rp(&t, const_cast<uint8_t*>(record));
  std::string text = key.EvaluateKeyText();
  return Translate(text, false);
}

bool TXBaseDataSet::GotoKey() {
  checkActive();
  if (state_ != TxbDataSetState::dsSetKey) xbRaiseDatabase(msg::NotEditing);
  state_ = TxbDataSetState::dsBrowse;
  if (!table_->MasterTag) xbRaiseDatabase(msg::NoIndexForKey);
  std::string key = keyFromRecord(keyBuffer_.data());
  while (!key.empty() && key.back() == ' ') key.pop_back();
  return FindKey(key);
}

}  // namespace xb
