// Module texts are bytes the module chose, in whatever code page it had in
// mind, not necessarily UTF-8 and not necessarily printable. These turn them
// into text that every output can carry.
#pragma once

#include <string>

namespace q7tools {

// For people: printable ASCII as it is, a backslash as "\\", every other
// byte as "\xHH" ("GG\xFFTE").
std::string readable(const std::string& bytes);

// For JSON: one character per byte, byte N becoming U+00NN, as UTF-8. A
// JSON writer that escapes everything outside ASCII then shows any byte
// above 0x7E as "\u00NN" and control bytes as its usual escapes, and a
// reader gets the module's exact bytes back from the character codes.
std::string json_text(const std::string& bytes);

}  // namespace q7tools
