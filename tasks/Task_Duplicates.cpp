#include "tasks/Task_Duplicates.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <numeric>
#include <tuple>

#include "db/ClientDataSet.h"
#include "db/Provider.h"
#include "db/ProviderFb.h"
#include "db/fbdb.h"
#include "platform/codepage.h"
#include "platform/strutil.h"
#include "tasks/Scheduler_DM.h"
#include "tasks/TaskUi.h"

namespace tasks {

const char* const kPatientKeysSql =
    "select IDP,LAST_NAME,FIRST_NAME,MIDDLE_NAME,BIRTHDAY,POLICY_SERIA,POLICY_NUM,ID_LIC,SNILS_KOD from PATIENT";

namespace {

// The task's own texts, CP1251, converted once.
struct Texts {
  std::string headNames = platform::Utf8ToCp1251("ПОИСК ДУБЛИКАТОВ ПО ФИО");
  std::string headPolicy = platform::Utf8ToCp1251("ПОИСК ДУБЛИКАТОВ ПО ПОЛИСУ");
  std::string headSnils = platform::Utf8ToCp1251("ПОИСК ДУБЛИКАТОВ ПО СНИЛС");
  std::string noPolicy = platform::Utf8ToCp1251("Отсутствует серия и номер полиса:");
  std::string end = platform::Utf8ToCp1251("Конец задания поиска дубликатов");
  std::string cyrX = platform::Utf8ToCp1251("ХХХ");
  std::string otk = platform::Utf8ToCp1251("ОТК");
};

const Texts& texts() {
  static const Texts t;
  return t;
}

// A birthday text in an order that sorts by date: the empty text first, then the dates
// ("dd.mm.yyyy" as "yyyymmdd"), then any other text. Equal texts give equal keys and
// different texts different keys, so rows of one birthday are never parted.
std::string BirthdayKey(const std::string& b) {
  if (b.empty()) return b;
  if (b.size() == 10 && b[2] == '.' && b[5] == '.')
    return '\x01' + b.substr(6, 4) + b.substr(3, 2) + b.substr(0, 2);
  return '\x02' + b;
}

struct NameKeys {
  std::string last, first, middle, birth;
};

class Search {
public:
  Search(const std::vector<PatientKeyRow>& rows, const DuplicateProgress& progress, std::vector<std::string>& out)
      : rows_(rows), progress_(progress), out_(out) {}

  void byNames() {
    std::vector<NameKeys> keys(rows_.size());
    for (size_t i = 0; i < rows_.size(); ++i) {
      keys[i].last = FoldName(rows_[i].lastName);
      keys[i].first = FoldName(rows_[i].firstName);
      keys[i].middle = FoldName(rows_[i].middleName);
      keys[i].birth = BirthdayKey(rows_[i].birthday);
    }
    std::vector<uint32_t> order = sorted([&](uint32_t a, uint32_t b) {
      const NameKeys& x = keys[a];
      const NameKeys& y = keys[b];
      if (int c = x.last.compare(y.last)) return c < 0;
      if (int c = x.first.compare(y.first)) return c < 0;
      if (int c = x.middle.compare(y.middle)) return c < 0;
      return x.birth < y.birth;
    });
    begin();
    out_.push_back(texts().headNames);
    out_.push_back(" ");
    for (uint32_t i : order) {
      const PatientKeyRow& r = rows_[i];
      const NameKeys& k = keys[i];
      bool equal = k.last == storedKeys_->last && k.first == storedKeys_->first &&
                   k.middle == storedKeys_->middle && r.birthday == stored_->birthday;
      if (equal && !group_) {
        const PatientKeyRow& st = *stored_;
        out_.push_back(platform::UpperCase(st.lastName) + " " + platform::UpperCase(st.firstName) + " " +
                       platform::UpperCase(st.middleName) + " " + st.birthday);
        out_.push_back("   " + st.idp + "   " + st.policySeria + "  " + st.policyNum);
        out_.push_back("   " + r.idp + "   " + r.policySeria + "  " + r.policyNum);
        group_ = true;
      } else if (equal) {
        out_.push_back("   " + r.idp + "   " + r.policySeria + "  " + r.policyNum);
      } else {
        store(r, &k);
      }
      step();
    }
  }

  void byPolicy() {
    std::vector<uint32_t> order = sorted([&](uint32_t a, uint32_t b) {
      const PatientKeyRow& x = rows_[a];
      const PatientKeyRow& y = rows_[b];
      if (int c = x.policySeria.compare(y.policySeria)) return c < 0;
      return x.policyNum < y.policyNum;
    });
    begin();
    out_.push_back(" ");
    out_.push_back(texts().headPolicy);
    out_.push_back(" ");
    for (uint32_t i : order) {
      const PatientKeyRow& r = rows_[i];
      bool equal = r.policySeria == stored_->policySeria && r.policyNum == stored_->policyNum;
      if (equal && !group_) {
        if (platform::Trim(stored_->policySeria + stored_->policyNum).empty())
          out_.push_back(texts().noPolicy);
        else
          out_.push_back(stored_->policySeria + " " + stored_->policyNum);
        out_.push_back(storedPersonLine());
        out_.push_back("   " + r.idp + " " + r.lastName + " " + r.firstName + " " + r.middleName + " " + r.birthday);
        group_ = true;
      } else if (equal) {
        out_.push_back("   " + r.idp + " " + r.lastName + " " + r.firstName + " " + r.middleName + " " + r.birthday);
      } else {
        store(r, nullptr);
      }
      step();
    }
  }

  void bySnils() {
    std::vector<uint32_t> order =
        sorted([&](uint32_t a, uint32_t b) { return rows_[a].snils < rows_[b].snils; });
    begin();
    out_.push_back(" ");
    out_.push_back(texts().headSnils);
    out_.push_back(" ");
    for (uint32_t i : order) {
      const PatientKeyRow& r = rows_[i];
      bool equal = r.snils == stored_->snils;
      if (equal && !group_) {
        // A SNILS that stands for "none" is never a group, however many share it.
        if (!IsJunkSnils(stored_->snils)) {
          out_.push_back(stored_->snils);
          out_.push_back(storedPersonLine());
          out_.push_back(currentSnilsLine(r));
          group_ = true;
        }
      } else if (equal) {
        out_.push_back(currentSnilsLine(r));
      } else {
        store(r, nullptr);
      }
      step();
    }
  }

private:
  template <class Less>
  std::vector<uint32_t> sorted(Less less) const {
    std::vector<uint32_t> order(rows_.size());
    std::iota(order.begin(), order.end(), 0u);
    std::stable_sort(order.begin(), order.end(), less);
    return order;
  }

  void begin() {
    if (progress_.start) progress_.start(static_cast<int>(rows_.size()));
    stored_ = &empty_;
    storedKeys_ = &emptyKeys_;
    group_ = false;
  }

  void step() {
    if (progress_.step) progress_.step();
  }

  // The current row becomes the stored row: its names are shown upper-cased in the
  // ASCII range and compared folded.
  void store(const PatientKeyRow& r, const NameKeys* keys) {
    stored_ = &r;
    storedKeys_ = keys ? keys : &emptyKeys_;
    group_ = false;
  }

  std::string storedPersonLine() const {
    const PatientKeyRow& st = *stored_;
    return "   " + st.idp + " " + platform::UpperCase(st.lastName) + " " + platform::UpperCase(st.firstName) + " " +
           platform::UpperCase(st.middleName) + " " + st.birthday;
  }

  static std::string currentSnilsLine(const PatientKeyRow& r) {
    return "   " + r.idp + "  " + r.lastName + "  " + r.firstName + " " + r.middleName + "  " + r.birthday;
  }

  const std::vector<PatientKeyRow>& rows_;
  const DuplicateProgress& progress_;
  std::vector<std::string>& out_;
  const PatientKeyRow empty_{};
  const NameKeys emptyKeys_{};
  const PatientKeyRow* stored_ = &empty_;
  const NameKeys* storedKeys_ = &emptyKeys_;  // used by the names criterion only
  bool group_ = false;
};

}  // namespace

std::string FoldName(const std::string& name) {
  static const auto table = [] {
    std::array<unsigned char, 256> t{};
    for (int c = 0; c < 256; ++c) t[static_cast<size_t>(c)] = platform::AnsiUpperChar(static_cast<unsigned char>(c));
    return t;
  }();
  std::string r(name);
  for (char& c : r) c = static_cast<char>(table[static_cast<unsigned char>(c)]);
  return r;
}

bool IsJunkSnils(const std::string& snils) {
  auto startsWith = [&](std::string_view p) { return snils.compare(0, p.size(), p) == 0; };
  return startsWith("   ") || startsWith("XXX") || startsWith(texts().cyrX) || startsWith(texts().otk) ||
         platform::Trim(snils).empty();
}

std::vector<std::string> FindDuplicateLines(const std::vector<PatientKeyRow>& rows, bool byFio, bool byPolicy,
                                            bool bySnils, const DuplicateProgress& progress) {
  std::vector<std::string> out;
  Search search(rows, progress, out);
  if (byFio) search.byNames();
  if (byPolicy) search.byPolicy();
  if (bySnils) search.bySnils();
  out.push_back(" ");
  out.push_back(texts().end);
  out.push_back(" ");
  return out;
}

void ReadPatientKeys(const PatientKeyChain& chain) {
  // A search leaves Qry1 open on its snapshot: that snapshot ends here, so that this read
  // sees the register as it is now.
  const bool leftOpen = chain.Qry1.active();
  chain.Qry1.close();
  if (leftOpen) chain.IBTran.commit();
  chain.Qry1.setSql(kPatientKeysSql);
  cds::TFbQuerySource source(chain.Qry1);
  chain.dsp1.SetSource(&source);
  chain.cds1.SetProvider(&chain.dsp1);
  const bool startedHere = !chain.IBTran.active();
  try {
    chain.cds1.Close();
    chain.cds1.Open();
  } catch (...) {
    chain.dsp1.SetSource(nullptr);
    if (startedHere && chain.IBTran.active()) {
      try {
        chain.IBTran.rollback();
      } catch (...) {
      }
    }
    throw;
  }
  chain.dsp1.SetSource(nullptr);
  // The rows are in memory: a snapshot started only for this read must not live on, or
  // the next read of the resident program would see the same old register.
  if (startedHere) chain.IBTran.commit();
}

std::vector<PatientKeyRow> PatientKeyRows(cds::TClientDataSet& cds1) {
  cds1.SetIndexName("");
  cds::TField& idp = cds1.FieldByName("IDP");
  cds::TField& last = cds1.FieldByName("LAST_NAME");
  cds::TField& first = cds1.FieldByName("FIRST_NAME");
  cds::TField& middle = cds1.FieldByName("MIDDLE_NAME");
  cds::TField& birthday = cds1.FieldByName("BIRTHDAY");
  cds::TField& seria = cds1.FieldByName("POLICY_SERIA");
  cds::TField& num = cds1.FieldByName("POLICY_NUM");
  cds::TField& idLic = cds1.FieldByName("ID_LIC");
  cds::TField& snils = cds1.FieldByName("SNILS_KOD");
  std::vector<PatientKeyRow> rows;
  rows.reserve(static_cast<size_t>(cds1.RecordCount()));
  for (cds1.First(); !cds1.Eof(); cds1.Next()) {
    PatientKeyRow r;
    r.idp = idp.AsString();
    r.lastName = last.AsString();
    r.firstName = first.AsString();
    r.middleName = middle.AsString();
    r.birthday = birthday.AsString();
    r.policySeria = seria.AsString();
    r.policyNum = num.AsString();
    r.idLic = idLic.AsString();
    r.snils = snils.AsString();
    rows.push_back(std::move(r));
  }
  cds1.First();
  return rows;
}

bool SearchDuplicates(const PatientKeyChain& chain, ITaskUi& ui, bool ByFIO, bool ByPolicy, bool BySNILS) {
  ReadPatientKeys(chain);
  std::vector<PatientKeyRow> rows = PatientKeyRows(chain.cds1);
  DuplicateProgress progress;
  progress.start = [&ui](int max) {
    ui.SetProgressMax(max);
    ui.SetProgressPosition(0);
  };
  progress.step = [&ui] { ui.StepProgress(); };
  for (const std::string& line : FindDuplicateLines(rows, ByFIO, ByPolicy, BySNILS, progress))
    ui.AddTaskMessage(line);
  // cds1 keeps the index of every criterion that ran, the last one active, and Qry1 stays
  // open, as the other users of the chain expect to find them.
  const std::tuple<bool, const char*, const char*, unsigned> indexes[] = {
      {ByFIO, "byFIO", "LAST_NAME;FIRST_NAME;MIDDLE_NAME;BIRTHDAY", cds::ixCaseInsensitive},
      {ByPolicy, "byPolicy", "POLICY_SERIA;POLICY_NUM", cds::ixNone},
      {BySNILS, "bySNILS", "SNILS_KOD", cds::ixNone}};
  for (const auto& [ticked, name, fields, options] : indexes) {
    if (!ticked) continue;
    if (!chain.cds1.HasIndex(name)) chain.cds1.AddIndex(name, fields, options);
    chain.cds1.SetIndexName(name);
  }
  chain.cds1.First();
  // Qry1 stays open on a read-only read-committed transaction: a snapshot kept until the
  // next task of a resident program would hold back the garbage collection of the whole
  // database. The next task that writes through the transaction commits it first.
  if (!chain.IBTran.active()) {
    const fbdb::Isolation isolation = chain.IBTran.isolation;
    const bool readOnly = chain.IBTran.readOnly;
    chain.IBTran.isolation = fbdb::Isolation::ReadCommitted;
    chain.IBTran.readOnly = true;
    try {
      chain.IBTran.start();
    } catch (...) {
      chain.IBTran.isolation = isolation;
      chain.IBTran.readOnly = readOnly;
      throw;
    }
    chain.IBTran.isolation = isolation;
    chain.IBTran.readOnly = readOnly;
  }
  chain.Qry1.open();
  return true;
}

}  // namespace tasks

namespace tasks {

PatientKeyChain ModulePatientKeyChain(TdmScheduler& dm) {
  if (!dm.cds1) dm.cds1 = std::make_shared<cds::TClientDataSet>();
  if (!dm.dsp1) dm.dsp1 = std::make_shared<cds::TDataSetProvider>("dsp1", static_cast<cds::IDataSource*>(nullptr));
  return {dm.IBTran, dm.Qry1, *dm.dsp1, *dm.cds1};
}

}  // namespace tasks

bool TdmScheduler::SearchDuplicates(bool ByFIO, bool ByPolicy, bool BySNILS) {
  return tasks::SearchDuplicates(tasks::ModulePatientKeyChain(*this), Ui(), ByFIO, ByPolicy, BySNILS);
}
