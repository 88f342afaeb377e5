// The module's interpreter version check.
#include <gtest/gtest.h>

#include "version_check.hpp"

TEST(VersionCheck, AcceptsOnlyTheBuiltMinorVersion) {
    EXPECT_TRUE(halvora::versionMatches("3.6", "3.6.9 (default, Nov  7 2019)"));
    EXPECT_TRUE(halvora::versionMatches("3.11", "3.11.2 (main, Mar 13 2023)"));
    EXPECT_TRUE(halvora::versionMatches("3.6", "3.6"));
    EXPECT_FALSE(halvora::versionMatches("3.6", "3.60.1"));
    EXPECT_FALSE(halvora::versionMatches("3.6", "3.7.1"));
    EXPECT_FALSE(halvora::versionMatches("3.11", "3.1.1"));
    EXPECT_FALSE(halvora::versionMatches("3.11", "2.7"));
}
