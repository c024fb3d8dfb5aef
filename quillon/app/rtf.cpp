#include "quillon/app/rtf.h"

#include <algorithm>
#include <cstdint>
#include <vector>

namespace {

// Deeper groups than this are read as text of the deepest one: bounds the state stack.
constexpr size_t kMaxDepth = 64;
// Numeric parameters are clamped: RTF gives them as 16-bit, a hostile text may give any length.
constexpr int32_t kMaxParam = 1 << 20;

struct Style {
  bool bold = false, italic = false, underline = false;
  int halfpoints = 24;  // \fs, in half points (RTF's default is 12 pt)
  int colour = 0;       // index into the colour table; 0 is the automatic colour
  bool skip = false;    // inside a destination that is not shown
  int ucskip = 1;       // characters after \uN that stand in for it
  bool operator==(const Style&) const = default;
};

struct Colour {
  int r = 0, g = 0, b = 0;
  bool set = false;
};

// Code page 1252 at 0x80..0x9F, where it differs from Latin-1 (0 for the unused places).
constexpr uint16_t kCp1252[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178,
};

int hexdigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool isletter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

class Reader {
 public:
  explicit Reader(std::string_view rtf) : in_(rtf) {}

  std::string run() {
    stack_.push_back(Style{});
    while (pos_ < in_.size()) {
      const char c = in_[pos_++];
      if (c == '{') {
        if (++depth_ < kMaxDepth) stack_.push_back(style());
        pendingdest_ = true;
      } else if (c == '}') {
        if (depth_ == 0) continue;  // an unbalanced brace closes nothing
        if (depth_ < kMaxDepth) stack_.pop_back();
        if (colourtable_ && depth_ == colourgroup_) colourtable_ = false;
        --depth_;
        pendingdest_ = false;
      } else if (c == '\\') {
        control();
      } else if (c != '\r' && c != '\n') {
        pendingdest_ = false;
        text(static_cast<unsigned char>(c));
      }
    }
    closespan();
    return "<html><body><div style=\"white-space: pre-wrap;\">" + out_ + "</div></body></html>";
  }

 private:
  Style& style() { return stack_.back(); }

  void control() {
    if (pos_ >= in_.size()) return;
    const char c = in_[pos_];
    if (!isletter(c)) {
      ++pos_;
      symbol(c);
      return;
    }
    const size_t start = pos_;
    while (pos_ < in_.size() && isletter(in_[pos_]) && pos_ - start < 32) ++pos_;
    const std::string_view word = in_.substr(start, pos_ - start);
    while (pos_ < in_.size() && isletter(in_[pos_])) ++pos_;  // an overlong word is still one word
    bool hasparam = false;
    bool negative = false;
    int32_t param = 0;
    if (pos_ < in_.size() && in_[pos_] == '-') negative = true, ++pos_;
    while (pos_ < in_.size() && in_[pos_] >= '0' && in_[pos_] <= '9') {
      hasparam = true;
      if (param < kMaxParam) param = param * 10 + (in_[pos_] - '0');
      ++pos_;
    }
    if (param > kMaxParam) param = kMaxParam;
    if (negative) param = -param;
    if (pos_ < in_.size() && in_[pos_] == ' ') ++pos_;  // the delimiting space belongs to the word
    const bool first = pendingdest_;
    pendingdest_ = false;
    keyword(word, hasparam, param, first);
  }

  void symbol(char c) {
    pendingdest_ = false;
    switch (c) {
      case '\\':
      case '{':
      case '}':
        text(static_cast<unsigned char>(c));
        break;
      case '~':
        unicode(0xA0);
        break;
      case '_':
        unicode(0x2011);
        break;
      case '*':  // an optional destination this reader does not know
        style().skip = true;
        break;
      case '\'': {
        const int hi = pos_ < in_.size() ? hexdigit(in_[pos_]) : -1;
        const int lo = pos_ + 1 < in_.size() ? hexdigit(in_[pos_ + 1]) : -1;
        if (hi < 0 || lo < 0) break;
        pos_ += 2;
        text(static_cast<unsigned char>(hi * 16 + lo));
        break;
      }
      case '\n':
      case '\r':
        paragraph();
        break;
      default:  // \- (optional hyphen) and anything unknown
        break;
    }
  }

  void keyword(std::string_view w, bool hasparam, int32_t param, bool first) {
    Style& s = style();
    const bool on = !hasparam || param != 0;
    if (w == "par" || w == "line") {
      paragraph();
    } else if (w == "tab") {
      plain("\t");
    } else if (w == "b") {
      s.bold = on;
    } else if (w == "i") {
      s.italic = on;
    } else if (w == "ul") {
      s.underline = on;
    } else if (w == "ulnone") {
      s.underline = false;
    } else if (w == "fs") {
      s.halfpoints = hasparam && param >= 2 && param <= 400 ? param : 24;
    } else if (w == "cf") {
      s.colour = param >= 0 && param < 256 ? param : 0;
    } else if (w == "plain") {
      const Style keep = s;
      s = Style{};
      s.skip = keep.skip, s.ucskip = keep.ucskip;
    } else if (w == "uc") {
      s.ucskip = param >= 0 && param <= 8 ? param : 1;
    } else if (w == "u") {
      unicode(param < 0 ? param + 65536 : param);
      skipfallback(s.ucskip);
    } else if (w == "bin") {
      pos_ += std::min<size_t>(param > 0 ? param : 0, in_.size() - pos_);  // raw bytes, never text
    } else if (w == "colortbl") {
      colourtable_ = true;
      colourgroup_ = depth_;
      colours_.clear();
      colours_.emplace_back();
      s.skip = true;
    } else if (w == "red" || w == "green" || w == "blue") {
      if (colourtable_ && depth_ == colourgroup_ && !colours_.empty() && colours_.size() < 256) {
        const int v = param < 0 ? 0 : param > 255 ? 255 : param;
        Colour& c = colours_.back();
        (w == "red" ? c.r : w == "green" ? c.g : c.b) = v;
        c.set = true;
      }
    } else if (first && (w == "fonttbl" || w == "stylesheet" || w == "info" || w == "pict" || w == "header" ||
                         w == "footer" || w == "object")) {
      s.skip = true;
    }
    // Every other control word (\rtf, \ansi, \deff, \pard, \f, \qc, ...) changes nothing shown.
  }

  // In the colour table, ';' ends one entry; everything else there is ignored.
  void colourtablechar(unsigned char c) {
    if (c == ';' && colours_.size() < 256) colours_.emplace_back();
  }

  void skipfallback(int count) {
    for (int i = 0; i < count && pos_ < in_.size(); ++i) {
      if (in_[pos_] == '\\' && pos_ + 3 < in_.size() && in_[pos_ + 1] == '\'') {
        pos_ += 4;
      } else if (in_[pos_] == '{' || in_[pos_] == '}' || in_[pos_] == '\\') {
        break;
      } else {
        ++pos_;
      }
    }
  }

  void text(unsigned char c) {
    if (colourtable_) {
      colourtablechar(c);
      return;
    }
    if (style().skip) return;
    if (c >= 0x80 && c < 0xA0) {
      if (kCp1252[c - 0x80]) unicode(kCp1252[c - 0x80]);
      return;
    }
    if (c < 0x20 && c != '\t') return;
    unicode(c);
  }

  void unicode(int32_t cp) {
    if (style().skip || colourtable_) return;
    if (cp <= 0 || cp > 0x10FFFF || (cp >= 0xD800 && cp < 0xE000)) return;
    std::string u;
    switch (cp) {
      case '&':
        u = "&amp;";
        break;
      case '<':
        u = "&lt;";
        break;
      case '>':
        u = "&gt;";
        break;
      case '"':
        u = "&quot;";
        break;
      default:
        if (cp < 0x80) {
          u += static_cast<char>(cp);
        } else if (cp < 0x800) {
          u += static_cast<char>(0xC0 | cp >> 6), u += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
          u += static_cast<char>(0xE0 | cp >> 12), u += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
          u += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
          u += static_cast<char>(0xF0 | cp >> 18), u += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
          u += static_cast<char>(0x80 | ((cp >> 6) & 0x3F)), u += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
    plain(u);
  }

  // Text in the current style: a new span whenever the style differs from the open one.
  void plain(const std::string& html) {
    if (style().skip || colourtable_) return;
    if (!spanopen_ || !(open_ == style())) {
      closespan();
      opensspan();
    }
    out_ += html;
  }

  void paragraph() {
    if (style().skip || colourtable_) return;
    closespan();
    out_ += "<br />";
  }

  void opensspan() {
    const Style& s = style();
    out_ += "<span style=\"font-size:" + std::to_string(s.halfpoints / 2) + (s.halfpoints % 2 ? ".5" : "") +
            "pt;";
    if (s.bold) out_ += " font-weight:bold;";
    if (s.italic) out_ += " font-style:italic;";
    if (s.underline) out_ += " text-decoration:underline;";
    if (s.colour > 0 && static_cast<size_t>(s.colour) < colours_.size() && colours_[s.colour].set) {
      static const char* hex = "0123456789abcdef";
      const Colour& c = colours_[s.colour];
      out_ += " color:#";
      for (int v : {c.r, c.g, c.b}) out_ += hex[v >> 4], out_ += hex[v & 15];
      out_ += ';';
    }
    out_ += "\">";
    open_ = s;
    spanopen_ = true;
  }

  void closespan() {
    if (spanopen_) out_ += "</span>";
    spanopen_ = false;
  }

  std::string_view in_;
  size_t pos_ = 0;
  size_t depth_ = 0;          // the real nesting, which may exceed the stack's
  bool pendingdest_ = false;  // just after '{': a destination word may follow
  std::vector<Style> stack_;
  std::vector<Colour> colours_;
  bool colourtable_ = false;
  size_t colourgroup_ = 0;
  Style open_;
  bool spanopen_ = false;
  std::string out_;
};

}  // namespace

std::string rtf_tohtml(std::string_view rtf) {
  return Reader(rtf).run();
}
