// A test fixture with the common runtime initialised and device 0 selected, and the
// runtime uninitialised again after each test.
#pragma once
#include <gtest/gtest.h>

#include "zecm.h"

class CardTest : public ::testing::Test {
protected:
    void SetUp() override {
        zecmUninitialize();
        ASSERT_EQ(zecmInitialize(nullptr), 0u);
        ASSERT_EQ(zecmSetDevice(0), 0u);
    }
    void TearDown() override { zecmUninitialize(); }
};
