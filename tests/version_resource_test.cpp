// The version information Windows shows in the properties of each file we ship.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include <windows.h>

namespace {

std::string built_file(const char* variable) {
    const char* path = std::getenv(variable);
    std::string result = path ? path : "";
    if (!result.empty() && result[0] == '/') result = "Z:" + result;  // Wine maps Z: to /
    return result;
}

struct version_case {
    const char* variable;
    DWORD file_type;
    const char* file_name;
};

class VersionResource : public ::testing::TestWithParam<version_case> {};

TEST_P(VersionResource, NamesPublisherTitleAndVersion) {
    const std::string path = built_file(GetParam().variable);
    ASSERT_FALSE(path.empty()) << GetParam().variable;
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(path.c_str(), &ignored);
    ASSERT_GT(size, 0u) << path;
    std::vector<char> data(size);
    ASSERT_TRUE(GetFileVersionInfoA(path.c_str(), 0, size, data.data()));

    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueA(data.data(), "\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
    EXPECT_EQ(fixed->dwFileType, GetParam().file_type);
    EXPECT_EQ(fixed->dwFileVersionMS, MAKELONG(0, 1));  // 1.0
    EXPECT_EQ(fixed->dwFileVersionLS, MAKELONG(0, 2));  // .2.0
    EXPECT_EQ(fixed->dwProductVersionMS, fixed->dwFileVersionMS);
    EXPECT_EQ(fixed->dwProductVersionLS, fixed->dwFileVersionLS);

    auto text = [&](const char* name) {
        char* value = nullptr;
        UINT chars = 0;
        const std::string key = std::string("\\StringFileInfo\\040904B0\\") + name;
        if (!VerQueryValueA(data.data(), key.c_str(), reinterpret_cast<void**>(&value), &chars)) return std::string();
        return std::string(value);
    };
    EXPECT_EQ(text("CompanyName"), "Ivel Tarsum");
    EXPECT_EQ(text("FileDescription"), "VasaQuelto3D 1.0.2a");
    EXPECT_EQ(text("FileVersion"), "1.0.2");
    EXPECT_EQ(text("ProductVersion"), "1.0.2");
    EXPECT_EQ(text("OriginalFilename"), GetParam().file_name);
}

INSTANTIATE_TEST_SUITE_P(ShippedFiles, VersionResource,
                         ::testing::Values(version_case{"QUELTO_PLUGIN_DLL", VFT_DLL, "VasaQuelto3D.dll"},
                                           version_case{"QUELTO_CONTROL_DLL", VFT_DLL, "Quelto3dCtrl.dll"},
                                           version_case{"QUELTO_RUNNER_EXE", VFT_APP, "quelto-runner.exe"}),
                         [](const auto& info) {
                             return std::string(info.param.file_type == VFT_APP ? "Runner"
                                                : info.index == 0             ? "Plugin"
                                                                              : "Control");
                         });

}  // namespace
