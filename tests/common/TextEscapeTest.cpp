#include "common/TextEscape.h"

#include <gtest/gtest.h>

#include <string>

TEST(TextEscape, KeepsValidUtf8AndEscapesEverythingElse)
{
    struct Case {
        const char* what;
        std::string text;
        std::string printed;
    };
    const Case cases[] = {
        {"printable ASCII", "Preset 3 recalled", "Preset 3 recalled"},
        {"two-byte UTF-8", "B\xc3\xbchne 1", "B\xc3\xbchne 1"},
        {"three-byte UTF-8", "\xe2\x82\xac 5", "\xe2\x82\xac 5"},
        {"four-byte UTF-8", "\xf0\x9f\x8e\xb5", "\xf0\x9f\x8e\xb5"},
        {"highest code point", "\xf4\x8f\xbf\xbf", "\xf4\x8f\xbf\xbf"},
        {"first code point after the C1 controls", "\xc2\xa0", "\xc2\xa0"},
        {"a backslash is doubled", "C:\\x41", "C:\\\\x41"},
        {"C0 controls", std::string("a\tb\nc\x1b[2J\0d", 11), "a\\x09b\\x0ac\\x1b[2J\\x00d"},
        {"DEL", "a\x7f", "a\\x7f"},
        {"C1 control NEL", "a\xc2\x85z", "a\\xc2\\x85z"},
        {"C1 control CSI", "\xc2\x9b" "31m", "\\xc2\\x9b31m"},
        {"a lone C1 byte", "a\x9b" "b", "a\\x9bb"},
        {"Latin-1, not UTF-8", "B\xfchne", "B\\xfchne"},
        {"stray continuation byte", "\x80", "\\x80"},
        {"overlong NUL", "\xc0\x80", "\\xc0\\x80"},
        {"overlong three-byte", "\xe0\x80\xaf", "\\xe0\\x80\\xaf"},
        {"UTF-16 surrogate", "\xed\xa0\x80", "\\xed\\xa0\\x80"},
        {"above U+10FFFF", "\xf4\x90\x80\x80", "\\xf4\\x90\\x80\\x80"},
        {"cut off at the end", "ok\xe2\x82", "ok\\xe2\\x82"},
        {"cut off before ASCII", "\xe2\x82z", "\\xe2\\x82z"},
        {"bytes that never start a sequence", "\xf5\xff\xfe", "\\xf5\\xff\\xfe"},
        {"empty", "", ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(escapeForConsole(c.text), c.printed) << c.what;
}
