// Whether a window system answers, asked before a toolkit is started: the
// toolkit aborts the process when the display it was told to use does not
// answer, where the program can say so and end in order.
//
// Threading: plain blocking calls, safe from any thread; each opens and
// closes one socket and waits at most kConnectLimit.
#pragma once

#include <chrono>
#include <string>

namespace platform::display {

constexpr std::chrono::seconds kConnectLimit{3};

// An X server accepts a connection at `display`, in the DISPLAY form
// "[unix/][host]:number[.screen]": the local socket of that number when the
// host is empty or "unix", else TCP port 6000 + number on the host.
bool x11ServerReachable(const std::string& display);

// A Wayland compositor accepts a connection at `name`, in the
// WAYLAND_DISPLAY form: an absolute socket path, or a name in `runtimeFolder`
// (XDG_RUNTIME_DIR; an empty folder reaches nothing by name).
bool waylandServerReachable(const std::string& name, const std::string& runtimeFolder);

}  // namespace platform::display
