// The program's icon and the three decorations at the lower left of the window, drawn in code so
// that they stay sharp at every size and scale.
#pragma once

#include <QIcon>
#include <QImage>

QIcon window_programicon();
// `which` 0..2: a note, a puck, a loudspeaker.
QIcon window_decoration(int which);
// The program icon as an image of `size` x `size` (for the installed icon file).
QImage window_programimage(int size);
