// A computer object over an in-memory settings store, for tests of the
// drive list and found volumes.
#pragma once

#include <gtest/gtest.h>

#include "app/app_settings.h"
#include "app/languages.h"
#include "platform/settings_store.h"
#include "storage/local_computer.h"

namespace tl::test {

class ComputerFixture : public ::testing::Test {
protected:
    ComputerFixture() {
        settings.Reset(SettingsDefaults{});
        computer.Log().SetDebugOutput({});
    }
    bool LogHas(const std::string& line) {
        for (const auto& l : computer.Log().Lines())
            if (l == line) return true;
        return false;
    }

    AppSettings settings;
    platform::SettingsStore store;
    CLanguages texts{{}};
    CLocalComputer computer{settings, store, "Software\\Tessa-Loft\\Documents\\1.0", texts,
                            [] { return platform::WindowId{0}; }};
};

}  // namespace tl::test
