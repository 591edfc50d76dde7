#include "filialmerge_fixture.h"

#include <sys/stat.h>

#include <array>
#include <cstdint>
#include <stdexcept>

#include "db/DataPacket.h"
#include "platform/codepage.h"
#include "platform/dates.h"
#include "support/TestDatabase.h"

namespace mergetest {

Value D(int y, int m, int d) { return Value::Date(y, m, d); }
Value TS(int y, int m, int d, int h, int n) {
  return Value::DateTime(platform::EncodeDate(y, m, d) + platform::EncodeTime(h, n, 0, 0));
}
Value I(int v) { return Value::Int32(v); }
Value S(const char* utf8) { return Value(platform::Utf8ToCp1251(utf8)); }
Value N() { return Value(); }

namespace {

uint32_t Crc32(const std::string& s) {
  static const std::array<uint32_t, 256> table = [] {
    std::array<uint32_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[i] = c;
    }
    return t;
  }();
  uint32_t c = 0xFFFFFFFFu;
  for (unsigned char b : s) c = table[(c ^ b) & 0xFF] ^ (c >> 8);
  return c ^ 0xFFFFFFFFu;
}

void Put16(std::string& b, uint32_t v) {
  b.push_back(static_cast<char>(v & 0xFF));
  b.push_back(static_cast<char>((v >> 8) & 0xFF));
}
void Put32(std::string& b, uint32_t v) {
  Put16(b, v & 0xFFFF);
  Put16(b, v >> 16);
}

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
  std::string out, central;
  const uint32_t dosTime = (10u << 11) | (30u << 5);
  const uint32_t dosDate = ((2026u - 1980u) << 9) | (12u << 5) | 9u;
  for (const auto& [name, data] : entries) {
    const uint32_t offset = static_cast<uint32_t>(out.size());
    const uint32_t crc = Crc32(data);
    Put32(out, 0x04034b50);
    Put16(out, 20);
    Put16(out, 0);
    Put16(out, 0);
    Put16(out, dosTime);
    Put16(out, dosDate);
    Put32(out, crc);
    Put32(out, static_cast<uint32_t>(data.size()));
    Put32(out, static_cast<uint32_t>(data.size()));
    Put16(out, static_cast<uint32_t>(name.size()));
    Put16(out, 0);
    out += name;
    out += data;
    Put32(central, 0x02014b50);
    Put16(central, 20);
    Put16(central, 20);
    Put16(central, 0);
    Put16(central, 0);
    Put16(central, dosTime);
    Put16(central, dosDate);
    Put32(central, crc);
    Put32(central, static_cast<uint32_t>(data.size()));
    Put32(central, static_cast<uint32_t>(data.size()));
    Put16(central, static_cast<uint32_t>(name.size()));
    Put16(central, 0);
    Put16(central, 0);
    Put16(central, 0);
    Put16(central, 0);
    Put32(central, 0x20);
    Put32(central, offset);
    central += name;
  }
  const uint32_t centralOffset = static_cast<uint32_t>(out.size());
  out += central;
  Put32(out, 0x06054b50);
  Put16(out, 0);
  Put16(out, 0);
  Put16(out, static_cast<uint32_t>(entries.size()));
  Put16(out, static_cast<uint32_t>(entries.size()));
  Put32(out, static_cast<uint32_t>(central.size()));
  Put32(out, centralOffset);
  Put16(out, 0);
  return out;
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
