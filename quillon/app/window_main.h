// quillon's windowed start: the window when the program is given no command.
#pragma once

class QWidget;

// Opens the main window and runs until it closes; returns the exit status. Without a graphical
// display it says so, names the commands and returns 1. `started`, when given, is called with
// the window once it has been shown.
int window_main(int argc, char** argv, void (*started)(QWidget* window) = nullptr);
