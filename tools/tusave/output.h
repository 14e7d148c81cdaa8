// How tusave writes: every line escapes control characters (a name taken from a project file
// cannot make a line of its own), standard output is line-buffered when it is not a terminal,
// and colours and bar redraws are used only on a terminal that can show them.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace tusave_cli {

// Line-buffers standard output when it is not a terminal (a pipe or a file gets every line as
// it is made); call once at start-up.
void setup_output();

// text with every control character (below 0x20, and 0x7F) written as \xNN.
std::string escape(std::string_view text);

// One escaped line to stdout or stderr.
void out(std::string_view line);
void err(std::string_view line);
// printf-style, then escaped.
[[gnu::format(printf, 1, 2)]] std::string format(const char* fmt, ...);

// True when stdout is a terminal that shows colours and redraws (not NO_COLOR, not TERM=dumb).
bool rich_terminal();
// The escape sequence when colours are on, else "".
const char* colour(const char* sequence);

}  // namespace tusave_cli
