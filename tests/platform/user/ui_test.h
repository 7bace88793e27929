// For the window layer's tests: the machine of the Win32 tests (its virtual
// clock drives timers), and a check after every test that no message box
// came up that the test did not expect, reported with its text.
#pragma once

#include <gtest/gtest.h>

#include "platform/user/script.h"
#include "platform/user/snapshot.h"
#include "platform/user/user.h"
#include "tests/platform/win32/w32_machine.h"

namespace uitest {

class NoStrayMessageBoxes : public ::testing::EmptyTestEventListener {
    // Pictures go into the test machine's folder, gone with it, unless
    // ZAR_TEST_PICTURES names a folder to keep them in.
    void OnTestStart(const ::testing::TestInfo&) override
    {
        const char* keep = std::getenv("ZAR_TEST_PICTURES");
        user::SetPictureFolder(keep && *keep ? std::string(keep) : nt::Machine::Folder() + "/output");
    }
    void OnTestEnd(const ::testing::TestInfo&) override
    {
        for (const auto& box : user::script::TakeUnexpectedMessageBoxes())
            ADD_FAILURE() << "unexpected message box \"" << box.caption << "\": " << box.text;
        user::script::ClearIdleSteps();
    }
};

inline const bool listenerRegistered =
    (::testing::UnitTest::GetInstance()->listeners().Append(new NoStrayMessageBoxes), true);

inline std::string ClassOf(HWND hwnd)
{
    char name[64] = {};
    GetClassNameA(hwnd, name, sizeof name);
    return name;
}

}  // namespace uitest
