// Sending what has been painted to the display server now, without running the event loop.
#pragma once

namespace vireko {

// Qt writes a repaint's requests into the client's buffer of the display connection, and only
// its event loop sends them on: a program that then waits without taking events would keep
// them until the wait ends. This sends them at once: wl_display_flush on Wayland, xcb_flush on
// X11 (where Qt's backing store already flushes, so it costs nothing). Other platforms
// (offscreen) paint in memory and need nothing.
void flushDisplayConnection();

}  // namespace vireko
