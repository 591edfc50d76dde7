#include "tools/DbfTable.h"

#include <cstdint>
#include <stdexcept>
#include <string>

#include "platform/codepage.h"

namespace demodata {

std::string Dbf(const std::vector<DbfField>& fields, const std::vector<std::vector<std::string>>& records) {
  auto le = [](uint32_t v, int n) {
    std::string s;
    for (int i = 0; i < n; ++i) s += static_cast<char>((v >> (8 * i)) & 0xFF);
    return s;
  };
  int recordLength = 1;
  for (const DbfField& f : fields) recordLength += f.length;
  std::string out;
  out += '\x03';
  out += std::string("\x7E\x0C\x0A", 3);
  out += le(static_cast<uint32_t>(records.size()), 4);
  out += le(static_cast<uint32_t>(32 + 32 * fields.size() + 1), 2);
  out += le(static_cast<uint32_t>(recordLength), 2);
  out += std::string(20, '\0');
  for (const DbfField& f : fields) {
    std::string name(f.name);
    name.resize(11, '\0');
    out += name;
    out += f.type;
    out += std::string(4, '\0');
    out += static_cast<char>(f.length);
    out += '\0';
    out += std::string(14, '\0');
  }
  out += '\x0D';
  for (const auto& rec : records) {
    if (rec.size() != fields.size()) {
      throw std::invalid_argument("a DBF record of " + std::to_string(rec.size()) + " values for " +
                                  std::to_string(fields.size()) + " fields");
    }
    out += ' ';
    for (size_t i = 0; i < fields.size(); ++i) {
      std::string v = platform::ConvertCodepage(rec[i], "UTF-8", "CP866");
      v.resize(static_cast<size_t>(fields[i].length), ' ');
      if (fields[i].type == 'N') {  // right-aligned
        std::string t = rec[i];
        v = std::string(static_cast<size_t>(fields[i].length) - t.size(), ' ') + t;
      }
      out += v;
    }
  }
  out += '\x1A';
  return out;
}

const std::vector<DbfField>& FundFields() {
  static const std::vector<DbfField> fields = {
      {"FIRSTNAME", 'C', 40}, {"NAME", 'C', 40},    {"SECNAME", 'C', 40},  {"DATEBDAY", 'D', 8},  {"POL", 'C', 1},
      {"SNILS", 'C', 14},     {"SPOLICY", 'C', 10}, {"NPOLICY", 'C', 20},  {"DPOLICY", 'D', 8},   {"ENDPOLICY", 'D', 8},
      {"VPOLIC", 'N', 1},     {"CMOCOD", 'N', 5},   {"ENP", 'C', 16},      {"DATEPRIK", 'D', 8},  {"SPOLREF", 'C', 6},
      {"SSTOMREF", 'C', 6},   {"SWCONREF", 'C', 6}, {"COATODIST", 'C', 11}, {"NPREF", 'C', 6},    {"STRETREF", 'C', 6},
      {"HOUSE", 'C', 5},      {"FLAT", 'N', 4},     {"KORPUS", 'C', 5},    {"NPNAME", 'C', 60},   {"ADRESS_F", 'C', 60},
      {"KLADR", 'C', 20},     {"KLADRS", 'C', 20},  {"ID_LIC", 'C', 20},   {"STATUS", 'C', 2}};
  return fields;
}

const std::vector<DbfField>& PrivilegedFields() {
  static const std::vector<DbfField> fields = {
      {"FM", 'C', 40},     {"IM", 'C', 40},       {"OT", 'C', 40},        {"DTR", 'D', 8},      {"SER_SP", 'C', 10},
      {"NUM_SP", 'C', 20}, {"NPSU", 'C', 14},     {"STATUS", 'C', 10},    {"DAT_ISKL", 'C', 10}, {"KATEG_EDV", 'C', 20},
      {"TYPE_DOC", 'C', 30}, {"SER_DOC", 'C', 14}, {"NUM_DOC", 'C', 10}};
  return fields;
}

const std::vector<DbfField>& DrugFields() {
  static const std::vector<DbfField> fields = {
      {"NAME_MED", 'C', 60}, {"NOMK_LS", 'N', 8},  {"C_RLP", 'N', 5},     {"TYPE_LGT", 'N', 2},  {"PRICE", 'N', 10},
      {"MNN_NAME_R", 'C', 40}, {"MNN_NAME_L", 'C', 40}, {"D_R", 'C', 20}, {"D_L", 'C', 20},     {"N_LF_L", 'C', 20},
      {"N_LF_R", 'C', 20},   {"NAME_TRN", 'C', 40}, {"NAME_FCT", 'C', 40}, {"DATE_E", 'D', 8},   {"C_MNN", 'C', 6},
      {"C_FARG", 'N', 5},    {"DATE_B", 'D', 8},   {"MSG_TEXT", 'C', 40}, {"C_LF", 'N', 5},      {"C_TRN", 'N', 6},
      {"KATEG", 'C', 10}};
  return fields;
}

}  // namespace demodata
