// Text from a stranger made fit for a terminal line: it can neither drive
// the terminal (escape sequences, C1 controls), nor break or forge a line
// (CR, LF), nor reorder our own text around it (bidi controls).
#pragma once

#include <string>

// Control characters, DEL, C1 controls and bytes that are not UTF-8 become
// "\xNN"; bidi embedding, override and isolate controls and the marks
// become "<U+XXXX>". Everything else (any script) is kept.
std::string terminal_text(const std::string& text);
