#include "diagnostics/diagnostics_internal.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

static std::vector<std::string> split(const std::string &burst)
{
    char buf[1024];
    char *lines[4];
    memcpy(buf, burst.data(), burst.size());
    size_t count = diag_split(buf, burst.size(), lines, 4);
    std::vector<std::string> out;
    for (size_t i = 0; i < count; i++)
        out.push_back(i < 4 ? lines[i] : "<not kept>");
    return out;
}

TEST(DiagnosticsSplit, EveryLineOfABurstIsItsOwnEntry)
{
    using V = std::vector<std::string>;
    EXPECT_EQ(split("auth failed: 401 Unauthorized\ncheck user name and password\n"),
              V({"auth failed: 401 Unauthorized", "check user name and password"}));
    EXPECT_EQ(split("\nlater"), V({"", "later"}));
    EXPECT_EQ(split("cr stays\r\nx"), V({"cr stays\r", "x"}));
    EXPECT_EQ(split(std::string(1023, 'z')), V({std::string(1023, 'z')}));
    EXPECT_EQ(split("a\nb\nc\nd\ne\n"), V({"a", "b", "c", "d", "<not kept>"}));
    EXPECT_EQ(split(""), V());
}

TEST(DiagnosticsBudget, AFloodIsCutAtTwentyLinesASecondAndCounted)
{
    DiagBudget b;
    int logged = 0;
    for (int i = 0; i < 50; i++)
        logged += diag_take(&b, 5000 + i);
    EXPECT_EQ(logged, DIAG_LINES_PER_SECOND);
    EXPECT_EQ(diag_held_back(&b, 5999), 0u);  // reported once the second is over
    EXPECT_EQ(diag_held_back(&b, 6000), 30u);
    EXPECT_EQ(diag_held_back(&b, 7000), 0u);
    EXPECT_TRUE(diag_take(&b, 6001));
}

// What the report keeps of the client's last line: its CR gone, at most
// 200 bytes, never half a character.
TEST(DiagnosticsSaid, ALineCutWhereACharacterBegins)
{
    EXPECT_EQ(said_text("refused\r"), "refused");
    std::string long_line = std::string(199, 'a') + "\xC3\xBC" + "tail";  // "ü" across byte 200
    EXPECT_EQ(said_text(long_line.c_str()), std::string(199, 'a'));
    std::string exact = std::string(198, 'a') + "\xC3\xBC" + "tail";
    EXPECT_EQ(said_text(exact.c_str()), std::string(198, 'a') + "\xC3\xBC");
}
