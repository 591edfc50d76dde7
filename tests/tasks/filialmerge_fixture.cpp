#include "filialmerge_fixture.h"

#include <sys/stat.h>

#include <cstdint>
#include <stdexcept>

#include "db/DataPacket.h"
#include "platform/codepage.h"
#include "platform/dates.h"
#include "support/TestDatabase.h"
#include "tools/SmpPackage.h"

namespace mergetest {

Value D(int y, int m, int d) { return Value::Date(y, m, d); }
Value TS(int y, int m, int d, int h, int n) {
  return Value::DateTime(platform::EncodeDate(y, m, d) + platform::EncodeTime(h, n, 0, 0));
}
Value I(int v) { return Value::Int32(v); }
Value S(const char* utf8) { return Value(platform::Utf8ToCp1251(utf8)); }
Value N() { return Value(); }

namespace {

using cds::FType;

struct Col {
  const char* name;
  FType type;
};

// The columns of each packet: those of the centre table, key first (and PATIENT_ID
// second in the visit packets), as the branch export writes them.
const std::vector<std::pair<std::string, std::vector<Col>>>& Layout() {
  static const std::vector<std::pair<std::string, std::vector<Col>>> layout = {
      {"CONST_PARAMS.xml", {{"IDP", FType::I32}, {"BLOOD_GROUP", FType::Str}, {"DATE_INPUT", FType::Stamp}}},
      {"PATIENT.xml",
       {{"IDP", FType::I32},
        {"KOD_PATIENT", FType::Str},
        {"LAST_NAME", FType::Str},
        {"FIRST_NAME", FType::Str},
        {"MIDDLE_NAME", FType::Str},
        {"BIRTHDAY", FType::Date},
        {"POLICY_SERIA", FType::Str},
        {"POLICY_NUM", FType::Str},
        {"DATE_INPUT", FType::Stamp}}},
      {"VISIT.xml",
       {{"IDV", FType::I32},
        {"PATIENT_ID", FType::I32},
        {"HANDLE_ID", FType::I32},
        {"DATE_VISIT", FType::Date},
        {"DOCTOR", FType::I32},
        {"RESULT", FType::I32},
        {"DATE_CHANGE", FType::Stamp}}},
      {"VISIT_AG.xml", {{"IDV", FType::I32}, {"PATIENT_ID", FType::I32}, {"AG_DATA", FType::Str}, {"DATE_INPUT", FType::Stamp}}},
      {"VISIT_MI.xml", {{"IDV", FType::I32}, {"PATIENT_ID", FType::I32}, {"MI_DATA", FType::Str}, {"DATE_INPUT", FType::Stamp}}},
      {"VISIT_PREG.xml",
       {{"ID_VISITS_PREG", FType::I32}, {"PATIENT_ID", FType::I32}, {"PREG_DATA", FType::Str}, {"DATE_INPUT", FType::Stamp}}},
      {"VISIT_RKV.xml",
       {{"IDV", FType::I32}, {"PATIENT_ID", FType::I32}, {"RKV_DATA", FType::Str}, {"DATE_INPUT", FType::Stamp}}},
      {"DISP.xml",
       {{"ID", FType::I32}, {"IDP", FType::I32}, {"MKB", FType::Str}, {"DATE_BEGIN", FType::Date}, {"DATE_INPUT", FType::Stamp}}},
      {"DISEASES.xml",
       {{"IDD", FType::I32},
        {"VISIT_ID", FType::I32},
        {"PATIENT_ID", FType::I32},
        {"DATE_INPUT", FType::Stamp},
        {"MKB_KOD", FType::Str},
        {"CASE_KOD", FType::I16}}},
      {"AG_INVALID.xml",
       {{"ID", FType::I32},
        {"PATIENT_ID", FType::I32},
        {"DATE_INVALID", FType::Date},
        {"MKB_KOD", FType::Str},
        {"DATE_INPUT", FType::Stamp}}},
      {"AG_HOSP.xml",
       {{"ID", FType::I32}, {"PATIENT_ID", FType::I32}, {"DATE_HOSP", FType::Date}, {"MKB_KOD", FType::Str}, {"DATE_INPUT", FType::Stamp}}},
      {"AG_DRUGS.xml",
       {{"ID_AG_DRUGS", FType::I32},
        {"IDP", FType::I32},
        {"DRUG_ID", FType::I32},
        {"DATE_BEGIN", FType::Date},
        {"DATE_INPUT", FType::Stamp}}},
      {"AG_DIFFICULTIES.xml",
       {{"ID", FType::I32}, {"PATIENT_ID", FType::I32}, {"DATE_DIFF", FType::Date}, {"MKB_KOD", FType::Str}, {"DATE_INPUT", FType::Stamp}}},
      {"REAB_MI.xml",
       {{"ID", FType::I32},
        {"PATIENT_ID", FType::I32},
        {"DATE_BEGIN", FType::Date},
        {"REAB_MI_KOD", FType::Str},
        {"DATE_INPUT", FType::Stamp}}},
      {"SERVICES.xml",
       {{"IDS", FType::I32}, {"PATIENT_ID", FType::I32}, {"DATEN", FType::Date}, {"KOD", FType::Str}, {"DATE_CHANGE", FType::Stamp}}},
      {"NOTICE.xml",
       {{"IDI", FType::I32}, {"PATIENT_ID", FType::I32}, {"DATED", FType::Date}, {"MKB", FType::Str}, {"DATE_INPUT", FType::Stamp}}},
      {"ANALSELF.xml",
       {{"ID", FType::I32}, {"IDP", FType::I32}, {"DATEA", FType::Date}, {"KOD_AN", FType::I32}, {"INPUTDATE", FType::Stamp}}},
      {"PAT_RREGNANCY.xml", {{"IDP", FType::I32}, {"PREG_STATE", FType::I32}, {"DATE_INPUT", FType::Stamp}}},
      {"RECEPTS.xml",
       {{"ID_RECEPTS", FType::I32},
        {"PATIENT_ID", FType::I32},
        {"RECEPT_DATE", FType::Date},
        {"DRUG_KOD", FType::I32},
        {"MKB_KOD", FType::Str},
        {"INPUTDATE", FType::Stamp}}},
      {"ACTIONS_PAT.xml",
       {{"ID", FType::I32},
        {"PATIENT_ID", FType::I32},
        {"DATE_BEGIN", FType::Date},
        {"ACTIONS_KOD", FType::I32},
        {"DATE_INPUT", FType::Stamp}}},
      {"HOSPLIST.xml",
       {{"ID_HOSPITAL_LIST", FType::I32}, {"PATIENT_ID", FType::I32}, {"VISIT_ID", FType::I32}, {"DATE_INPUT", FType::Stamp}}},
      {"DD.xml", {{"ID", FType::I32}, {"IDP", FType::I32}, {"IDV", FType::I32}, {"DATE_INPUT", FType::Stamp}}},
      {"MO.xml", {{"ID", FType::I32}, {"IDP", FType::I32}, {"IDV", FType::I32}, {"DATE_INPUT", FType::Stamp}}},
  };
  return layout;
}

}  // namespace

std::string ZipStored(const std::vector<std::pair<std::string, std::string>>& entries) {
  return demodata::smp::Zip(entries);
}

BranchArchive::BranchArchive() {
  for (const auto& [file, cols] : Layout()) {
    Packet p;
    for (const Col& c : cols) {
      cds::TFieldDef d;
      d.Name = c.name;
      d.DataType = c.type;
      d.Size = c.type == FType::Str ? 40 : 0;
      p.defs.push_back(d);
      p.names.push_back(c.name);
    }
    packets_[file] = std::move(p);
    order_.push_back(file);
  }
}

BranchArchive& BranchArchive::add(const std::string& file, Row row) {
  auto it = packets_.find(file);
  if (it == packets_.end()) throw std::invalid_argument("no packet " + file);
  if (row.size() > it->second.defs.size()) throw std::invalid_argument("too many values for " + file);
  it->second.rows.push_back(std::move(row));
  return *this;
}

const std::vector<std::string>& BranchArchive::columns(const std::string& file) const {
  return packets_.at(file).names;
}

std::string BranchArchive::packet(const std::string& file) const {
  const Packet& p = packets_.at(file);
  cds::TClientDataSet ds;
  ds.SetFieldDefs(p.defs);
  ds.CreateDataSet();
  for (const Row& r : p.rows) {
    ds.Append();
    for (size_t i = 0; i < r.size(); ++i) ds.Fields(static_cast<int>(i)).SetValue(r[i]);
    ds.Post();
  }
  return cds::XmlPacketOf(ds);
}

void BranchArchive::write(const std::string& zipPath, const std::vector<std::string>& skip,
                          const std::vector<std::pair<std::string, std::string>>& extra) const {
  std::vector<std::pair<std::string, std::string>> entries;
  for (const std::string& f : order_) {
    bool skipped = false;
    for (const std::string& s : skip) skipped = skipped || s == f;
    if (!skipped) entries.emplace_back(f, packet(f));
  }
  for (const auto& e : extra) entries.push_back(e);
  testsupport::WriteFile(zipPath, ZipStored(entries));
}

std::string WidePacket(int fields, int rows) {
  std::string x = "<?xml version=\"1.0\" standalone=\"yes\"?><DATAPACKET Version=\"2.0\"><METADATA><FIELDS>";
  for (int i = 0; i < fields; ++i) x += "<FIELD attrname=\"F" + std::to_string(i) + "\" fieldtype=\"r8\"/>";
  x += "</FIELDS><PARAMS/></METADATA><ROWDATA>";
  for (int i = 0; i < rows; ++i) x += "<ROW/>";
  return x + "</ROWDATA></DATAPACKET>";
}

std::string Enlarged(std::string packet, const std::string& fields, const std::string& params,
                     const std::string& rows) {
  const size_t fieldsEnd = packet.find("</FIELDS><PARAMS/>");
  const size_t rowData = packet.find("<ROWDATA>");
  if (fieldsEnd == std::string::npos || rowData == std::string::npos) throw std::logic_error("not a writer's packet");
  packet.insert(rowData + 9, rows);
  packet.replace(fieldsEnd + 9, 9, params);
  packet.insert(fieldsEnd, fields);
  return packet;
}

std::string MergeFixture::merge(const std::vector<std::string>& files, bool flag, bool setKod) {
  std::string result = "untouched";
  dm.DealingFilialDB(flag, files, setKod, result);
  return result;
}

bool MergeFixture::exists(const std::string& path) const {
  struct stat st;
  return ::stat(platform::ToFsPath(path).c_str(), &st) == 0;
}

}  // namespace mergetest
