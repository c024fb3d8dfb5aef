// The runtime library's reporting: the fault report every runtime fault goes through (it shows
// the message and ends the program unless a filter dismisses it), the print service with its
// named channels and output devices, the current directory, and the archive entry lookup.
#pragma once

#include <cstddef>
#include <cstdint>

struct CRIT;

// ---- Fault report ----

// Returning 0 dismisses the fault: the report returns and the caller goes on.
using FAULT_filter = int (*)(const char* text);
// Returns a critical section that the report enters before showing the fault and leaves after.
using FAULT_lock = CRIT* (*)();
using FAULT_prebox = void (*)();
// Shows the fault to the user (the window installs its "Abort Message" box here).
using FAULT_box = void (*)(const char* title, const char* text);
using FAULT_log = void (*)(const char* title, const char* text);

void FAULT_setfilter(FAULT_filter filter);
void FAULT_setlock(FAULT_lock lock);
void FAULT_setprebox(FAULT_prebox hook);
void FAULT_setbox(FAULT_box box);
void FAULT_setlog(FAULT_log log);
// When on, the title names the source and line of the report instead of "Abort Message".
void FAULT_setsourceswitch(int on);

// Formats the fault (at most 255 characters), writes it on standard error, shows it through the
// box hook and ends the program with exit status 1. Returns only when the filter dismissed the
// fault, or at once while another report is being shown.
void FAULT_report(const char* source, int line, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
#define FAULT(source, ...) FAULT_report(source, __LINE__, __VA_ARGS__)

// ---- Printing ----

enum {
  PRINT_ALL = 0,       // every channel
  PRINT_STANDARD = 1,  // every standard channel
  PRINT_ALERT = 2,
  PRINT_GENERAL = 3,
  PRINT_MEMORY = 4,
  PRINT_CONNECTION = 5,
  PRINT_GRAPHICS = 6,
  PRINT_FILE = 7,
  PRINT_INPUT = 8,
  PRINT_SYSTEM = 9,
  PRINT_3D = 10,
  PRINT_FONT = 11,
  PRINT_CODEC = 12,
  PRINT_MATH = 13,
  PRINT_QVGL = 14,
  PRINT_CAPTURE = 15,
  PRINT_CHANNELS = 32,
};
enum { PRINT_MONO = 0, PRINT_CONSOLE = 1, PRINT_DEBUGGER = 2, PRINT_DEVICES = 3 };

using PRINT_output = void (*)(const char* text, void* user);

// Formats into 256 bytes and hands the text to every enabled device when the channel is enabled.
void PRINT(int channel, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Disables every device and channel, enables "alert" and "console", then applies PRINT_CHANNEL
// and PRINT_DEVICE. Runs by itself on first use; calling it again starts over.
void PRINT_init();
// Naming a channel re-reads PRINT_CHANNEL for it.
void PRINT_setchannelname(int channel, const char* name);
const char* PRINT_channelname(int channel);
// Channel 0 stands for every channel, 1 for every standard channel.
void PRINT_enablechannel(int channel, int on);
int PRINT_channelenabled(int channel);
// Setting a device's output re-reads PRINT_DEVICE for it.
void PRINT_setdevice(int device, PRINT_output output, void* user);
void PRINT_enabledevice(int device, int on);
int PRINT_deviceenabled(int device);

// The mono device's 80 x 25 screen: 4000 bytes of character and attribute per cell.
enum { PRINT_MONO_COLUMNS = 80, PRINT_MONO_ROWS = 25 };
void PRINT_monoscreen(uint8_t out[PRINT_MONO_COLUMNS * PRINT_MONO_ROWS * 2]);
// Tab stops of the mono device, when at least 2 (8 at start).
void PRINT_monotabwidth(int width);

// ---- Current directory ----

void setdirectory(const char* path);
// Fills buffer (512 bytes) with the current directory.
void getdirectory(char* buffer);

// ---- Archive entries ----

// Finds an entry of a BIGF or C0FB archive image of `length` bytes by name (case-insensitive) or,
// with a null name, by its number from 0. Returns the entry's stored name and sets offset and
// size, or returns null with both 0. The entry's data is not checked against the image.
const char* BIG_locateentry(const void* image, size_t length, const char* name, int number, uint32_t* offset,
                            uint32_t* size);
// When on, a miss of BIG_locateentry goes through the fault report (off at start).
void BIG_setreport(int on);
// Looks up each of the comma-separated names and stores the address of its data (null for a
// miss, reported) in results. Returns the number found.
int BIG_locatemany(const void* image, size_t length, const char* names, const void** results);
