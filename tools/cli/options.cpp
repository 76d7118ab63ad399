#include "tools/cli/options.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace vantrel::cli {

namespace {

int refuse(const char* tool, const std::string& problem, void (*usage)(FILE*)) {
    fprintf(stderr, "%s: %s\n", tool, problem.c_str());
    usage(stderr);
    return kStatusUsage;
}

}  // namespace

Option flag(const char* name, bool* on, bool value) {
    return {name, false, [on, value](const char*) { return *on = value, true; }};
}

Option text(const char* name, std::string* value) {
    return {name, true, [value](const char* given) { return *value = given, true; }};
}

Option number(const char* name, double* value, double least) {
    return {name, true, [value, least](const char* given) {
                double parsed = 0;
                if (!parseNumber(given, &parsed) || parsed < least) return false;
                *value = parsed;
                return true;
            }};
}

Option number(const char* name, int* value) {
    return {name, true, [value](const char* given) {
                double parsed = 0;
                if (!parseNumber(given, &parsed)) return false;
                *value = static_cast<int>(parsed);
                return true;
            }};
}

bool parseNumber(const char* text, double* value) {
    char* end = nullptr;
    *value = strtod(text, &end);
    return end != text && *end == '\0' && *value >= 0;
}

std::optional<int> readOptions(int argc, char** argv, const char* tool,
                               const std::vector<Option>& options, void (*usage)(FILE*),
                               const std::function<void(const char*)>& word) {
    for (int i = 1; i < argc; ++i) {
        const char* name = argv[i];
        if (strcmp(name, "-h") == 0 || strcmp(name, "--help") == 0) {
            usage(stdout);
            return 0;
        }
        if (name[0] != '-' && word) {
            word(name);
            continue;
        }
        auto option = std::find_if(options.begin(), options.end(),
                                   [name](const Option& o) { return strcmp(o.name, name) == 0; });
        if (option == options.end())
            return refuse(tool, std::string("unknown option ") + name, usage);
        if (option->takesValue && i + 1 >= argc) {
            return refuse(tool, std::string(name) + " needs a value", usage);
        }
        const char* value = option->takesValue ? argv[++i] : nullptr;
        if (option->take(value)) continue;
        std::string problem = option->expects != nullptr
                                  ? std::string(name) + " takes " + option->expects
                                  : std::string("bad value for ") + name + ": " + value;
        return refuse(tool, problem, usage);
    }
    return std::nullopt;
}

}  // namespace vantrel::cli
