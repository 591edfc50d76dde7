// TXBaseDataSet: master-detail linking.
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

// Master-detail

void TXBaseDataSet::SetMasterSource(TXBaseDataSet* master) {
  if (master == master_) return;
  for (TXBaseDataSet* m = master; m; m = m->master_)
    if (m == this) xbRaiseDatabase(msg::CircularDataLink);
  if (master_) {
    auto& d = master_->details_;
    d.erase(std::remove(d.begin(), d.end(), this), d.end());
    master_ = nullptr;
    masterDisabled();
  }
  master_ = master;
  if (master_) {
    master_->details_.push_back(this);
    masterChanged();
  }
}

void TXBaseDataSet::SetMasterFields(const std::string& fields) {
  masterFields_ = fields;
  if (master_) masterChanged();
}

std::string TXBaseDataSet::getMasterKey() {
  if (!table_->MasterTag) xbRaiseDatabase(msg::MasterNoIndex, {tableName_});
  if (!master_ || master_->state_ == TxbDataSetState::dsInsert || platform::Trim(masterFields_).empty())
    return std::string();
  std::vector<std::string> values;
  bool allText = true;
  size_t sizes = 0;
  for (const std::string& name : XBO_dBaseFld::SplitFieldList(masterFields_)) {
    TxbField& f = master_->FieldByName(name);
    if (f.DataType() != TxbFieldType::ftString) allText = false;
    sizes += static_cast<size_t>(f.Size());
    values.push_back(f.AsString());
  }
  std::string key =
      xbMasterDetailKey(*table_, tableName_, table_->MasterTag->KeyExpression(), values, allText, sizes);
  return Translate(key, false);
}

// The master link's refresh: the master's key as the range, without events.
void TXBaseDataSet::applyMasterRange() {
  if (!master_ || !table_ || !master_->table_ || !master_->hasRecord_) return;
  std::string key = getMasterKey();
  if (key.empty()) return;
  table_->SetRange(key, key, true);
  masterRange_ = true;
}

void TXBaseDataSet::masterChanged() {
  if (!table_ || !master_ || !master_->table_ || !master_->hasRecord_) return;
  if (!checkBrowseMode()) return;
  std::string key = getMasterKey();
  if (key.empty()) return;
  fire(BeforeScroll);
  table_->SetRange(key, key, true);
  masterRange_ = true;
  firstRecord();
  scrolled();
}

void TXBaseDataSet::masterDisabled() {
  if (!table_ || !masterRange_) return;
  if (!checkBrowseMode()) return;
  table_->ClearRange();
  masterRange_ = false;
  fire(BeforeScroll);
  firstRecord();
  scrolled();
}

void TXBaseDataSet::notifyDetails() {
  // A detail may unlink itself from an event handler: walk a copy.
  std::vector<TXBaseDataSet*> details = details_;
  for (TXBaseDataSet* d : details) {
    if (std::find(details_.begin(), details_.end(), d) == details_.end()) continue;
    if (table_)
      d->masterChanged();
    else
      d->masterDisabled();
  }
}

}  // namespace xb
