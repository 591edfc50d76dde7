// TXBaseDataSet: memo texts, blob streams and the writes of Post.
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

// Blob stream

THCBlobStream::THCBlobStream(TxbField& field, Mode mode) : field_(field), ds_(*field.ds_) {
  ds_.checkActive();
  if (field.DataType() != TxbFieldType::ftMemo && field.DataType() != TxbFieldType::ftBlob)
    xbRaiseDatabase(msg::AccessAsType, {field.FieldName(), "Blob"});
  if (mode != bmRead) {
    if (ds_.readOnly_) xbRaiseDatabase(msg::FieldReadOnly, {field.FieldName()});
    if (ds_.state_ != TxbDataSetState::dsEdit && ds_.state_ != TxbDataSetState::dsInsert)
      xbRaiseDatabase(msg::NotEditing);
  }
  if (!ds_.readBuffer()) return;
  active_ = true;
  if (mode == bmWrite) {
    modified_ = true;
  } else {
    LoadMemo();
  }
}

void THCBlobStream::LoadMemo() {
  uint8_t* rec = ds_.readBuffer();
  int n = field_.Def().DbfFieldNo;
  auto it = ds_.pendingBlobs_.find(n);
  if (it != ds_.pendingBlobs_.end() && rec == ds_.active_.data()) {
    data_ = it->second;
  } else {
    XBO_dBHandler& t = *ds_.table_;
    RecordPointer rp(&t, rec);
    data_ = t.MemoRead(n);
  }
  if (field_.DataType() == TxbFieldType::ftMemo && ds_.translate_) xbOemToAnsiBuf(data_.data(), data_.data(), data_.size());
  pos_ = 0;
}

THCBlobStream::~THCBlobStream() {
  if (!active_ || !modified_ || !ds_.table_) return;
  if (ds_.state_ != TxbDataSetState::dsEdit && ds_.state_ != TxbDataSetState::dsInsert) return;
  // Nothing here can fail but memory: the memo file is written by Post.
  std::string out = std::move(data_);
  if (field_.DataType() == TxbFieldType::ftMemo && ds_.translate_) xbAnsiToOemBuf(out.data(), out.data(), out.size());
  ds_.pendingBlobs_[field_.Def().DbfFieldNo] = std::move(out);
  ds_.modified_ = true;
}

void TXBaseDataSet::writeRecord() {
  XBO_dBHandler& t = *table_;
  XBobjMemoBase* memo = pendingBlobs_.empty() ? nullptr : t.Memo();
  // The record as it was, for a post that fails: its block numbers still name the old texts.
  std::vector<uint8_t> before(active_);
  if (memo) memo->BeginUpdate();
  try {
    for (const auto& [n, text] : pendingBlobs_) {
      RecordPointer rp(&t, active_.data());
      t.MemoWrite(n, text);   // the block number goes into the record
    }
    if (state_ == TxbDataSetState::dsEdit) {
      RecordPointer rp(&t, active_.data());
      t.PutRecord(recNo_);
    } else {
      {
        RecordPointer rp(&t, active_.data());
        t.Append();
      }
      recNo_ = t.RecNo;
      hasRecord_ = true;
    }
  } catch (...) {
    // The memo file goes back to what it held, and the texts stay pending.
    if (memo) memo->RollbackUpdate();
    active_ = std::move(before);
    throw;
  }
  if (memo) memo->CommitUpdate();
  pendingBlobs_.clear();
}

int64_t THCBlobStream::Read(void* buffer, int64_t count) {
  if (count <= 0 || pos_ < 0 || pos_ >= Size()) return 0;
  int64_t n = std::min(count, Size() - pos_);
  std::memcpy(buffer, data_.data() + pos_, static_cast<size_t>(n));
  pos_ += n;
  return n;
}

int64_t THCBlobStream::Write(const void* buffer, int64_t count) {
  if (count <= 0) return 0;
  if (pos_ < 0) pos_ = 0;
  size_t end = static_cast<size_t>(checked_add<int64_t>(pos_, count));
  data_.resize(static_cast<size_t>(pos_), '\0');   // anything behind is dropped; a gap becomes zeros
  data_.resize(end, '\0');
  std::memcpy(data_.data() + pos_, buffer, static_cast<size_t>(count));
  pos_ += count;
  modified_ = true;
  return count;
}

int64_t THCBlobStream::Seek(int64_t offset, int origin) {
  switch (origin) {
    case 0: pos_ = offset; break;
    case 1: pos_ = checked_add(pos_, offset); break;
    case 2: pos_ = checked_add(Size(), offset); break;
    default: break;
  }
  return pos_;
}

void THCBlobStream::Clear() {
  data_.clear();
  pos_ = 0;
  modified_ = true;
}

}  // namespace xb
