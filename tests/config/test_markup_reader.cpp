#include <gtest/gtest.h>

#include <string>

#include "MarkupReader.h"

namespace {

// Keeps the text alive for the reader, which copies nothing.
struct Text {
    explicit Text(std::string s) : text(std::move(s)), reader(text.data(), text.data() + text.size()) {}
    std::size_t Consumed() const { return static_cast<std::size_t>(reader.Position() - text.data()); }
    // One line per tag: its kind, its name, its attributes in map order, and
    // "/" when closed.
    std::string Read() {
        const MarkupTag tag = reader.ReadTag();
        std::string s = tag.kind == MarkupTag::kStart ? "start" : tag.kind == MarkupTag::kEnd ? "end" : "none";
        if (!tag.name.empty()) s += " " + tag.name;
        for (const auto &attribute : tag.attributes) s += " " + attribute.first + "=" + attribute.second;
        return tag.closed ? s + " /" : s;
    }

    std::string text;
    MarkupReader reader;
};

constexpr std::size_t kAll = ~std::size_t{0};

TEST(MarkupReader, OneTagAndHowMuchItConsumes) {
    const auto expect = [](const std::string &text, const char *tag, std::size_t consumed) {
        Text t(text);
        EXPECT_EQ(t.Read(), tag) << text;
        EXPECT_EQ(t.Consumed(), consumed == kAll ? text.size() : consumed) << text;
    };
    // White space in every allowed place; self-closing forms; attributes
    // in byte-wise order, the first of a repeated one standing.
    expect(" \t\r\n\v\f ", "none", kAll);
    expect("  <TagConfig>rest", "start TagConfig", 13);
    expect("\t<\n SingleReg\r\n name\t=\v'x'\f addr \n= '1'\n/\t>", "start SingleReg addr=1 name=x /", kAll);
    expect(" <\n/\tQueryBlock\r\n>", "end QueryBlock /", kAll);
    expect("<SingleReg name = 'a'addr='1' / >", "start SingleReg addr=1 name=a /", kAll);
    expect("<a x='1' x='2'>", "start a x=1", kAll);
    expect("<a x='1\r\n2' y='<b>\"/' z=''>", "start a x=1\r\n2 y=<b>\"/ z=", kAll);
    // Malformed: consumed up to the offending character, keeping what was collected.
    expect("text<a>", "none", 1);
    expect("<Reg1>", "none Reg", 5);
    expect("<!-- note -->", "none", 2);
    expect("<a x=\"1\">", "none a", 6);
    expect("<a x='1' y>", "none a x=1", 11);
    expect("<a x='1'=>", "none a x=1", 9);
    expect("<a/ x='1'>", "none a /", 5);
    expect("</QueryBlock x='1'>", "none QueryBlock /", 14);
    expect("</a/>", "none a /", 4);
    expect("</>", "none /", 3);
    // The text ends inside a tag: a start tag has no kind yet, an end tag has.
    expect("<a x='1", "none a", kAll);
    expect("<a x='1' /", "none a x=1 /", kAll);
    expect("</TagConfig", "end TagConfig /", kAll);
    expect("</", "end /", kAll);
}

TEST(MarkupReader, SuccessiveTagsAndRewind) {
    Text t("<TagConfig>\n <QueryBlock deviceAddr='1'>\n </QueryBlock>\n</TagConfig>\n<Reg1><b>");
    // Rewind in the middle goes back to the white space before the last tag.
    EXPECT_EQ(t.Read(), "start TagConfig");
    EXPECT_EQ(t.Read(), "start QueryBlock deviceAddr=1");
    const std::size_t after = t.Consumed();
    t.reader.Rewind();
    EXPECT_EQ(t.Consumed(), 11u);
    EXPECT_EQ(t.Read(), "start QueryBlock deviceAddr=1");
    EXPECT_EQ(t.Consumed(), after);
    // A malformed tag is followed by a read from the next character on.
    for (const char *expected :
         {"end QueryBlock /", "end TagConfig /", "none Reg", "none", "start b", "none", "none"}) {
        EXPECT_EQ(t.Read(), expected);
    }
    // At the end no tag is read, and Rewind still goes back to the last one.
    t.reader.Rewind();
    EXPECT_EQ(t.Consumed(), t.text.size() - 3);
    EXPECT_EQ(t.Read(), "start b");
}

}  // namespace
