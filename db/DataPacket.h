#pragma once
// Data packets of the client datasets, in their XML form and their binary form.
//
// Reading decides the form by content: the binary form starts with the bytes
// 96 19 E0 BD, the XML form with "<" (after an optional UTF-8 byte-order mark
// and blanks). The view loaded is the packet's current data: original versions
// of modified rows and deleted rows are dropped, every other row is loaded as
// an unchanged row. Text is turned into CP1251 (see DataPacket.README.md).
// Every length and count is checked against the data; a damaged or unknown
// packet raises EDBClient naming the file and, where there is one, the row and
// the field.
#include <string>
#include <string_view>

#include "db/ClientDataSet.h"

namespace cds {

// Loads the file into the dataset (fields and rows; index definitions stay).
void ReadDataPacket(const std::string& fileName, TClientDataSet& ds);
// The same from bytes in memory; sourceName names the data in error texts.
void ReadDataPacketBytes(std::string_view data, const std::string& sourceName, TClientDataSet& ds);
void ReadXmlPacket(std::string_view data, const std::string& sourceName, TClientDataSet& ds);
void ReadBinaryPacket(std::string_view data, const std::string& sourceName, TClientDataSet& ds);

// Writers (the dataset's current rows, without change log).
std::string XmlPacketOf(const TClientDataSet& ds);
std::string BinaryPacketOf(const TClientDataSet& ds);
void WriteDataPacket(const std::string& fileName, const TClientDataSet& ds, TDataPacketFormat format);

}  // namespace cds
