// Packets as people and other programs read them: type names, cell texts,
// the project's JSON form, CSV, and an aligned table.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "platform/dataset/packet.h"

namespace zel::tools {

// The field's type in the names of the XML form ("string", "i4", "r8", "dateTime"...).
std::string typeName(const ds::FieldDef& f);

// One cell as plain text: numbers with ".", dates "YYYY-MM-DD", times
// "HH:MM:SS.mmm", date-times "YYYY-MM-DDTHH:MM:SS.mmm", Booleans "true"/"false",
// blobs in base64, memos as they are; null is empty.
std::string cellText(const ds::FieldDef& f, const ds::Cell& c);

// The project's JSON form of a table:
//   {"fields": [{"name": "CDPRODUTO", "type": "string", "width": 10}, ...],
//    "params": {"LCID": 1046, "DEFAULT_ORDER": [1]},
//    "rows":   [{"CDPRODUTO": "0001", "VRPRECO": 12.5, "DTINCLUSAO": "2026-12-08T12:30:00.000"}, ...]}
// A field may also carry "subtype", "required", "readonly", "hidden" and
// "attributes" (the raw bits, when others are set). A row lists the live rows
// only; a value that is null or absent is null.
nlohmann::ordered_json toJson(const ds::Packet& p);
ds::Packet fromJson(const nlohmann::ordered_json& j, const std::string& source);

std::string toCsv(const ds::Packet& p);

// Fields (name, type, width) and then the rows as an aligned table; cells
// longer than maxCell characters are cut with "...".
std::string toAlignedTable(const ds::Packet& p, size_t maxCell = 40);

}  // namespace zel::tools
