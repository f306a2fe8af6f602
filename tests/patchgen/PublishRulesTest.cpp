#include <gtest/gtest.h>

#include "PublishRules.h"

namespace {

struct PathCase {
    std::string path;
    const char* expectedProblem;  // substring of the reason, or nullptr when the path is publishable
};

TEST(PublishRules, PathProblem) {
    const PathCase cases[] = {
        {"data/a.txt", nullptr},
        {"\xE8\xB3\x87\xE6\x96\x99/\xE8\xAA\xAA\xE6\x98\x8E.txt", nullptr},  // 資料/說明.txt
        {".hidden", nullptr},
        {"a..b/c", nullptr},
        {"CONSOLE.txt", nullptr},
        {"COM10", nullptr},
        {"sub/Launcher.exe", nullptr},
        {" leading space", nullptr},
        {"CON.txt", "reserved device name"},
        {"sub/con", "reserved device name"},
        {"nul.tar.gz", "reserved device name"},
        {"Lpt9", "reserved device name"},
        {"COM0.log", "reserved device name"},
        {"LPT\xC2\xB9", "reserved device name"},
        {"conout$", "reserved device name"},
        {"a:b", "colon"},
        {"x?", "'?'"},
        {"a<b", "'<'"},
        {"a>b", "'>'"},
        {"a\"b", "'\"'"},
        {"a*b", "'*'"},
        {"a|b", "'|'"},
        {"back\\slash", "'\\'"},
        {"trail.", "dot or a space"},
        {"trail ", "dot or a space"},
        {"dir./x", "dot or a space"},
        {"..", "'..'"},
        {"a/../b", "'..'"},
        {"tab\tname", "control character"},
        {"del\x7F", "control character"},
        {"bad\xFF", "UTF-8"},
        {"overlong\xC0\xAF", "UTF-8"},
        {"surrogate\xED\xA0\x80", "UTF-8"},
        {"cut\xE8\xB3", "UTF-8"},
    };
    for (const PathCase& c : cases) {
        SCOPED_TRACE(c.path);
        std::string problem = PathProblem(c.path);
        if (!c.expectedProblem) {
            EXPECT_EQ(problem, "");
        } else {
            EXPECT_NE(problem.find(c.expectedProblem), std::string::npos) << problem;
        }
    }
}

TEST(PublishRules, Utf8Validation) {
    const std::pair<std::string, bool> cases[] = {
        {"", true},
        {"plain", true},
        {"\xC3\xA9", true},                  // é
        {"\xF0\x9F\x8E\xAE", true},          // U+1F3AE
        {"\xF4\x8F\xBF\xBF", true},          // U+10FFFF
        {"\xF4\x90\x80\x80", false},         // past U+10FFFF
        {"\xE0\x80\xAF", false},             // overlong
        {"\xC1\xBF", false},                 // overlong
        {"\xED\xBF\xBF", false},             // surrogate
        {"\x80", false},                     // lone continuation
        {"\xC3", false},                     // cut short
        {"\xC3\x28", false},                 // bad continuation
    };
    for (const auto& [text, valid] : cases) {
        SCOPED_TRACE(testing::PrintToString(text));
        EXPECT_EQ(IsValidUtf8(text), valid);
    }
}

TEST(PublishRules, HeaderValues) {
    const std::pair<std::string, const char*> cases[] = {
        {"1.2.3", nullptr},
        {"", nullptr},
        {"\xE4\xBC\xBA\xE6\x9C\x8D\xE5\x99\xA8 up", nullptr},
        {"two\nlines", "line break"},
        {"cr\r", "line break"},
        {"a|b", "'|'"},
        {"bell\x07", "control"},
        {"trailing ", "trim"},
        {"bad\xFF", "UTF-8"},
    };
    for (const auto& [value, expected] : cases) {
        SCOPED_TRACE(testing::PrintToString(value));
        std::string problem = HeaderValueProblem(value);
        if (!expected) {
            EXPECT_EQ(problem, "");
        } else {
            EXPECT_NE(problem.find(expected), std::string::npos) << problem;
        }
    }
}

}  // namespace
