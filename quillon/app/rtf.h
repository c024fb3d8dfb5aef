// A small reader of the RTF help texts: turns a document into the HTML subset that Qt's rich
// text shows (paragraphs, tabs, bold, italic, underline, font sizes, colours, code page 1252).
#pragma once

#include <string>
#include <string_view>

// Never fails: what it does not know it skips, and it stops at the end of `rtf`.
std::string rtf_tohtml(std::string_view rtf);
