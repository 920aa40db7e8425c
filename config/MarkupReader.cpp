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
                if (c == '<') {
                    state = kAfterOpen;
                    break;
                }
                return tag;

            case kAfterOpen:
                if (IsSpace(c)) break;
                if (IsLetter(c)) {
                    tag.name.assign(1, static_cast<char>(c));
                    state = kStartName;
                    break;
                }
                if (c == '/') {
                    tag.name.clear();
                    tag.kind = MarkupTag::kEnd;
                    tag.closed = true;
                    state = kEndTagOpen;
                    break;
                }
                return tag;

            case kStartName:
                if (IsLetter(c)) {
                    tag.name.push_back(static_cast<char>(c));
                    break;
                }
                if (IsSpace(c)) {
                    state = kBetweenAttributes;
                    break;
                }
                if (c == '>') {
                    tag.kind = MarkupTag::kStart;
                    return tag;
                }
                if (c == '/') {
                    tag.closed = true;
                    state = kAfterSlash;
                    break;
                }
                return tag;

            case kBetweenAttributes:
                if (IsSpace(c)) break;
                if (c == '>') {
                    tag.kind = MarkupTag::kStart;
                    return tag;
                }
                if (c == '/') {
                    tag.closed = true;
                    state = kAfterSlash;
                    break;
                }
                if (IsLetter(c)) {
                    attributeName.assign(1, static_cast<char>(c));
                    state = kAttributeName;
                    break;
                }
                return tag;

            case kAttributeName:
                if (IsLetter(c)) {
                    attributeName.push_back(static_cast<char>(c));
                    break;
                }
                if (IsSpace(c)) {
                    state = kAfterAttributeName;
                    break;
                }
                if (c == '=') {
                    state = kAfterEquals;
                    break;
                }
                return tag;

            case kAfterAttributeName:
                if (IsSpace(c)) break;
                if (c == '=') {
                    state = kAfterEquals;
                    break;
                }
                return tag;

            case kAfterEquals:
                if (IsSpace(c)) break;
                if (c == '\'') {
                    attributeValue.clear();
                    state = kValue;
                    break;
                }
                return tag;

            case kValue:
                if (c == '\'') {
                    // emplace leaves an existing entry alone: the first value stands.
                    tag.attributes.emplace(attributeName, attributeValue);
                    state = kBetweenAttributes;
                    break;
                }
                attributeValue.push_back(static_cast<char>(c));
                break;

            case kAfterSlash:
                if (IsSpace(c)) break;
                if (c == '>') {
                    tag.kind = MarkupTag::kStart;
                    return tag;
                }
                return tag;

            case kEndTagOpen:
                if (IsSpace(c)) break;
                if (IsLetter(c)) {
                    tag.name.assign(1, static_cast<char>(c));
                    state = kEndName;
                    break;
                }
                tag.kind = MarkupTag::kNone;
                return tag;

            case kEndName:
                if (IsLetter(c)) {
                    tag.name.push_back(static_cast<char>(c));
                    break;
                }
                if (IsSpace(c)) {
                    state = kAfterEndName;
                    break;
                }
                if (c == '>') return tag;
                tag.kind = MarkupTag::kNone;
                return tag;

            case kAfterEndName:
                if (IsSpace(c)) break;
                if (c == '>') return tag;
                tag.kind = MarkupTag::kNone;
                return tag;

            default:
                ThrowError(L"state is wild");
        }
    }
    return tag;
}
