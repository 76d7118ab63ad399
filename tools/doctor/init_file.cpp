#include "tools/doctor/init_file.h"

#include <sstream>

namespace vantrel::doctor {

namespace {

void addStatement(const std::string& line, std::vector<std::vector<std::string>>* result) {
    std::istringstream words(line);
    std::vector<std::string> statement;
    for (std::string word; words >> word && word[0] != '#';) statement.push_back(word);
    if (!statement.empty()) result->push_back(statement);
}

// The file's logical lines as words: continuation lines joined, comments
// dropped.
std::vector<std::vector<std::string>> statements(const std::string& text) {
    std::vector<std::vector<std::string>> result;
    std::istringstream lines(text);
    std::string joined;
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        bool continued = !line.empty() && line.back() == '\\';
        joined += continued ? line.substr(0, line.size() - 1) + " " : line;
        if (continued) continue;
        addStatement(joined, &result);
        joined.clear();
    }
    addStatement(joined, &result);  // a last line that asked for a next one
    return result;
}

}  // namespace

std::optional<std::vector<std::string>> serviceArguments(const std::string& text,
                                                         const std::string& name) {
    for (const std::vector<std::string>& words : statements(text)) {
        if (words.size() < 3 || words[0] != "service" || words[1] != name) continue;
        return std::vector<std::string>(words.begin() + 3, words.end());
    }
    return std::nullopt;
}

}  // namespace vantrel::doctor
