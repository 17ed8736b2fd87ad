#include "diagnostics/diagnostics_internal.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

TEST(DiagnosticsCut, KeepsTheFirstLineOfABurst)
{
    char buf[1024];
    auto cut = [&](const std::string &burst) {
        memcpy(buf, burst.data(), burst.size());
        size_t n = diag_cut(buf, burst.size());
        EXPECT_EQ(n, strlen(buf));
        return std::string(buf);
    };
    EXPECT_EQ(cut("a\nb\n"), "a");
    EXPECT_EQ(cut("\nlater"), "");
    EXPECT_EQ(cut("cr stays\r\nx"), "cr stays\r");
    EXPECT_EQ(cut(std::string(1023, 'z')), std::string(1023, 'z'));
}
