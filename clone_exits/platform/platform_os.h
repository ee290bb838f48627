// What each operating system's platform source (platform_posix.cpp or
// platform_win.cpp) provides to the shared part in platform.cpp.
#pragma once

#include "platform/platform.h"

#include <string>
#include <string_view>

namespace kx::platform::os {

system_interface& real_system_instance();

// Whether the interpreter keeps every file argument of `line` literal; a
// command for which this is false is never handed to it.
bool may_run(const command& c, const std::string& line);

// Whether a program text names a command before the file arguments that
// follow it: a text of nothing but assignments, redirections, cmd's "@" and
// words the shell reads as its own ("!", "{", "if", ...) would make the
// first file argument the command. `cmd` chooses cmd's reading over the shell's.
bool names_a_command(std::string_view text, bool cmd);

// Whether "del" of `path` deletes exactly that one file.
bool may_delete(std::string_view path);

}  // namespace kx::platform::os
