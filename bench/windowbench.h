#pragma once

namespace bench {

// AddChat of `lines` 40-character lines into the window's log, offscreen.
// Needs a QApplication.
bool runLog(int lines);
// The same with an event-loop turn after every line, then until the newest
// line is shown.
bool runLogTurns(int lines);
// Process start to first paint of the window, through tavix_window_probe.
// Needs a QCoreApplication.
bool runStartup(int runs, bool smoke);
// CPU time of a window sitting idle in a room; needs a QCoreApplication.
bool runIdle(int seconds);

} // namespace bench
