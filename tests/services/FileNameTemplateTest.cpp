// File-name templates: the documented examples, the bounds of in-place expansion and a
// deterministic fuzz run against a plain reference expansion.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "services/DateAndDirectory.h"
#include "services/FileNameTemplate.h"
#include "services/StationFormats.h"

namespace {

SYSTEMTIME Utc(int year, int month, int day, int hour, int minute, int second = 0) {
    return Moment(year, month, day, hour, minute, second, 0);
}

// A template field between guard bytes that an overflow would change.
struct GuardedField {
    char Before[32];
    char Text[FileNameTemplateSize];
    char After[64];

    explicit GuardedField(const std::string &templateText) {
        std::memset(this, 0x5A, sizeof *this);
        std::snprintf(Text, sizeof Text, "%s", templateText.c_str());
    }
    bool GuardsIntact() const {
        for (char c : Before)
            if (c != 0x5A)
                return false;
        for (char c : After)
            if (c != 0x5A)
                return false;
        return true;
    }
};

std::string Expand(const std::string &templateText, SYSTEMTIME time) {
    GuardedField field(templateText);
    EXPECT_EQ(ExpandFileNameTemplate(field.Text, time), 0u);
    EXPECT_TRUE(field.GuardsIntact());
    return std::string(field.Text);
}

const SYSTEMTIME December8 = Utc(2026, 12, 8, 14, 30);

}  // namespace

TEST(FileNameTemplate, DocumentedNames) {
    EXPECT_EQ(Expand("lab0<YYJJJHH>_raw.txt", December8), "lab02634214_raw.txt");
    EXPECT_EQ(Expand("lab0<YYJJJHH>_stats.txt", December8), "lab02634214_stats.txt");
    EXPECT_EQ(Expand("lab0<YYJJJHH>_raw.txt", Utc(2024, 2, 29, 5, 10)), "lab02406005_raw.txt");
    EXPECT_EQ(Expand("lab0<YYJJJHH>_raw.txt", Utc(2027, 1, 1, 0, 5)), "lab02700100_raw.txt");
}

TEST(FileNameTemplate, FieldItemsAndWidths) {
    EXPECT_EQ(Expand("<YYYY-MM-DD>", December8), "20261208");
    EXPECT_EQ(Expand("<YYYY>-<MM>-<DD>", December8), "2026-12-08");
    EXPECT_EQ(Expand("<SS>", December8), "");
    EXPECT_EQ(Expand("a<S>b", December8), "ab");
    EXPECT_EQ(Expand("<HHmm>", December8), "1430");
    EXPECT_EQ(Expand("<J>", December8), "342");
    EXPECT_EQ(Expand("<D>", December8), "8");
    EXPECT_EQ(Expand("<DD>", December8), "08");
    EXPECT_EQ(Expand("<Y>", December8), "6");
    EXPECT_EQ(Expand("<YYY>", December8), "026");
    EXPECT_EQ(Expand("<YYYYYY>", December8), "002026");
    EXPECT_EQ(Expand("<JJJJ>", Utc(2026, 1, 1, 0, 0)), "0001");
    EXPECT_EQ(Expand("<mmm>", Utc(2026, 1, 1, 0, 7)), "007");
    // Letters that are no date item, a nested "<" and separators inside a field are dropped.
    EXPECT_EQ(Expand("<x<YY z?>", December8), "26");
}

TEST(FileNameTemplate, TextOutsideFields) {
    EXPECT_EQ(Expand("plain_name.txt", December8), "plain_name.txt");
    EXPECT_EQ(Expand("a\tb\x01"
                     "c\x7f"
                     "d\r\n",
                     December8),
              "abcd");
    EXPECT_EQ(Expand("YYJJJ>", December8), "YYJJJ>");
    EXPECT_EQ(Expand("", December8), "");
}

TEST(FileNameTemplate, OpenEndings) {
    EXPECT_EQ(Expand("name<", December8), "name");
    EXPECT_EQ(Expand("name<YY", December8), "name26");
    EXPECT_EQ(Expand("x<HH.txt", December8), "x14");
    // An unclosed single J yields one character more than it occupies.
    EXPECT_EQ(Expand("<J", December8), "342");
}

TEST(FileNameTemplate, NullTextIsRefused) {
    EXPECT_EQ(ExpandFileNameTemplate(nullptr, December8), 1006u);
    EXPECT_EQ(ExpandFileNameTemplateNow(nullptr), 1006u);
}

TEST(FileNameTemplate, NowUsesTheCurrentUtcTime) {
    SYSTEMTIME before, after;
    GetSystemTime(&before);
    char text[FileNameTemplateSize] = "<YYYY><MM><DD>";
    ASSERT_EQ(ExpandFileNameTemplateNow(text), 0u);
    GetSystemTime(&after);
    char first[16], last[16];
    std::snprintf(first, sizeof first, "%04d%02d%02d", before.wYear, before.wMonth, before.wDay);
    std::snprintf(last, sizeof last, "%04d%02d%02d", after.wYear, after.wMonth, after.wDay);
    EXPECT_TRUE(std::string(text) == first || std::string(text) == last) << text;
}

// Short runs of alternating letters yield more than they occupy; the result is cut to 259.
TEST(FileNameTemplate, OverlongResultsAreCutToTheField) {
    std::string growing = "<";
    for (int i = 0; i < 128; ++i)
        growing += "JM";
    growing += "J>";
    ASSERT_EQ(growing.size(), 259u);
    const std::string result = Expand(growing, December8);
    ASSERT_EQ(result.size(), 259u);
    for (size_t i = 0; i < result.size(); ++i)
        ASSERT_EQ(result[i], "34212"[i % 5]) << i;

    // 257 plain characters and an unclosed "<J": 260 characters of result, cut to 259.
    const std::string edge = std::string(257, 'a') + "<J";
    ASSERT_EQ(edge.size(), 259u);
    EXPECT_EQ(Expand(edge, December8), std::string(257, 'a') + "34");

    // Growth inside a closed field near the end of the field is cut the same way.
    EXPECT_EQ(Expand(std::string(250, 'a') + "<JMJM>", December8), std::string(250, 'a') + "342123421");
}

// A template field that holds no terminator is read up to its last character.
TEST(FileNameTemplate, UnterminatedFieldIsReadWithinItsBounds) {
    GuardedField field("");
    std::memset(field.Text, 'q', sizeof field.Text);
    ASSERT_EQ(ExpandFileNameTemplate(field.Text, December8), 0u);
    EXPECT_TRUE(field.GuardsIntact());
    EXPECT_EQ(std::string(field.Text), std::string(FileNameTemplateSize - 1, 'q'));
}

namespace {

// The expansion written plainly, without bounds, for comparison.
std::string Reference(const std::string &text, SYSTEMTIME time) {
    std::string out;
    size_t i = 0;
    while (i < text.size()) {
        const unsigned char c = static_cast<unsigned char>(text[i++]);
        if (c < 0x20 || c == 0x7F)
            continue;
        if (c != '<') {
            out += static_cast<char>(c);
            continue;
        }
        while (i < text.size() && text[i] != '>') {
            const char letter = text[i];
            size_t run = 1;
            while (i + run < text.size() && text[i + run] == letter)
                ++run;
            long value = -1;
            switch (letter) {
                case 'Y': {
                    long modulus = 1;
                    for (size_t k = 0; k < run && k < 9; ++k)
                        modulus *= 10;
                    value = time.wYear % modulus;
                    break;
                }
                case 'M':
                    value = time.wMonth;
                    break;
                case 'D':
                    value = time.wDay;
                    break;
                case 'J':
                    value = DayOfYear(time);
                    break;
                case 'H':
                    value = time.wHour;
                    break;
                case 'm':
                    value = time.wMinute;
                    break;
                case 'S':
                    value = -2;
                    break;
                default:
                    break;
            }
            if (value == -1) {
                ++i;
                continue;
            }
            if (value >= 0) {
                std::string digits = std::to_string(value);
                if (digits.size() < run)
                    digits.insert(0, run - digits.size(), '0');
                out += digits;
            }
            i += run;
        }
        if (i < text.size())
            ++i;  // the closing ">"
    }
    return out.substr(0, FileNameTemplateSize - 1);
}

}  // namespace

TEST(FileNameTemplate, RandomTemplatesStayBoundedAndMatchTheReference) {
    std::mt19937 random(20261208);
    const std::string alphabet = "<<<>>YYMMDDJJJHHmmSSxz-_.09\t\x7f";
    std::uniform_int_distribution<int> pick(0, static_cast<int>(alphabet.size()) - 1);
    std::uniform_int_distribution<int> size(0, FileNameTemplateSize - 1);
    std::uniform_int_distribution<int> year(1990, 2100), month(1, 12), day(1, 28), hour(0, 23), minute(0, 59);
    for (int round = 0; round < 20000; ++round) {
        std::string text;
        const int length = size(random);
        for (int i = 0; i < length; ++i)
            text += alphabet[pick(random)];
        const SYSTEMTIME time = Utc(year(random), month(random), day(random), hour(random), minute(random));
        GuardedField field(text);
        ASSERT_EQ(ExpandFileNameTemplate(field.Text, time), 0u);
        ASSERT_TRUE(field.GuardsIntact()) << text;
        ASSERT_NE(std::memchr(field.Text, '\0', sizeof field.Text), nullptr) << text;
        ASSERT_EQ(std::string(field.Text), Reference(text, time)) << text;
    }
}
