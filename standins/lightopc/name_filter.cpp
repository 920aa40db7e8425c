#include "name_filter.h"

#include <cstddef>
#include <vector>

namespace {

// One character against the bracket expression at pattern[start] (just after
// '['); *end receives the position after the closing ']'. False when malformed.
bool MatchClass(const std::string &pattern, std::size_t start, char c, bool *matched, std::size_t *end) {
    std::size_t k = start;
    bool negate = false;
    if (k < pattern.size() && pattern[k] == '!') {
        negate = true;
        ++k;
    }
    bool found = false;
    bool first = true;
    for (; k < pattern.size() && (pattern[k] != ']' || first); ++k, first = false) {
        if (k + 2 < pattern.size() && pattern[k + 1] == '-' && pattern[k + 2] != ']') {
            if (pattern[k] <= c && c <= pattern[k + 2]) found = true;
            k += 2;
        } else if (pattern[k] == c) {
            found = true;
        }
    }
    if (k >= pattern.size()) return false;
    *matched = found != negate;
    *end = k + 1;
    return true;
}

bool Match(const std::string &name, std::size_t n, const std::string &pattern, std::size_t p) {
    // The position to return to after the last star, for backtracking without recursion.
    std::size_t starPattern = std::string::npos;
    std::size_t starName = 0;
    while (n < name.size() || p < pattern.size()) {
        if (p < pattern.size()) {
            const char w = pattern[p];
            if (w == '*') {
                starPattern = ++p;
                starName = n;
                continue;
            }
            if (n < name.size()) {
                const char c = name[n];
                bool matched = false;
                std::size_t next = p + 1;
                if (w == '?') {
                    matched = true;
                } else if (w == '#') {
                    matched = c >= '0' && c <= '9';
                } else if (w == '[') {
                    if (!MatchClass(pattern, p + 1, c, &matched, &next)) return false;
                } else {
                    matched = w == c;
                }
                if (matched) {
                    ++n;
                    p = next;
                    continue;
                }
            }
        }
        if (starPattern == std::string::npos || starName >= name.size()) return false;
        p = starPattern;
        n = ++starName;
    }
    return true;
}

}  // namespace

bool ValidFilter(const std::string &pattern) {
    for (std::size_t p = 0; p < pattern.size(); ++p) {
        if (pattern[p] != '[') continue;
        bool matched = false;
        std::size_t end = 0;
        if (!MatchClass(pattern, p + 1, 'x', &matched, &end)) return false;
        p = end - 1;
    }
    return true;
}

bool MatchesFilter(const std::string &name, const std::string &pattern) {
    return Match(name, 0, pattern, 0);
}
