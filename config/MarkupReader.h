// Splits configuration text into tags, one per ReadTag. The reader knows no
// element names and raises no syntax errors: a malformed tag comes back with
// kind none and the grammar decides what that means.
#pragma once

#include <cstdint>
#include <map>
#include <string>

struct MarkupTag {
    static constexpr std::int32_t kNone = 0;
    static constexpr std::int32_t kStart = 1;
    static constexpr std::int32_t kEnd = 2;

    std::int32_t kind = kNone;
    std::string name;
    // Names are unique; a repeated attribute keeps its first value.
    std::map<std::string, std::string> attributes;
    // True for a self-closing start tag and for every end tag.
    bool closed = false;
};

// A cursor over text that the caller owns and keeps alive; nothing is copied.
class MarkupReader {
public:
    MarkupReader(const char *begin, const char *end) : current(begin), end(end), tagStart(begin) {}

    MarkupTag ReadTag();
    // Back to the start of the most recent tag, so that ReadTag reads it again.
    void Rewind() { current = tagStart; }

    const char *Position() const { return current; }

private:
    const char *current;
    const char *end;
    const char *tagStart;
};
