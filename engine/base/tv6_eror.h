// The engine's error model.
//
// Every failing engine operation ends in EngineError (Code, SubCode, Info), which
// calls the replaceable handler EngineErrorProc. The default handler turns the code
// into a message and throws ETarnisError; a handler that returns instead lets the
// failed operation continue with the object's ErrorCode still set.
//
// Codes below 1000 are operating-system error numbers (2 file not found, 5 access
// denied, 32 sharing violation, 33 lock violation, ...) or the engine's own uses of
// them; codes from 1001 up are engine codes. Sub-codes name the failing operation;
// NoSubCode (-7) means there is none.
//
// Message forms:
//   code in the table:     "<text> - <info>"   (text + " - " cut to 43 characters)
//   code not in the table: "Tarnis Error <code>[, SubCode <sub>].\r[ <info>><sub>]"
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace tarnis {

constexpr int32_t NoSubCode = -7;

// Engine codes (the operating-system numbers are in platform/os_file.h).
namespace ec {
constexpr int32_t InvalidFileAccess = 12;
constexpr int32_t FileNotAssigned = 102;
constexpr int32_t ShortRead =
    221; // a read returned fewer bytes than asked; never reported by ReadAt
constexpr int32_t HeaderInvalid = 1001;
constexpr int32_t BeyondEof = 1002;
constexpr int32_t FieldNameInvalid = 1003;
constexpr int32_t FieldTypeIncorrect = 1004;
constexpr int32_t MemoFormat = 1005;
constexpr int32_t ExpressionUntranslatable = 1006;
constexpr int32_t NumberTooLarge = 1011;
} // namespace ec

// The engine's exception; code and sub-code live only in its message text.
class ETarnisError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Info is the report's text (a file name, a field name, ...); empty when absent.
using TEngineErrorProc = void (*)(int32_t Code, int32_t SubCode, std::string_view Info);

// The handler EngineError calls; DefaultEngineError unless replaced.
extern TEngineErrorProc EngineErrorProc;

void EngineError(int32_t Code, int32_t SubCode, std::string_view Info);
// Builds the message (forms above) and throws ETarnisError. A negative sub-code
// other than NoSubCode denotes a run-time error numbered Code and is thrown as
// ETarnisError "Runtime error <code>".
[[noreturn]] void DefaultEngineError(int32_t Code, int32_t SubCode, std::string_view Info);
// The message DefaultEngineError throws for these arguments.
std::string EngineErrorMessage(int32_t Code, int32_t SubCode, std::string_view Info);
// The table text of a code, or nullptr when the code has none.
const char* ErrorText(int32_t Code);

} // namespace tarnis
