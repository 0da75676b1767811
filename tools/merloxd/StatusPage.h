// The status page merloxd serves at /: one HTML document with its style and script
// inside, compiled into the program, so that it needs no file, no network and no
// other server. Its script asks /status.json every few seconds and shows the cards,
// the watchdog, the checks, pause and safe mode, and a plot of the last ten minutes
// of temperature and humidity.
#pragma once

#include <string_view>

namespace merloxd {

extern const std::string_view kStatusPage;

}  // namespace merloxd
