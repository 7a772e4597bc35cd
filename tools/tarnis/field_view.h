// How the tarnis tool shows field values: as JSON members (one record per line) and
// as text for people. Stored bytes are decoded to UTF-8 under the chosen code page.
//
// JSON by type:   C  string of the stored characters without trailing blanks
//                 N, F, I, Y, B (Visual FoxPro)  number; null when the field is blank
//                 D  "yyyymmdd"; null when blank
//                 L  true / false; null when neither a true nor a false letter
//                 M, G, B (others)  the memo text; "" when the record has none
//                 anything else: string of the stored characters
#pragma once

#include "engine/table/TVO_dBaseFld.h"
#include "platform/code_page.h"

#include <string>
#include <string_view>

namespace tarnis::tool {

// A JSON string literal of UTF-8 text (control characters escaped).
std::string JsonString(std::string_view utf8);
// Shortest text that reads back as the same double.
std::string NumberText(double value);
// The bytes of the memo behind field No of the current record ("" when none).
std::string MemoBytes(TVO_dBaseFld& Table, int32_t No);

std::string FieldJson(TVO_dBaseFld& Table, int32_t No, TCodePage Page);
// One line: memo texts are cut at their first line break.
std::string FieldDisplay(TVO_dBaseFld& Table, int32_t No, TCodePage Page);

} // namespace tarnis::tool
