#pragma once
// dBase III tables written byte by byte, as the clinic's DBF inputs come: texts given in
// UTF-8 are stored in CP866, numbers right-aligned, dates as "YYYYMMDD". With the field
// layouts of the three DBF inputs: the fund's attached population, the federal privileged
// persons and the privileged-medicine directory.
#include <string>
#include <vector>

namespace demodata {

struct DbfField {
  const char* name;
  char type;  // 'C', 'N', 'D'
  int length;
};

// The table file's bytes; each record holds one text per field.
std::string Dbf(const std::vector<DbfField>& fields, const std::vector<std::vector<std::string>>& records);

const std::vector<DbfField>& FundFields();
const std::vector<DbfField>& PrivilegedFields();
const std::vector<DbfField>& DrugFields();

}  // namespace demodata
