#pragma once
// Ambulance packages: the period packet (XML form), the call packet (binary form) written
// with the client-dataset writers, and the ZIP package holding them (stored entries,
// written here byte by byte). The demo folder's package and the tests' fixtures.
#include <cstdint>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "db/ClientDataSet.h"
#include "db/DataPacket.h"
#include "platform/dates.h"

namespace demodata::smp {

// One call; a value left unset is an empty (null) column of the packet.
struct Call {
  std::map<std::string, int32_t> ints;
  std::map<std::string, std::string> texts;
  std::map<std::string, double> dates;  // date columns, platform date numbers
  std::map<std::string, double> times;  // time columns, fractions of a day
  std::optional<std::string> form;      // FORMA_BLOB
};

inline const std::vector<std::string>& IntColumns() {
  static const std::vector<std::string> v = {"ID_SMP_CALLS", "PATIENT_ID", "AGE_VALUE", "AGE_EI",
                                             "CALL_GO_TIME_OUT", "CALL_TOTAL_TIME", "DOCTOR_KOD", "USER_ID",
                                             "HOSPITAL_KOD", "CALL_LENGTH", "CALL_NUMBER", "DRINKED"};
  return v;
}
inline const std::vector<std::string>& TextColumns() {
  static const std::vector<std::string> v = {
      "PATIENT_ADDRESS", "CALLING_INFO", "COMPLAINTS", "MKB_KOD", "SMP_STAFF", "HELP_LPU_WHERE", "CALL_TYPE",
      "CALL_STAFF_SPEC", "CALL_TARGET", "CALL_RESULT", "CALL_DIFFICULTIES", "CALL_TRAUMA", "EFFECTS", "TEL",
      "CALL_PARAM", "CALL_PLACE", "CALL_HOW_TO_CAR", "CALL_LATER_REASON", "CALL_WHAT_TO_DO"};
  return v;
}
inline const std::vector<std::string>& DateColumns() {
  static const std::vector<std::string> v = {"CALL_DATE", "DATE_INPUT"};
  return v;
}
inline const std::vector<std::string>& TimeColumns() {
  static const std::vector<std::string> v = {"CALL_TIME", "CALL_TIME_BEGIN", "CALL_TIME_END",
                                             "CALL_TIME_ARRIVAL", "CALL_GO_TIME", "CALL_TIME_IN_SMP"};
  return v;
}

inline double D(int y, int m, int d) { return platform::EncodeDate(y, m, d); }
inline double T(int h, int mi, int s) { return platform::EncodeTime(h, mi, s, 0); }

// A call of patient `patient` entered on `dateInput`, with every column filled.
inline Call MakeCall(int32_t id, int32_t patient, double dateInput) {
  Call c;
  for (const std::string& n : IntColumns()) c.ints[n] = 7;
  c.ints["ID_SMP_CALLS"] = id;
  c.ints["PATIENT_ID"] = patient;
  for (const std::string& n : TextColumns()) c.texts[n] = n.substr(0, 8);
  c.texts["MKB_KOD"] = "J06.9";
  c.dates["CALL_DATE"] = dateInput;
  c.dates["DATE_INPUT"] = dateInput;
  c.times["CALL_TIME"] = T(10, 15, 0);
  c.times["CALL_TIME_BEGIN"] = T(10, 20, 0);
  c.times["CALL_TIME_END"] = T(11, 30, 5);
  c.times["CALL_TIME_ARRIVAL"] = T(10, 40, 0);
  c.times["CALL_GO_TIME"] = T(10, 25, 0);
  c.times["CALL_TIME_IN_SMP"] = T(11, 0, 0);
  return c;
}

struct Layout {
  bool withForm = true;               // FORMA_BLOB column
  std::vector<std::string> omit;      // columns left out of the packet
  bool patientIdText = false;         // PATIENT_ID as a text column (Call::texts)
};

// The call packet's dataset: the columns in the insert's order, then FORMA_BLOB (the
// exporting side's layout is not known; the form is looked up by name, so column 0, the
// call's id, must never reach FORMA_BLOB).
inline void FillCalls(cds::TClientDataSet& ds, const std::vector<Call>& calls, const Layout& layout = {}) {
  auto omitted = [&](const std::string& n) {
    for (const std::string& o : layout.omit)
      if (o == n) return true;
    return false;
  };
  std::vector<cds::TFieldDef> defs;
  auto add = [&](const std::string& n, cds::FType t, int size) {
    if (omitted(n)) return;
    cds::TFieldDef d;
    d.Name = n;
    d.DataType = t;
    d.Size = size;
    defs.push_back(d);
  };
  const std::vector<std::string> order = {
      "ID_SMP_CALLS", "PATIENT_ID", "CALL_DATE", "CALL_TIME", "AGE_VALUE", "AGE_EI", "PATIENT_ADDRESS",
      "CALLING_INFO", "COMPLAINTS", "CALL_TIME_BEGIN", "CALL_TIME_END", "CALL_GO_TIME_OUT", "CALL_TOTAL_TIME",
      "MKB_KOD", "DOCTOR_KOD", "SMP_STAFF", "HELP_LPU_WHERE", "DATE_INPUT", "USER_ID", "CALL_TYPE",
      "CALL_STAFF_SPEC", "CALL_TARGET", "CALL_RESULT", "HOSPITAL_KOD", "CALL_DIFFICULTIES", "CALL_TRAUMA",
      "CALL_LENGTH", "CALL_NUMBER", "EFFECTS", "TEL", "DRINKED", "CALL_TIME_ARRIVAL", "CALL_GO_TIME",
      "CALL_TIME_IN_SMP", "CALL_PARAM", "CALL_PLACE", "CALL_HOW_TO_CAR", "CALL_LATER_REASON",
      "CALL_WHAT_TO_DO"};
  auto in = [](const std::vector<std::string>& v, const std::string& n) {
    for (const std::string& x : v)
      if (x == n) return true;
    return false;
  };
  for (const std::string& n : order) {
    if (n == "PATIENT_ID" && layout.patientIdText) add(n, cds::FType::Str, 20);
    else if (in(IntColumns(), n)) add(n, cds::FType::I32, 0);
    else if (in(DateColumns(), n)) add(n, cds::FType::Date, 0);
    else if (in(TimeColumns(), n)) add(n, cds::FType::Time, 0);
    else add(n, cds::FType::Str, 600);
  }
  if (layout.withForm) add("FORMA_BLOB", cds::FType::Blob, 0);
  ds.SetFieldDefs(defs);
  ds.CreateDataSet();
  for (const Call& c : calls) {
    ds.Append();
    for (auto& [n, v] : c.ints)
      if (ds.FindField(n) && !(n == "PATIENT_ID" && layout.patientIdText)) ds.FieldByName(n).SetAsInteger(v);
    for (auto& [n, v] : c.texts)
      if (ds.FindField(n)) ds.FieldByName(n).SetAsString(v);
    for (auto& [n, v] : c.dates)
      if (ds.FindField(n)) ds.FieldByName(n).SetAsDateTime(v);
    for (auto& [n, v] : c.times)
      if (ds.FindField(n)) ds.FieldByName(n).SetAsDateTime(v);
    if (c.form && ds.FindField("FORMA_BLOB")) ds.FieldByName("FORMA_BLOB").SetAsString(*c.form);
    ds.Post();
  }
}

// "SMP_CALLS.bin": the calls as a binary packet.
inline std::string CallsPacket(const std::vector<Call>& calls, const Layout& layout = {}) {
  cds::TClientDataSet ds;
  FillCalls(ds, calls, layout);
  return cds::BinaryPacketOf(ds);
}

inline void WriteCalls(const std::string& path, const std::vector<Call>& calls, const Layout& layout = {}) {
  cds::TClientDataSet ds;
  FillCalls(ds, calls, layout);
  cds::WriteDataPacket(path, ds, cds::TDataPacketFormat::dfBinary);
}

// "INTERVAL.xml": one row with the first and the last day (null when not given).
inline void FillInterval(cds::TClientDataSet& ds, std::optional<double> first, std::optional<double> last) {
  cds::TFieldDef b, e;
  b.Name = "F_DATE_BEGIN";
  b.DataType = cds::FType::Stamp;
  e.Name = "F_DATE_END";
  e.DataType = cds::FType::Stamp;
  ds.SetFieldDefs({b, e});
  ds.CreateDataSet();
  ds.Append();
  if (first) ds.FieldByName("F_DATE_BEGIN").SetAsDateTime(*first);
  if (last) ds.FieldByName("F_DATE_END").SetAsDateTime(*last);
  ds.Post();
}

inline std::string IntervalPacket(std::optional<double> first, std::optional<double> last) {
  cds::TClientDataSet ds;
  FillInterval(ds, first, last);
  return cds::XmlPacketOf(ds);
}

inline void WriteInterval(const std::string& path, std::optional<double> first, std::optional<double> last) {
  cds::TClientDataSet ds;
  FillInterval(ds, first, last);
  cds::WriteDataPacket(path, ds, cds::TDataPacketFormat::dfXML);
}

// A patient packet as the exporting side sends it (the import does not read it).
inline std::string PatientPacket() {
  return "<?xml version=\"1.0\" standalone=\"yes\"?><DATAPACKET Version=\"2.0\"><METADATA><FIELDS>"
         "<FIELD attrname=\"IDP\" fieldtype=\"i4\"/></FIELDS><PARAMS/></METADATA><ROWDATA>"
         "<ROW IDP=\"1\"/></ROWDATA></DATAPACKET>";
}

inline std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline void WriteAll(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// ---- a ZIP file of stored entries

inline uint32_t Crc32(const std::string& s) {
  uint32_t c = 0xFFFFFFFFu;
  for (unsigned char b : s) {
    c ^= b;
    for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1u)));
  }
  return ~c;
}

inline std::string Zip(const std::vector<std::pair<std::string, std::string>>& files) {
  auto le = [](std::string& o, uint32_t v, int n) {
    for (int i = 0; i < n; ++i) o += static_cast<char>((v >> (8 * i)) & 0xFF);
  };
  const uint32_t dosTime = (10u << 11) | (30u << 5);
  const uint32_t dosDate = (44u << 9) | (3u << 5) | 15u;
  std::string out, central;
  for (const auto& [name, data] : files) {
    const uint32_t offset = static_cast<uint32_t>(out.size());
    const uint32_t crc = Crc32(data);
    const uint32_t size = static_cast<uint32_t>(data.size());
    le(out, 0x04034b50u, 4);
    le(out, 20, 2);
    le(out, 0, 2);
    le(out, 0, 2);
    le(out, dosTime, 2);
    le(out, dosDate, 2);
    le(out, crc, 4);
    le(out, size, 4);
    le(out, size, 4);
    le(out, static_cast<uint32_t>(name.size()), 2);
    le(out, 0, 2);
    out += name;
    out += data;
    le(central, 0x02014b50u, 4);
    le(central, 20, 2);
    le(central, 20, 2);
    le(central, 0, 2);
    le(central, 0, 2);
    le(central, dosTime, 2);
    le(central, dosDate, 2);
    le(central, crc, 4);
    le(central, size, 4);
    le(central, size, 4);
    le(central, static_cast<uint32_t>(name.size()), 2);
    le(central, 0, 2);
    le(central, 0, 2);
    le(central, 0, 2);
    le(central, 0, 2);
    le(central, 0x20, 4);
    le(central, offset, 4);
    central += name;
  }
  const uint32_t cdOffset = static_cast<uint32_t>(out.size());
  out += central;
  le(out, 0x06054b50u, 4);
  le(out, 0, 2);
  le(out, 0, 2);
  le(out, static_cast<uint32_t>(files.size()), 2);
  le(out, static_cast<uint32_t>(files.size()), 2);
  le(out, static_cast<uint32_t>(central.size()), 4);
  le(out, cdOffset, 4);
  le(out, 0, 2);
  return out;
}

// The four files of a package of the calls entered from `first` to `last`; `leaveOut`
// drops one of them.
inline std::string Package(const std::vector<Call>& calls, double first, double last, const std::string& leaveOut = "",
                           const Layout& layout = {}) {
  std::vector<std::pair<std::string, std::string>> files = {{"PATIENT.xml", PatientPacket()},
                                                            {"PATIENT_CONST_PARAMS.xml", PatientPacket()},
                                                            {"SMP_CALLS.bin", CallsPacket(calls, layout)},
                                                            {"INTERVAL.xml", IntervalPacket(first, last)}};
  std::vector<std::pair<std::string, std::string>> kept;
  for (auto& f : files)
    if (f.first != leaveOut) kept.push_back(f);
  return Zip(kept);
}

}  // namespace demodata::smp
