// quillon's windowed start: the window when the program is given no command.
#pragma once

class QWidget;

// Opens the main window and runs until it closes; returns the exit status. Without a graphical
// display it says so, names the commands and returns 1. `started`, when given, is called with
// the window once it has been shown.
int window_main(int argc, char** argv, void (*started)(QWidget* window) = nullptr);

// The runtime's fault report in the window's error box, before the program ends. A fault of a
// file or timer thread waits for the box on the window's thread, for a while: a window thread
// that never comes back must not keep the process alive.
void window_abortbox(const char* title, const char* text);
