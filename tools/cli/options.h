// A tool's command line, read against a table of its options. Every tool
// answers -h and --help with its usage on standard output, and names an
// unknown option, a missing value or a bad one on standard error, followed
// by its usage, with status 2.
#pragma once

#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace vantrel::cli {

constexpr int kStatusUsage = 2;

struct Option {
    const char* name;
    bool takesValue;
    // Keeps the value (nullptr for an option without one); false when it is bad.
    std::function<bool(const char* value)> take;
    // What a good value is, for the message on a bad one ("a number of
    // seconds, 0 to 3600"); nullptr: the message shows the bad value.
    const char* expects = nullptr;
};

// An option without a value that sets `*on` to `value`.
Option flag(const char* name, bool* on, bool value = true);
Option text(const char* name, std::string* value);
// A decimal number, not below 0 (or `least`).
Option number(const char* name, double* value, double least = 0);
Option number(const char* name, int* value);

// A value that `parse` reads (a version, a mode); no value from it is a bad one.
template <typename Value, typename Parse>
Option parsed(const char* name, Value* value, Parse parse) {
    return {name, true, [value, parse](const char* given) {
                auto result = parse(given);
                if (result) *value = *result;
                return result.has_value();
            }};
}

// A whole text that is a decimal number, not below 0 (so not NaN either).
bool parseNumber(const char* text, double* value);

// Reads argv[1..] against `options`. Nothing when the tool goes on; else the
// status it ends with: 0 after the usage on standard output, kStatusUsage
// after a line "<tool>: <what was wrong>" and the usage on standard error. A
// word that does not start with '-' goes to `word` when one is given, and is
// unknown otherwise.
std::optional<int> readOptions(int argc, char** argv, const char* tool,
                               const std::vector<Option>& options, void (*usage)(FILE*),
                               const std::function<void(const char*)>& word = {});

}  // namespace vantrel::cli
