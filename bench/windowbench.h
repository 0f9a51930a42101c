#pragma once

namespace bench {

// AddChat of `lines` 40-character lines into the window's log, offscreen.
// Needs a QApplication.
bool runLog(int lines);
// The same with an event-loop turn after every line, then until the newest
// line is shown.
bool runLogTurns(int lines);
// Process start to first paint of the window, through tavix_window_probe,
// and its resident memory idle and after `lines` log lines: offscreen, then
// on X11 under an Xvfb of its own (not in smoke mode). Needs a
// QCoreApplication.
bool runStartup(int runs, int lines, bool smoke);
// CPU time of a window sitting idle in a room; needs a QCoreApplication.
bool runIdle(int seconds);

} // namespace bench
