#include "session_regression/text_diff.h"

#include <sstream>
#include <vector>

#include "support/process_harness.h"

namespace vantrel::test {

namespace {

constexpr size_t kContext = 2;

struct Edit {
    char kind;  // ' ' both, '-' expected only, '+' actual only
    std::string line;
};

// Longest common subsequence, then a walk that yields the edits in order.
std::vector<Edit> edits(const std::vector<std::string>& a, const std::vector<std::string>& b) {
    std::vector<std::vector<size_t>> common(a.size() + 1, std::vector<size_t>(b.size() + 1, 0));
    for (size_t i = a.size(); i-- > 0;) {
        for (size_t j = b.size(); j-- > 0;) {
            common[i][j] = a[i] == b[j] ? common[i + 1][j + 1] + 1
                                        : std::max(common[i + 1][j], common[i][j + 1]);
        }
    }
    std::vector<Edit> result;
    size_t i = 0, j = 0;
    while (i < a.size() || j < b.size()) {
        if (i < a.size() && j < b.size() && a[i] == b[j]) {
            result.push_back({' ', a[i++]});
            ++j;
        } else if (i < a.size() && (j == b.size() || common[i + 1][j] >= common[i][j + 1])) {
            result.push_back({'-', a[i++]});
        } else {
            result.push_back({'+', b[j++]});
        }
    }
    return result;
}

bool nearChange(const std::vector<Edit>& all, size_t at) {
    size_t first = at >= kContext ? at - kContext : 0;
    for (size_t k = first; k < all.size() && k <= at + kContext; ++k) {
        if (all[k].kind != ' ') return true;
    }
    return false;
}

}  // namespace

std::string lineDiff(const std::string& expected, const std::string& actual) {
    std::vector<Edit> all = edits(splitLines(expected), splitLines(actual));
    std::ostringstream out;
    bool skipped = false;
    for (size_t k = 0; k < all.size(); ++k) {
        if (!nearChange(all, k)) {
            skipped = true;
            continue;
        }
        if (skipped) out << "  ...\n";
        skipped = false;
        out << all[k].kind << ' ' << all[k].line << '\n';
    }
    return out.str();
}

}  // namespace vantrel::test
