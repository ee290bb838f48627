// The library's three roads to the user: the host's non-modal "Error" box,
// the listing window, and standard output.
#pragma once

#include <string_view>

namespace kx {

// The longest text the error box shows; longer messages are cut here.
inline constexpr std::size_t error_box_limit = 132;

// Shows `message` (or, when it is null or empty, the host's text for `code`)
// in the box titled "Error". Returns `code` when a message was given, else the
// status of the host's failure-text lookup.
int show_error(int code, const char* message);
int show_error(int code, std::string_view message);

}  // namespace kx
