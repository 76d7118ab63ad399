#include "session/session_file.h"

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <sstream>

namespace vantrel::session {

namespace {

constexpr unsigned long kMostRepeats = 1u << 20;

std::string trim(const std::string& text) {
    size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) return "";
    size_t last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

// The N of "HH*N" and "@repeat N": decimal digits only, 1 to kMostRepeats;
// 0 for anything else.
unsigned long repeatCount(const std::string& digits) {
    if (digits.empty() || !std::isdigit(static_cast<unsigned char>(digits[0]))) return 0;
    char* end = nullptr;
    unsigned long count = strtoul(digits.c_str(), &end, 10);
    return *end == '\0' && count <= kMostRepeats ? count : 0;
}

// "HH" or "HH*N" appended to `bytes`; false when the token is neither.
bool appendToken(const std::string& token, Bytes* bytes) {
    if (token.size() < 2 || !std::isxdigit(static_cast<unsigned char>(token[0])) ||
        !std::isxdigit(static_cast<unsigned char>(token[1]))) {
        return false;
    }
    uint8_t byte = static_cast<uint8_t>(std::stoi(token.substr(0, 2), nullptr, 16));
    unsigned long count = 1;
    if (token.size() > 2) {
        count = token[2] == '*' ? repeatCount(token.substr(3)) : 0;
        if (count == 0) return false;
    }
    bytes->insert(bytes->end(), count, byte);
    return true;
}

std::vector<std::string> splitWords(const std::string& text) {
    std::vector<std::string> words;
    std::istringstream stream(text);
    std::string word;
    while (stream >> word) words.push_back(word);
    return words;
}

// "55 4D 00", "41*3": upper- or lower-case pairs, blanks between them;
// nullopt on anything else.
std::optional<Bytes> parseHexLine(const std::string& text) {
    Bytes bytes;
    std::vector<std::string> tokens = splitWords(text);
    if (tokens.empty()) return std::nullopt;
    for (const std::string& token : tokens) {
        if (!appendToken(token, &bytes)) return std::nullopt;
    }
    return bytes;
}

// "50ms", "2s", "1.5s"; nullopt on anything else.
std::optional<Millis> parseDelay(const std::string& text) {
    if (text.empty() || !std::isdigit(static_cast<unsigned char>(text[0]))) return std::nullopt;
    char* end = nullptr;
    double amount = strtod(text.c_str(), &end);
    std::string unit = end;
    if (unit == "ms") return Millis(std::llround(amount));
    if (unit == "s") return Millis(std::llround(amount * 1000.0));
    return std::nullopt;
}

// Reads a file line by line into a Session; each call returns "" or the
// reason the line was refused.
class Parser {
  public:
    std::string take(const std::string& rawLine);
    std::string finish() const;
    Session session;

  private:
    enum class Section { Header, Answer, Stream };

    std::string headerField(const std::string& comment);
    std::string knownField(const std::string& key, const std::string& value);
    std::string directive(const std::vector<std::string>& words);
    std::string bytesLine(const std::string& text);

    Section section_ = Section::Header;
    bool sawArgs_ = false;
    bool sawStream_ = false;
    unsigned long repeatNext_ = 1;  // @repeat N: the next stream line N times over
};

std::string Parser::take(const std::string& rawLine) {
    std::string line = trim(rawLine);
    if (line.empty()) return "";
    if (line[0] == '#') return section_ == Section::Header ? headerField(line.substr(1)) : "";
    line = trim(line.substr(0, line.find('#')));
    if (line[0] == '@') return directive(splitWords(line));
    return bytesLine(line);
}

std::string Parser::headerField(const std::string& comment) {
    std::string text = trim(comment);
    size_t colon = text.find(':');
    if (colon == std::string::npos || colon == 0) return "";  // a plain comment
    std::string key = text.substr(0, colon);
    for (char c : key) {
        if (!std::islower(static_cast<unsigned char>(c)) && c != '-') return "";
    }
    std::string value = trim(text.substr(colon + 1));
    session.header[key] = value;
    return knownField(key, value);
}

std::string Parser::knownField(const std::string& key, const std::string& value) {
    if (key == "args") {
        session.args = splitWords(value);
        sawArgs_ = true;
    } else if (key == "property") {
        size_t equals = value.find('=');
        if (equals == std::string::npos || equals == 0) return "property needs KEY=VALUE";
        session.properties.emplace_back(value.substr(0, equals), value.substr(equals + 1));
    } else if (key == "firmware" && value != "unknown") {
        session.firmware = wire::FirmwareVersion::parse(value);
        if (!session.firmware) return "firmware needs X.Y.Z or \"unknown\"";
    } else if (key == "image") {
        if (value != "development" && !wire::FirmwareVersion::parse(value)) {
            return "image needs X.Y.Z or \"development\"";
        }
        session.image = value;
    } else if (key == "time-scale") {
        char* end = nullptr;
        double scale = strtod(value.c_str(), &end);
        if (end == value.c_str() || *end != '\0' || !(scale > 0 && scale <= 1)) {
            return "time-scale needs a number above 0, at most 1";
        }
        session.timeScale = scale;
    }
    return "";
}

std::string Parser::directive(const std::vector<std::string>& words) {
    const std::string& name = words[0];
    bool streamOnly =
        name == "@delay" || name == "@mkfifo" || name == "@write" || name == "@repeat";
    if (streamOnly && section_ != Section::Stream) return name + " outside @stream";
    if (name == "@on") {
        if (words.size() != 2 || words[1].size() != 1) return "@on needs one command letter";
        session.answers.push_back(Answer{static_cast<uint8_t>(words[1][0]), {}});
        section_ = Section::Answer;
    } else if (name == "@stream") {
        if (words.size() != 1) return "@stream takes nothing";
        if (sawStream_) return "a second @stream";
        sawStream_ = true;
        section_ = Section::Stream;
    } else if (name == "@delay") {
        std::optional<Millis> delay = words.size() == 2 ? parseDelay(words[1]) : std::nullopt;
        if (!delay) return "@delay needs a time such as 50ms or 1.5s";
        session.stream.push_back(StreamStep{true, {}, *delay, {}, {}});
    } else if (name == "@mkfifo" || name == "@write") {
        if (words.size() != 2) return name + " needs one path (@write: PATH=TEXT, no blanks)";
        StreamStep step;
        (name == "@mkfifo" ? step.mkfifo : step.write) = words[1];
        session.stream.push_back(step);
    } else if (name == "@repeat") {
        repeatNext_ = words.size() == 2 ? repeatCount(words[1]) : 0;
        if (repeatNext_ == 0) return "@repeat needs a count";
    } else {
        return "unknown directive " + name;
    }
    return "";
}

std::string Parser::bytesLine(const std::string& text) {
    std::optional<Bytes> bytes = parseHexLine(text);
    if (!bytes) return "not hex bytes: " + text;
    if (section_ == Section::Header) return "bytes before @on or @stream";
    if (section_ == Section::Answer) {
        Bytes& block = session.answers.back().bytes;
        block.insert(block.end(), bytes->begin(), bytes->end());
    } else {
        Bytes repeated;
        for (unsigned long i = 0; i < repeatNext_; ++i) {
            repeated.insert(repeated.end(), bytes->begin(), bytes->end());
        }
        repeatNext_ = 1;
        session.stream.push_back(StreamStep{false, std::move(repeated), {}, {}, {}});
    }
    return "";
}

std::string Parser::finish() const {
    if (repeatNext_ != 1) return "@repeat without a line after it";
    return sawArgs_ ? "" : "no \"# args:\" line in the header";
}

}  // namespace

ParseResult parseSession(const std::string& text) {
    Parser parser;
    std::istringstream lines(text);
    std::string line;
    for (int number = 1; std::getline(lines, line); ++number) {
        std::string error = parser.take(line);
        if (!error.empty()) return {std::nullopt, "line " + std::to_string(number) + ": " + error};
    }
    std::string error = parser.finish();
    if (!error.empty()) return {std::nullopt, error};
    return {std::move(parser.session), ""};
}

std::string formatDelay(Millis delay) {
    return "@delay " + std::to_string(delay.count()) + "ms";
}

}  // namespace vantrel::session
