// The help texts' RTF reader on arbitrary bytes: it must stop at the end of its input, bound its
// state, and give well-formed markup (every span it opens closed, none of the input's angle
// brackets passed through).
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "quillon/app/rtf.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string html = rtf_tohtml(std::string_view(reinterpret_cast<const char*>(data), size));
  size_t opened = 0, closed = 0;
  for (size_t p = 0; (p = html.find("<span", p)) != std::string::npos; ++p) ++opened;
  for (size_t p = 0; (p = html.find("</span>", p)) != std::string::npos; ++p) ++closed;
  if (opened != closed) std::abort();
  // Every '<' starts one of the reader's own tags: text never turns into markup.
  static constexpr std::string_view kTags[] = {"<span style=", "</span>", "<br />", "<html>", "</html>",
                                               "<body>",       "</body>", "<div ",  "</div>"};
  for (size_t p = 0; (p = html.find('<', p)) != std::string::npos; ++p) {
    bool known = false;
    for (std::string_view tag : kTags) known |= html.compare(p, tag.size(), tag) == 0;
    if (!known) std::abort();
  }
  return 0;
}
