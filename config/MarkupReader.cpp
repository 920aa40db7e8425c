#include "MarkupReader.h"

#include <cctype>

#include "CError.h"

namespace {

// The machine's states; the numbers are those of its state variable.
enum State : int {
    kBeforeTag = 0,
    kAfterOpen = 1,
    kStartName = 2,
    kBetweenAttributes = 3,
    kAttributeName = 4,
    kAfterEquals = 6,
    kValue = 7,
    kAfterSlash = 10,
    kAfterAttributeName = 11,
    kEndTagOpen = 100,
    kEndName = 101,
    kAfterEndName = 102,
};

// Character tests follow the process's LC_CTYPE locale; a negative char would
// be undefined behaviour for them.
bool IsSpace(unsigned char c) {
    return std::isspace(c) != 0;
}
bool IsLetter(unsigned char c) {
    return std::isalpha(c) != 0;
}

}  // namespace

MarkupTag MarkupReader::ReadTag() {
    MarkupTag tag;
    if (current == end) return tag;
    tagStart = current;

    std::string attributeName;
    std::string attributeValue;
    int state = kBeforeTag;
    // Running out of text returns the tag as far as it got: a start tag gets
    // its kind only on ">", an end tag already on the "/".
    while (current != end) {
        const unsigned char c = static_cast<unsigned char>(*current++);
        switch (state) {
            case kBeforeTag:
                if (IsSpace(c)) break;
                if (c != '<') return tag;
                state = kAfterOpen;
                break;

            case kAfterOpen:
                if (IsSpace(c)) break;
                if (IsLetter(c)) {
                    tag.name.assign(1, static_cast<char>(c));
                    state = kStartName;
                } else if (c == '/') {
                    tag.kind = MarkupTag::kEnd;
                    tag.closed = true;
                    state = kEndTagOpen;
                } else {
                    return tag;
                }
                break;

            // A name ends at its first other character, which the state after
            // the name then judges: each name state falls through to it.
            case kStartName:
                if (IsLetter(c)) {
                    tag.name.push_back(static_cast<char>(c));
                    break;
                }
                state = kBetweenAttributes;
                [[fallthrough]];
            case kBetweenAttributes:
                if (IsSpace(c)) break;
                if (c == '>') {
                    tag.kind = MarkupTag::kStart;
                    return tag;
                }
                if (c == '/') {
                    tag.closed = true;
                    state = kAfterSlash;
                } else if (IsLetter(c)) {
                    attributeName.assign(1, static_cast<char>(c));
                    state = kAttributeName;
                } else {
                    return tag;
                }
                break;

            case kAttributeName:
                if (IsLetter(c)) {
                    attributeName.push_back(static_cast<char>(c));
                    break;
                }
                state = kAfterAttributeName;
                [[fallthrough]];
            case kAfterAttributeName:
                if (IsSpace(c)) break;
                if (c != '=') return tag;
                state = kAfterEquals;
                break;

            case kAfterEquals:
                if (IsSpace(c)) break;
                if (c != '\'') return tag;
                attributeValue.clear();
                state = kValue;
                break;

            case kValue:
                if (c != '\'') {
                    attributeValue.push_back(static_cast<char>(c));
                    break;
                }
                // emplace leaves an existing entry alone: the first value stands.
                tag.attributes.emplace(attributeName, attributeValue);
                state = kBetweenAttributes;
                break;

            case kAfterSlash:
                if (IsSpace(c)) break;
                if (c == '>') tag.kind = MarkupTag::kStart;
                return tag;

            case kEndTagOpen:
                if (IsSpace(c)) break;
                if (!IsLetter(c)) {
                    tag.kind = MarkupTag::kNone;
                    return tag;
                }
                tag.name.assign(1, static_cast<char>(c));
                state = kEndName;
                break;

            case kEndName:
                if (IsLetter(c)) {
                    tag.name.push_back(static_cast<char>(c));
                    break;
                }
                state = kAfterEndName;
                [[fallthrough]];
            case kAfterEndName:
                if (IsSpace(c)) break;
                if (c != '>') tag.kind = MarkupTag::kNone;
                return tag;

            default:
                ThrowError(L"state is wild");
        }
    }
    return tag;
}
