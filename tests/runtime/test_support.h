// Shared by the runtime tests: a fresh registry folder for every test.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "platform/com_ptr.h"
#include "platform/win.h"

// Points DV_REGISTRY_DIR at a new empty folder for the duration of one test
// and removes it afterwards.
class FreshRegistry : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/dvrt-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        folder = pattern;
        setenv("DV_REGISTRY_DIR", folder.c_str(), 1);
    }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::remove_all(folder, ec);
    }
    std::string folder;
};
