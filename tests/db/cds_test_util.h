#pragma once
// Small builders for client-dataset tests.
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "db/ClientDataSet.h"

namespace cdstest {

inline cds::TFieldDef F(const char* name, cds::FType t, int size = 0, int scale = 0) {
  cds::TFieldDef d;
  d.Name = name;
  d.DataType = t;
  d.Size = size;
  d.Scale = scale;
  return d;
}

// Appends one row; values are converted to the field types.
inline void AddRow(cds::TClientDataSet& ds, const std::vector<cds::Value>& vals) {
  ds.Append();
  for (size_t i = 0; i < vals.size(); ++i) ds.Fields(static_cast<int>(i)).SetValue(vals[i]);
  ds.Post();
}

// The values of one column along the current walk (First .. Eof).
inline std::vector<std::string> Walk(cds::TClientDataSet& ds, const char* field) {
  std::vector<std::string> out;
  for (ds.First(); !ds.Eof(); ds.Next()) out.push_back(ds.FieldByName(field).AsString());
  return out;
}

inline std::filesystem::path TempDir() {
  auto p = std::filesystem::temp_directory_path() /
           ("kesta_cds_" + std::to_string(::getpid()) + "_" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
  std::filesystem::create_directories(p);
  return p;
}

}  // namespace cdstest
