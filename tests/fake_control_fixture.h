// A test fixture that makes the recording fake the viewer's control object,
// as Init would, and checks afterwards that no fake object is left alive.
#pragma once

#include <gtest/gtest.h>

#include "tests/fake_viewer_control.h"
#include "viewer/viewer_state.h"

class FakeControlAsViewer : public ::testing::Test {
protected:
    void SetUp() override {
        CoInitialize(nullptr);
        // A viewer test before this one may have left the plug-in holding its
        // last control, as it does after End; the fake replaces it as a new
        // Init would, releasing it.
        if (control_object) control_object->Release();
        fake_control::reset();
        control_object = fake_control::create();
    }
    void TearDown() override {
        control_object->Release();
        control_object = nullptr;
        VariantClear(&first_argument);
        VariantClear(&second_argument);
        EXPECT_EQ(fake_control::live_objects(), 0);
        CoUninitialize();
    }
};
