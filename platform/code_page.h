// The two 8-bit code pages of the engine's text and their case mappings.
//
// Data files hold "OEM" text: code page 850, the French DOS setting. The engine and
// its callers work on "ANSI" text: Windows-1252. The conversions between the two are
// 256-byte tables that are exact inverses of each other, so text read from a file and
// written back is never changed: characters present in both code pages map to each
// other; the characters of one page that the other lacks (box drawing in 850, some
// typographic signs in 1252) are paired among themselves in byte order.
//
// Upper- and lower-casing follow Windows-1252: ASCII letters, the accented letters
// (é <-> É, ç <-> Ç, ...), ÿ <-> Ÿ, œ <-> Œ, š <-> Š, ž <-> Ž. ß and µ have no
// other case and stay as they are.
//
// For display the tools also decode bytes to Unicode under a chosen page.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tarnis {

enum class TCodePage { CP850, CP1252, CP437, Latin1 };

// Unicode code point of a byte under the page (Latin1: the byte's own number).
char32_t CodePointOf(TCodePage page, uint8_t byte);
// Appends the UTF-8 form of a code point.
void AppendUtf8(std::string& out, char32_t cp);
// The bytes decoded under the page, as UTF-8.
std::string DecodeToUtf8(std::string_view bytes, TCodePage page);
// UTF-8 encoded to the page; characters the page lacks become "?". False when the
// input is not valid UTF-8.
bool EncodeFromUtf8(std::string_view utf8, TCodePage page, std::string& bytes);

extern const uint8_t OemToAnsiTable[256];
extern const uint8_t AnsiToOemTable[256];
void OemToAnsiBuff(char* buffer, size_t length);
void AnsiToOemBuff(char* buffer, size_t length);

uint8_t AnsiUpperChar(uint8_t c);
uint8_t AnsiLowerChar(uint8_t c);
// In place, `length` bytes (the engine's CharUpperBuffA).
void AnsiUpperBuff(char* buffer, size_t length);
void AnsiLowerBuff(char* buffer, size_t length);
std::string AnsiUpperCase(std::string_view text);
std::string AnsiLowerCase(std::string_view text);
// Byte-order comparison of the upper-cased texts: negative, 0 or positive.
int AnsiCompareText(std::string_view a, std::string_view b);

} // namespace tarnis
