#include <gtest/gtest.h>

#include <map>
#include <string>

#include "CError.h"
#include "MarkupReader.h"

namespace {

using Attributes = std::map<std::string, std::string>;

// Keeps the text alive for the reader, which copies nothing.
struct Text {
    explicit Text(std::string s) : text(std::move(s)), reader(text.data(), text.data() + text.size()) {}
    std::size_t Consumed() const { return static_cast<std::size_t>(reader.Position() - text.data()); }

    std::string text;
    MarkupReader reader;
};

MarkupTag ReadOne(const std::string &s) {
    Text t(s);
    return t.reader.ReadTag();
}

TEST(MarkupReader, EmptyOrBlankTextGivesNoTag) {
    for (const char *s : {"", " ", " \t\r\n\v\f "}) {
        Text t(s);
        const MarkupTag tag = t.reader.ReadTag();
        EXPECT_EQ(tag.kind, MarkupTag::kNone) << '"' << s << '"';
        EXPECT_TRUE(tag.name.empty());
        EXPECT_TRUE(tag.attributes.empty());
        EXPECT_FALSE(tag.closed);
        EXPECT_EQ(t.Consumed(), t.text.size());
    }
}

TEST(MarkupReader, StartTagStopsJustAfterItsClosingBracket) {
    Text t("  <TagConfig>rest");
    const MarkupTag tag = t.reader.ReadTag();
    EXPECT_EQ(tag.kind, MarkupTag::kStart);
    EXPECT_EQ(tag.name, "TagConfig");
    EXPECT_TRUE(tag.attributes.empty());
    EXPECT_FALSE(tag.closed);
    EXPECT_EQ(t.Consumed(), 13u);
}

TEST(MarkupReader, WhiteSpaceIsAllowedWhereverTheSyntaxPermitsIt) {
    const MarkupTag a = ReadOne("< TagConfig >");
    EXPECT_EQ(a.kind, MarkupTag::kStart);
    EXPECT_EQ(a.name, "TagConfig");
    EXPECT_FALSE(a.closed);

    const MarkupTag b = ReadOne("\t<\n SingleReg\r\n name\t=\v'x'\f addr \n= '1'\n/\t>");
    EXPECT_EQ(b.kind, MarkupTag::kStart);
    EXPECT_EQ(b.name, "SingleReg");
    EXPECT_TRUE(b.closed);
    EXPECT_EQ(b.attributes, (Attributes{{"addr", "1"}, {"name", "x"}}));

    const MarkupTag c = ReadOne(" <\n/\tQueryBlock\r\n>");
    EXPECT_EQ(c.kind, MarkupTag::kEnd);
    EXPECT_EQ(c.name, "QueryBlock");
    EXPECT_TRUE(c.closed);
}

TEST(MarkupReader, SelfClosingForms) {
    const MarkupTag a = ReadOne("<SingleReg name='T1' addr='0x10'/>");
    EXPECT_EQ(a.kind, MarkupTag::kStart);
    EXPECT_TRUE(a.closed);
    EXPECT_EQ(a.attributes, (Attributes{{"addr", "0x10"}, {"name", "T1"}}));
    EXPECT_EQ(a.attributes.begin()->first, "addr");  // byte-wise order

    const MarkupTag b = ReadOne("<SingleReg name = 'a'addr='1' / >");
    EXPECT_EQ(b.kind, MarkupTag::kStart);
    EXPECT_TRUE(b.closed);
    EXPECT_EQ(b.attributes, (Attributes{{"addr", "1"}, {"name", "a"}}));

    for (const char *s : {"<a/>", "<a />", "<a/ >"}) {
        const MarkupTag tag = ReadOne(s);
        EXPECT_EQ(tag.kind, MarkupTag::kStart) << s;
        EXPECT_EQ(tag.name, "a") << s;
        EXPECT_TRUE(tag.closed) << s;
    }
}

TEST(MarkupReader, RepeatedAttributeKeepsItsFirstValue) {
    EXPECT_EQ(ReadOne("<a x='1' x='2'>").attributes, (Attributes{{"x", "1"}}));
}

TEST(MarkupReader, ValuesHoldEverythingUpToTheNextSingleQuote) {
    EXPECT_EQ(ReadOne("<a x='1\r\n2'>").attributes.at("x"), "1\r\n2");
    EXPECT_EQ(ReadOne("<a x='<b>\"/'>").attributes.at("x"), "<b>\"/");
    const MarkupTag empty = ReadOne("<a x=''>");
    EXPECT_EQ(empty.kind, MarkupTag::kStart);
    EXPECT_EQ(empty.attributes, (Attributes{{"x", ""}}));
}

TEST(MarkupReader, NamesAreCaseSensitiveLetters) {
    EXPECT_EQ(ReadOne("<tagCONFIG>").name, "tagCONFIG");
    EXPECT_EQ(ReadOne("<a B='1'>").attributes, (Attributes{{"B", "1"}}));
}

TEST(MarkupReader, MalformedTagsGiveNoTag) {
    for (const char *s : {"</QueryBlock x='1'>",
                          "<Reg1>",
                          "<a x>",
                          "<!-- note -->",
                          "<?xml version='1.0'?>",
                          "<a x=\"1\">",
                          "<Query_Block>",
                          "<a-b>",
                          "<a:b>",
                          "<a.b>",
                          "<a x_y='1'>",
                          "<ax='1'>",
                          "<a/ x='1'>",
                          "</a/>",
                          "</ a b>",
                          "<>",
                          "< >",
                          "<a x='1'=>",
                          "<a x= 1>",
                          "<1a>",
                          "</1>",
                          "<\xe9t\xe9>"}) {
        EXPECT_EQ(ReadOne(s).kind, MarkupTag::kNone) << s;
    }
}

TEST(MarkupReader, MalformedTagConsumesUpToTheOffendingCharacter) {
    struct Case {
        const char *text;
        std::size_t consumed;
    };
    for (const Case &c : {Case{"text<a>", 1}, Case{"<Reg1>", 5}, Case{"<a x>", 5}, Case{"<!-- note -->", 2},
                          Case{"  <a-b>", 5}, Case{"</QueryBlock x='1'>", 14}, Case{"</>", 3}}) {
        Text t(c.text);
        EXPECT_EQ(t.reader.ReadTag().kind, MarkupTag::kNone) << c.text;
        EXPECT_EQ(t.Consumed(), c.consumed) << c.text;
    }

    // The next read goes on right after the offending character.
    Text t("<Reg1><b>");
    EXPECT_EQ(t.reader.ReadTag().kind, MarkupTag::kNone);
    EXPECT_EQ(t.reader.ReadTag().kind, MarkupTag::kNone);  // starts at ">"
    const MarkupTag b = t.reader.ReadTag();
    EXPECT_EQ(b.kind, MarkupTag::kStart);
    EXPECT_EQ(b.name, "b");
}

TEST(MarkupReader, MalformedTagKeepsWhatItHadCollected) {
    const MarkupTag a = ReadOne("<a x='1' y>");
    EXPECT_EQ(a.kind, MarkupTag::kNone);
    EXPECT_EQ(a.name, "a");
    EXPECT_EQ(a.attributes, (Attributes{{"x", "1"}}));

    const MarkupTag b = ReadOne("</QueryBlock x='1'>");
    EXPECT_EQ(b.kind, MarkupTag::kNone);
    EXPECT_EQ(b.name, "QueryBlock");
    EXPECT_TRUE(b.closed);
}

TEST(MarkupReader, TextEndingInsideAStartTagGivesNoTag) {
    for (const char *s : {"<", "<a", "<a ", "<a x", "<a x=", "<a x='1", "<a x='1'", "<a/", "<a x='1' /"}) {
        Text t(s);
        EXPECT_EQ(t.reader.ReadTag().kind, MarkupTag::kNone) << s;
        EXPECT_EQ(t.Consumed(), t.text.size()) << s;
    }
    // What was collected stays.
    const MarkupTag tag = ReadOne("<a x='1'");
    EXPECT_EQ(tag.name, "a");
    EXPECT_EQ(tag.attributes, (Attributes{{"x", "1"}}));
}

TEST(MarkupReader, TextEndingInsideAnEndTagGivesThatEndTag) {
    for (const char *s : {"</TagConfig", "</TagConfig \r\n", "< / TagConfig"}) {
        const MarkupTag tag = ReadOne(s);
        EXPECT_EQ(tag.kind, MarkupTag::kEnd) << s;
        EXPECT_EQ(tag.name, "TagConfig") << s;
        EXPECT_TRUE(tag.closed) << s;
    }
    for (const char *s : {"</", "< /  "}) {
        const MarkupTag tag = ReadOne(s);
        EXPECT_EQ(tag.kind, MarkupTag::kEnd) << s;
        EXPECT_TRUE(tag.name.empty()) << s;
    }
}

TEST(MarkupReader, ReadsSuccessiveTagsInOrder) {
    Text t("<TagConfig>\n <QueryBlock deviceAddr='1'>\n </QueryBlock>\n</TagConfig>\n");
    const MarkupTag a = t.reader.ReadTag();
    const MarkupTag b = t.reader.ReadTag();
    const MarkupTag c = t.reader.ReadTag();
    const MarkupTag d = t.reader.ReadTag();
    EXPECT_EQ(a.kind, MarkupTag::kStart);
    EXPECT_EQ(a.name, "TagConfig");
    EXPECT_EQ(b.kind, MarkupTag::kStart);
    EXPECT_EQ(b.attributes, (Attributes{{"deviceAddr", "1"}}));
    EXPECT_EQ(c.kind, MarkupTag::kEnd);
    EXPECT_EQ(c.name, "QueryBlock");
    EXPECT_EQ(d.kind, MarkupTag::kEnd);
    EXPECT_EQ(d.name, "TagConfig");
    // The trailing line break is read as a text of white space only.
    EXPECT_EQ(t.reader.ReadTag().kind, MarkupTag::kNone);
    EXPECT_EQ(t.Consumed(), t.text.size());
}

TEST(MarkupReader, RewindRereadsTheSameTagIncludingItsLeadingWhiteSpace) {
    Text t("<a/>\n  <b x='1' y='2'/>  <c>");
    t.reader.ReadTag();
    const std::size_t before = t.Consumed();
    const MarkupTag first = t.reader.ReadTag();
    const std::size_t after = t.Consumed();
    t.reader.Rewind();
    EXPECT_EQ(t.Consumed(), before);
    const MarkupTag second = t.reader.ReadTag();
    EXPECT_EQ(t.Consumed(), after);
    EXPECT_EQ(first.kind, second.kind);
    EXPECT_EQ(first.name, second.name);
    EXPECT_EQ(first.attributes, second.attributes);
    EXPECT_EQ(first.closed, second.closed);
    EXPECT_EQ(second.name, "b");
}

TEST(MarkupReader, RewindAtTheEndGoesBackToTheLastTag) {
    Text t("  <a x='1'/>");
    EXPECT_EQ(t.reader.ReadTag().name, "a");
    // At the end: no tag, and the start of the last tag is kept.
    EXPECT_EQ(t.reader.ReadTag().kind, MarkupTag::kNone);
    EXPECT_EQ(t.reader.ReadTag().kind, MarkupTag::kNone);
    t.reader.Rewind();
    EXPECT_EQ(t.Consumed(), 0u);
    const MarkupTag again = t.reader.ReadTag();
    EXPECT_EQ(again.kind, MarkupTag::kStart);
    EXPECT_EQ(again.attributes, (Attributes{{"x", "1"}}));
}

TEST(MarkupReader, RewindBeforeAnyTagStaysAtTheBeginning) {
    Text t("<a>");
    t.reader.Rewind();
    EXPECT_EQ(t.Consumed(), 0u);
    Text empty("");
    empty.reader.ReadTag();
    empty.reader.Rewind();
    EXPECT_EQ(empty.Consumed(), 0u);
}

}  // namespace
