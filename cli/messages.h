// Text the console scanner echoes back in its own messages.
#pragma once

#include <string>

namespace purgato {

// text with every control character spelled out, so an argument or a file
// name cannot break a message line or drive the terminal: tab, newline and
// carriage return as \t, \n and \r, any other as \xHH (escape is \x1b).
std::string escapeControls(const std::string& text);

}  // namespace purgato
