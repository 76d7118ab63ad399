// Reading the daemon's service out of an init file (vantrel.rc), so that the
// doctor knows the options init starts it with while the service is stopped.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace vantrel::doctor {

// The arguments after the program of `service NAME PROGRAM ARGS...` in the
// text of an init file: blanks separate words, '#' at the start of a word
// begins a comment, a backslash at the end of a line joins the next one.
// nullopt when no such service is defined (or its line names no program).
std::optional<std::vector<std::string>> serviceArguments(const std::string& text,
                                                         const std::string& name);

}  // namespace vantrel::doctor
