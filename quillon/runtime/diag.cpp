// Fault report, print channels and devices, current directory, archive entry lookup.
#include "quillon/runtime/diag.h"

#include <strings.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "quillon/runtime/thread.h"

namespace {

// ---- Fault report ----

std::atomic<FAULT_filter> fault_filter{nullptr};
std::atomic<FAULT_lock> fault_lock{nullptr};
std::atomic<FAULT_prebox> fault_prebox{nullptr};
std::atomic<FAULT_box> fault_box{nullptr};
std::atomic<FAULT_log> fault_log{nullptr};
std::atomic<bool> fault_sourceswitch{false};
std::atomic<bool> fault_busy{false};

// ---- Printing ----

constexpr int kEnabled = 1;
constexpr int kStandard = 2;

struct Channel {
  char name[32];
  int flags;
};
struct Device {
  const char* name;
  PRINT_output output;
  void* user;
  int flags;
};

void console_output(const char* text, void*) {
  std::fputs(text, stdout);
  std::fflush(stdout);
}
void mono_output(const char* text, void*);

struct Printing {
  std::once_flag setup;
  std::mutex table;  // channel and device tables
  Channel channels[PRINT_CHANNELS] = {};
  Device devices[PRINT_DEVICES] = {};
  std::mutex mono;  // the screen
  uint8_t screen[PRINT_MONO_COLUMNS * PRINT_MONO_ROWS * 2] = {};
  int cursor = 0;
  uint8_t attribute = 7;
  int tabwidth = 8;
};

Printing& printing() {
  static Printing& p = *new Printing;
  return p;
}

constexpr const char* kChannelNames[16] = {"all",      "runtime", "alert", "general", "memory", "connection",
                                           "graphics", "file",    "input", "system",  "3d",     "font",
                                           "codec",    "math",    "qvgl",  "capture"};

void setup_tables(Printing& p) {
  for (int i = 0; i < PRINT_CHANNELS; ++i) {
    p.channels[i] = {};
    if (i < 16) std::snprintf(p.channels[i].name, sizeof p.channels[i].name, "%s", kChannelNames[i]);
    if (i >= 1 && i <= 15) p.channels[i].flags = kStandard;
  }
  p.devices[PRINT_MONO] = {"mono", mono_output, nullptr, 0};
  p.devices[PRINT_CONSOLE] = {"console", console_output, nullptr, 0};
  // No system debugger output here: the device exists, is named and can be given an output.
  p.devices[PRINT_DEBUGGER] = {"debugger", nullptr, nullptr, 0};
}

size_t shared_prefix(const char* a, const char* b) {
  size_t n = 0;
  while (a[n] && b[n] &&
         std::tolower(static_cast<unsigned char>(a[n])) == std::tolower(static_cast<unsigned char>(b[n])))
    ++n;
  return n;
}

void set_channel(Printing& p, int channel, bool on) {
  auto apply = [&](int i) {
    if (on)
      p.channels[i].flags |= kEnabled;
    else
      p.channels[i].flags &= ~kEnabled;
  };
  if (channel == PRINT_ALL) {
    for (int i = 0; i < PRINT_CHANNELS; ++i) apply(i);
  } else if (channel == PRINT_STANDARD) {
    for (int i = 0; i < PRINT_CHANNELS; ++i)
      if (p.channels[i].flags & kStandard) apply(i);
  } else {
    apply(channel);
  }
}

// Applies an environment variable's list of names ("-name" disables) to the channels (devices
// false) or devices. Only the entry `only` is touched when it is not negative.
void apply_environment(Printing& p, bool devices, int only) {
  const char* value = std::getenv(devices ? "PRINT_DEVICE" : "PRINT_CHANNEL");
  if (!value) return;
  char list[256];
  std::snprintf(list, sizeof list, "%s", value);
  for (char* c = list; *c; ++c) *c = static_cast<char>(std::tolower(static_cast<unsigned char>(*c)));
  char* save = nullptr;
  for (char* word = strtok_r(list, ", ", &save); word; word = strtok_r(nullptr, ", ", &save)) {
    const bool off = word[0] == '-';
    const char* name = word + (off ? 1 : 0);
    const int count = devices ? int{PRINT_DEVICES} : int{PRINT_CHANNELS};
    int best = -1;
    size_t best_length = 0;
    for (int i = 0; i < count; ++i) {
      const char* candidate = devices ? p.devices[i].name : p.channels[i].name;
      const size_t n = shared_prefix(name, candidate);
      if (n > best_length) best = i, best_length = n;
    }
    if (best < 0 || (only >= 0 && best != only)) continue;
    if (devices) {
      p.devices[best].flags = off ? 0 : kEnabled;
    } else {
      set_channel(p, best, !off);
    }
  }
}

void reset_printing(Printing& p) {
  std::lock_guard lock(p.table);
  setup_tables(p);
  p.channels[PRINT_ALERT].flags |= kEnabled;
  p.devices[PRINT_CONSOLE].flags |= kEnabled;
  apply_environment(p, false, -1);
  apply_environment(p, true, -1);
}

Printing& ready() {
  Printing& p = printing();
  std::call_once(p.setup, [&] { reset_printing(p); });
  return p;
}

void mono_output(const char* text, void*) {
  Printing& p = printing();
  std::lock_guard lock(p.mono);
  constexpr int kCells = PRINT_MONO_COLUMNS * PRINT_MONO_ROWS;
  auto blank = [&](int from, int to) {
    for (int i = from; i < to; ++i) p.screen[2 * i] = ' ', p.screen[2 * i + 1] = p.attribute;
  };
  for (const char* c = text; *c; ++c) {
    const auto ch = static_cast<uint8_t>(*c);
    switch (ch) {
      case '\b':
        if (p.cursor > 0) --p.cursor;
        continue;
      case '\t':
        if (p.tabwidth >= 2) p.cursor += p.tabwidth - p.cursor % PRINT_MONO_COLUMNS % p.tabwidth;
        break;
      case '\n':
        p.cursor += PRINT_MONO_COLUMNS - p.cursor % PRINT_MONO_COLUMNS;
        break;
      case '\f':
        blank(0, kCells);
        p.cursor = 0;
        continue;
      case '\v':
        p.cursor = 0;
        continue;
      case 0x0E:
        if (c[1]) p.attribute = static_cast<uint8_t>(*++c);
        continue;
      default:
        p.screen[2 * p.cursor] = ch;
        p.screen[2 * p.cursor + 1] = p.attribute;
        ++p.cursor;
    }
    if (p.cursor >= kCells) {
      std::memmove(p.screen, p.screen + 2 * PRINT_MONO_COLUMNS, 2 * (kCells - PRINT_MONO_COLUMNS));
      blank(kCells - PRINT_MONO_COLUMNS, kCells);
      p.cursor -= PRINT_MONO_COLUMNS;
    }
  }
}

bool valid_channel(int channel) {
  return channel >= 0 && channel < PRINT_CHANNELS;
}
bool valid_device(int device) {
  return device >= 0 && device < PRINT_DEVICES;
}

}  // namespace

void FAULT_setfilter(FAULT_filter filter) {
  fault_filter = filter;
}
void FAULT_setlock(FAULT_lock lock) {
  fault_lock = lock;
}
void FAULT_setprebox(FAULT_prebox hook) {
  fault_prebox = hook;
}
void FAULT_setbox(FAULT_box box) {
  fault_box = box;
}
void FAULT_setlog(FAULT_log log) {
  fault_log = log;
}
void FAULT_setsourceswitch(int on) {
  fault_sourceswitch = on != 0;
}

void FAULT_report(const char* source, int line, const char* format, ...) {
  if (fault_busy.exchange(true)) return;
  char text[256] = "";
  if (format) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
  }
  if (const FAULT_filter filter = fault_filter; filter && filter(text) == 0) {
    fault_busy = false;
    return;
  }
  char title[256] = "Abort Message";
  if (fault_sourceswitch && source)
    std::snprintf(title, sizeof title, "Abort from file \"%s\", line %d", source, line);
  CRIT* lock = nullptr;
  if (const FAULT_lock hook = fault_lock) lock = hook();
  if (const FAULT_prebox hook = fault_prebox) hook();
  std::fprintf(stderr, "%s: %s", title, text);
  if (text[0] == 0 || text[std::strlen(text) - 1] != '\n') std::fputc('\n', stderr);
  std::fflush(stderr);
  if (const FAULT_box box = fault_box) box(title, text);
  if (const FAULT_log log = fault_log) {
    PRINT(PRINT_ALERT, "%s\n  %s", title, text);
    log(title, text);
  }
  if (lock) CRIT_leave(lock);
  // Exit status 1: the program stopped on a fault, which a calling script must be able to see.
  if (THREAD_ismain()) std::exit(1);
  std::_Exit(1);
}

void PRINT(int channel, const char* format, ...) {
  Printing& p = ready();
  char text[256];
  PRINT_output outputs[PRINT_DEVICES];
  void* users[PRINT_DEVICES];
  int count = 0;
  {
    std::lock_guard lock(p.table);
    if (!valid_channel(channel) || !(p.channels[channel].flags & kEnabled)) return;
    for (const Device& d : p.devices)
      if ((d.flags & kEnabled) && d.output) outputs[count] = d.output, users[count++] = d.user;
  }
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  for (int i = 0; i < count; ++i) outputs[i](text, users[i]);
}

void PRINT_init() {
  reset_printing(printing());
}

void PRINT_setchannelname(int channel, const char* name) {
  Printing& p = ready();
  if (!valid_channel(channel)) return;
  std::lock_guard lock(p.table);
  std::snprintf(p.channels[channel].name, sizeof p.channels[channel].name, "%s", name ? name : "");
  apply_environment(p, false, channel);
}

const char* PRINT_channelname(int channel) {
  return valid_channel(channel) ? ready().channels[channel].name : "";
}

void PRINT_enablechannel(int channel, int on) {
  Printing& p = ready();
  if (!valid_channel(channel)) return;
  std::lock_guard lock(p.table);
  set_channel(p, channel, on != 0);
}

int PRINT_channelenabled(int channel) {
  Printing& p = ready();
  if (!valid_channel(channel)) return 0;
  std::lock_guard lock(p.table);
  return p.channels[channel].flags & kEnabled;
}

void PRINT_setdevice(int device, PRINT_output output, void* user) {
  Printing& p = ready();
  if (!valid_device(device)) return;
  std::lock_guard lock(p.table);
  p.devices[device].output = output;
  p.devices[device].user = user;
  apply_environment(p, true, device);
}

void PRINT_enabledevice(int device, int on) {
  Printing& p = ready();
  if (!valid_device(device)) return;
  std::lock_guard lock(p.table);
  p.devices[device].flags = on ? kEnabled : 0;
}

int PRINT_deviceenabled(int device) {
  Printing& p = ready();
  if (!valid_device(device)) return 0;
  std::lock_guard lock(p.table);
  return p.devices[device].flags & kEnabled;
}

void PRINT_monoscreen(uint8_t out[PRINT_MONO_COLUMNS * PRINT_MONO_ROWS * 2]) {
  Printing& p = printing();
  std::lock_guard lock(p.mono);
  std::memcpy(out, p.screen, sizeof p.screen);
}

void PRINT_monotabwidth(int width) {
  Printing& p = printing();
  std::lock_guard lock(p.mono);
  p.tabwidth = width;
}

void setdirectory(const char* path) {
  if (!path || chdir(path) != 0) FAULT("pc/dir", "setdirectory - FAILED ON '%s'\n", path ? path : "");
}

void getdirectory(char* buffer) {
  if (getcwd(buffer, 512)) return;
  char* full = getcwd(nullptr, 0);
  const int length = full ? static_cast<int>(std::strlen(full)) : 0;
  std::free(full);
  buffer[0] = 0;
  FAULT("pc/dir", "getdirectory - FAILED TO FETCH, OR WAS TOO LONG (%d CHAR).\n", length);
}

namespace {

std::atomic<bool> big_report{false};

uint32_t be(const uint8_t* p, int n) {
  uint32_t v = 0;
  for (int i = 0; i < n; ++i) v = v << 8 | p[i];
  return v;
}

}  // namespace

void BIG_setreport(int on) {
  big_report = on != 0;
}

namespace {

const char* locate(const void* image, size_t length, const char* name, int number, uint32_t* offset,
                   uint32_t* size) {
  *offset = 0;
  *size = 0;
  const auto* bytes = static_cast<const uint8_t*>(image);
  size_t pos = 0;
  uint32_t count = 0;
  int field = 0;  // bytes of each entry's offset and of its size
  if (bytes && length >= 6 && be(bytes, 2) == 0xC0FB) {
    count = be(bytes + 4, 2), pos = 6, field = 3;
  } else if (bytes && length >= 16 && std::memcmp(bytes, "BIGF", 4) == 0) {
    count = be(bytes + 8, 4), pos = 16, field = 4;
  }
  for (uint32_t i = 0; field && i < count; ++i) {
    if (length - pos < static_cast<size_t>(2 * field) + 1) break;
    const char* entry = reinterpret_cast<const char*>(bytes + pos + 2 * field);
    const void* end = std::memchr(entry, 0, length - pos - 2 * field);
    if (!end) break;  // a name running off the image ends the directory
    const bool match = name ? strcasecmp(entry, name) == 0 : static_cast<int>(i) == number;
    if (match) {
      *offset = be(bytes + pos, field);
      *size = be(bytes + pos + field, field);
      return entry;
    }
    pos = static_cast<size_t>(static_cast<const char*>(end) - reinterpret_cast<const char*>(bytes)) + 1;
  }
  return nullptr;
}

}  // namespace

const char* BIG_locateentry(const void* image, size_t length, const char* name, int number, uint32_t* offset,
                            uint32_t* size) {
  const char* entry = locate(image, length, name, number, offset, size);
  if (!entry && big_report) {
    if (name)
      FAULT("cmn/locatbig", "BIG_locateentry: ENTRY \"%s\" NOT FOUND\n", name);
    else
      FAULT("cmn/locatbig", "BIG_locateentry: ENTRY #%d NOT FOUND\n", number);
  }
  return entry;
}

int BIG_locatemany(const void* image, size_t length, const char* names, const void** results) {
  int found = 0;
  int index = 0;
  std::string list = names ? names : "";
  size_t start = 0;
  while (start <= list.size()) {
    size_t comma = list.find(',', start);
    if (comma == std::string::npos) comma = list.size();
    const std::string name = list.substr(start, comma - start);
    uint32_t offset = 0, size = 0;
    // An address is handed out only for data that lies inside the image.
    if (locate(image, length, name.c_str(), 0, &offset, &size) && offset <= length &&
        size <= length - offset) {
      results[index] = static_cast<const uint8_t*>(image) + offset;
      ++found;
    } else {
      results[index] = nullptr;
      FAULT("cmn/locatbig", "BIG_locatemany - FILE NOT FOUND '%s'\n", name.c_str());
    }
    ++index;
    start = comma + 1;
  }
  return found;
}
