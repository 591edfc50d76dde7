// Any bytes as a data packet: the binary and the XML loader (with the change log that
// pairs modified rows with their originals) must load it or raise EDBClient, never crash,
// hang or read out of bounds. What loads is edited (a row changed, one deleted), written
// in both forms, and each form must read back with the same rows.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "db/ClientDataSet.h"
#include "db/DataPacket.h"

namespace {

using cds::TClientDataSet;

// Rows and values of two datasets must agree.
void expectSame(TClientDataSet& a, TClientDataSet& b) {
  if (a.RecordCount() != b.RecordCount() || a.FieldCount() != b.FieldCount()) std::abort();
  a.First();
  b.First();
  for (; !a.Eof(); a.Next(), b.Next())
    for (int c = 0; c < a.FieldCount(); ++c) {
      const cds::Value x = a.Fields(c).AsValue(), y = b.Fields(c).AsValue();
      // A double written as text comes back as the same double; NaN is never loaded.
      if (x.isNull() != y.isNull() || cds::Value::compare(x, y) != 0) std::abort();
    }
}

void edit(TClientDataSet& ds) {
  if (ds.IsEmpty()) return;
  try {
    ds.First();
    ds.Edit();
    // The last field takes the first field's value (where it converts).
    ds.Fields(ds.FieldCount() - 1).SetValue(ds.Fields(0).AsValue());
    ds.Post();
    ds.Next();
    if (!ds.Eof()) ds.Delete();
  } catch (const platform::Exception&) {
    if (ds.State() != cds::TDataSetState::dsBrowse) ds.Cancel();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  TClientDataSet ds;
  try {
    cds::ReadDataPacketBytes(bytes, "fuzz.packet", ds);
  } catch (const cds::EDBClient&) {
    if (ds.Active()) std::abort();
    return 0;
  }
  edit(ds);
  for (bool xml : {true, false}) {
    std::string written;
    try {
      written = xml ? cds::XmlPacketOf(ds) : cds::BinaryPacketOf(ds);
    } catch (const cds::EDBClient&) {
      continue;  // a name or a text the form cannot carry
    }
    TClientDataSet back;
    cds::ReadDataPacketBytes(written, xml ? "fuzz.xml" : "fuzz.bin", back);
    expectSame(ds, back);
  }
  return 0;
}
