// Reads the resources of the built vestrel-tray.exe through the same calls Windows uses on them:
// the icon loader, the activation context built from the manifest, the version API. A resource
// that is present but unreadable to Windows fails here, not on a user's taskbar.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

namespace {

std::wstring g_exePath;

uint16_t ReadLe16(std::span<const std::byte> bytes, size_t at) {
    return static_cast<uint16_t>(std::to_integer<unsigned>(bytes[at]) |
                                 std::to_integer<unsigned>(bytes[at + 1]) << 8);
}

uint32_t ReadLe32(std::span<const std::byte> bytes, size_t at) {
    return ReadLe16(bytes, at) | static_cast<uint32_t>(ReadLe16(bytes, at + 2)) << 16;
}

uint32_t ReadBe32(std::span<const std::byte> bytes, size_t at) {
    uint32_t value = 0;
    for (size_t i = 0; i < 4; ++i) {
        value = value << 8 | std::to_integer<uint32_t>(bytes[at + i]);
    }
    return value;
}

// The program mapped as data only: nothing of it runs, and a broken build cannot crash the test.
class ExeResources : public ::testing::Test {
  protected:
    void SetUp() override {
        module_ = LoadLibraryExW(g_exePath.c_str(), nullptr,
                                 LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
        ASSERT_NE(module_, nullptr) << "cannot map " << g_exePath << ", error " << GetLastError();
    }
    void TearDown() override {
        if (module_ != nullptr) {
            FreeLibrary(module_);
        }
    }

    // Empty when the resource is missing.
    std::span<const std::byte> Resource(LPCWSTR type, LPCWSTR name) const {
        HRSRC found = FindResourceW(module_, name, type);
        if (found == nullptr) {
            return {};
        }
        HGLOBAL loaded = LoadResource(module_, found);
        const void* data = loaded != nullptr ? LockResource(loaded) : nullptr;
        if (data == nullptr) {
            return {};
        }
        return {static_cast<const std::byte*>(data), SizeofResource(module_, found)};
    }

    HMODULE module_ = nullptr;
};

struct IconEntry {
    int size;
    uint32_t bytes;
    uint16_t id;
};

// The icon group as stored in the file: a 6-byte header, then 14-byte entries naming the RT_ICON
// resources that hold the images.
std::vector<IconEntry> ReadIconGroup(std::span<const std::byte> group) {
    std::vector<IconEntry> entries;
    if (group.size() < 6 || ReadLe16(group, 2) != 1) {
        return entries;
    }
    const size_t count = ReadLe16(group, 4);
    for (size_t i = 0; i < count && 6 + (i + 1) * 14 <= group.size(); ++i) {
        const size_t at = 6 + i * 14;
        const int width = std::to_integer<int>(group[at]);
        const int height = std::to_integer<int>(group[at + 1]);
        EXPECT_EQ(width, height) << "entry " << i << " is not square";
        // A byte cannot hold 256: the directory writes 0 for it.
        entries.push_back(
            {width == 0 ? 256 : width, ReadLe32(group, at + 8), ReadLe16(group, at + 12)});
    }
    return entries;
}

TEST_F(ExeResources, IconGroupHoldsEveryTraySize) {
    const auto group = Resource(RT_GROUP_ICON, MAKEINTRESOURCEW(1));
    ASSERT_FALSE(group.empty()) << "no icon group 1";
    ASSERT_EQ(group.size(), 6u + 14u * ReadLe16(group, 4)) << "directory size and count disagree";

    std::vector<int> sizes;
    for (const IconEntry& entry : ReadIconGroup(group)) {
        sizes.push_back(entry.size);
    }
    std::sort(sizes.begin(), sizes.end());
    EXPECT_EQ(sizes, (std::vector<int>{16, 20, 24, 28, 32, 36, 40, 48, 64, 128, 256}));
}

TEST_F(ExeResources, EveryImageIsAnRgbaPngOfItsSizeThatWindowsLoads) {
    constexpr std::array<unsigned char, 8> kPngSignature = {0x89, 'P',  'N',  'G',
                                                            '\r', '\n', 0x1A, '\n'};
    const auto entries = ReadIconGroup(Resource(RT_GROUP_ICON, MAKEINTRESOURCEW(1)));
    ASSERT_FALSE(entries.empty());
    for (const IconEntry& entry : entries) {
        SCOPED_TRACE("icon of " + std::to_string(entry.size) + " px");
        const auto image = Resource(RT_ICON, MAKEINTRESOURCEW(entry.id));
        ASSERT_EQ(image.size(), entry.bytes) << "RT_ICON " << entry.id;
        // Signature, then the IHDR chunk: length, type, width, height, bit depth, colour type.
        ASSERT_GE(image.size(), 8u + 8u + 13u);
        EXPECT_EQ(std::memcmp(image.data(), kPngSignature.data(), kPngSignature.size()), 0);
        EXPECT_EQ(std::memcmp(image.data() + 12, "IHDR", 4), 0);
        EXPECT_EQ(ReadBe32(image, 16), static_cast<uint32_t>(entry.size));
        EXPECT_EQ(ReadBe32(image, 20), static_cast<uint32_t>(entry.size));
        EXPECT_EQ(std::to_integer<int>(image[24]), 8) << "bits per channel";
        EXPECT_EQ(std::to_integer<int>(image[25]), 6) << "colour type: RGB with alpha";

        // The shell gets the icon through this call; a PNG it cannot decode gives no icon at all.
        const std::unique_ptr<std::remove_pointer_t<HICON>, decltype(&DestroyIcon)> icon(
            static_cast<HICON>(LoadImageW(module_, MAKEINTRESOURCEW(1), IMAGE_ICON, entry.size,
                                          entry.size, LR_DEFAULTCOLOR)),
            &DestroyIcon);
        ASSERT_NE(icon, nullptr) << "error " << GetLastError();
        ICONINFO info{};
        ASSERT_TRUE(GetIconInfo(icon.get(), &info));
        BITMAP colour{};
        const bool described =
            info.hbmColor != nullptr && GetObjectW(info.hbmColor, sizeof colour, &colour) != 0;
        DeleteObject(info.hbmColor);
        DeleteObject(info.hbmMask);
        ASSERT_TRUE(described) << "no colour bitmap: a monochrome icon";
        EXPECT_EQ(colour.bmWidth, entry.size);
        EXPECT_EQ(colour.bmBitsPixel, 32);
    }
}

// The activation context is what the loader builds from the manifest when the program starts;
// querying it shows the declarations Windows took from the manifest, not just the text.
class ExeManifest : public ::testing::Test {
  protected:
    void SetUp() override {
        ACTCTXW request{};
        request.cbSize = sizeof request;
        request.dwFlags = ACTCTX_FLAG_RESOURCE_NAME_VALID;
        request.lpSource = g_exePath.c_str();
        request.lpResourceName = CREATEPROCESS_MANIFEST_RESOURCE_ID;
        context_ = CreateActCtxW(&request);
        ASSERT_NE(context_, INVALID_HANDLE_VALUE)
            << "manifest 1 is missing, malformed or names an assembly that does not exist; error "
            << GetLastError();
    }
    void TearDown() override {
        if (context_ != INVALID_HANDLE_VALUE) {
            ReleaseActCtx(context_);
        }
    }

    // 8-byte elements keep the records the call writes aligned.
    std::vector<uint64_t> Query(ULONG infoClass, DWORD index = 0) const {
        SIZE_T needed = 0;
        QueryActCtxW(0, context_, index != 0 ? &index : nullptr, infoClass, nullptr, 0, &needed);
        std::vector<uint64_t> buffer((needed + sizeof(uint64_t) - 1) / sizeof(uint64_t));
        if (needed == 0 || !QueryActCtxW(0, context_, index != 0 ? &index : nullptr, infoClass,
                                         buffer.data(), needed, &needed)) {
            ADD_FAILURE() << "QueryActCtxW(" << infoClass << ") failed, error " << GetLastError();
            buffer.clear();
        }
        return buffer;
    }

    std::wstring Setting(LPCWSTR ns, LPCWSTR name) const {
        std::array<wchar_t, 128> value{};
        SIZE_T written = 0;
        if (!QueryActCtxSettingsW(0, context_, ns, name, value.data(), value.size(), &written)) {
            return L"(absent)";
        }
        return value.data();
    }

    HANDLE context_ = INVALID_HANDLE_VALUE;
};

TEST_F(ExeManifest, DeclaresWindows10) {
    // {8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}
    constexpr GUID kWindows10 = {
        0x8e0f7a12, 0xbfb3, 0x4fe8, {0xb9, 0xa5, 0x48, 0xfd, 0x50, 0xa1, 0x5a, 0x9a}};
    const auto info = Query(CompatibilityInformationInActivationContext);
    ASSERT_FALSE(info.empty());
    // Newer systems add a field to each element, so the record's stride depends on the Windows
    // build; find the id and check the element type that follows it instead.
    const auto* bytes = reinterpret_cast<const std::byte*>(info.data());
    const size_t size = info.size() * sizeof(uint64_t);
    bool declared = false;
    for (size_t at = 4; at + sizeof(GUID) + 4 <= size && !declared; at += 4) {
        ACTCTX_COMPATIBILITY_ELEMENT_TYPE type{};
        std::memcpy(&type, bytes + at + sizeof(GUID), sizeof type);
        declared = std::memcmp(bytes + at, &kWindows10, sizeof(GUID)) == 0 &&
                   type == ACTCTX_COMPATIBILITY_ELEMENT_TYPE_OS;
    }
    EXPECT_TRUE(declared) << "no supportedOS entry for Windows 10";
}

TEST_F(ExeManifest, AsksForPerMonitorDpiWithFallbacks) {
    EXPECT_EQ(Setting(L"http://schemas.microsoft.com/SMI/2016/WindowsSettings", L"dpiAwareness"),
              L"PerMonitorV2, PerMonitor");
    EXPECT_EQ(Setting(L"http://schemas.microsoft.com/SMI/2005/WindowsSettings", L"dpiAware"),
              L"true/pm");
}

TEST_F(ExeManifest, BindsCommonControls6) {
    const auto details = Query(ActivationContextDetailedInformation);
    ASSERT_FALSE(details.empty());
    const auto* context =
        reinterpret_cast<const ACTIVATION_CONTEXT_DETAILED_INFORMATION*>(details.data());
    std::wstring bound;
    // Index 1 is the program itself; the assemblies it depends on follow.
    for (DWORD index = 2; index <= context->ulAssemblyCount; ++index) {
        const auto assembly = Query(AssemblyDetailedInformationInActivationContext, index);
        ASSERT_FALSE(assembly.empty());
        const wchar_t* identity =
            reinterpret_cast<const ACTIVATION_CONTEXT_ASSEMBLY_DETAILED_INFORMATION*>(
                assembly.data())
                ->lpAssemblyEncodedAssemblyIdentity;
        if (identity != nullptr &&
            std::wstring_view(identity).starts_with(L"Microsoft.Windows.Common-Controls,")) {
            bound = identity;
        }
    }
    ASSERT_FALSE(bound.empty()) << "no dependency on the common controls";
    EXPECT_NE(bound.find(L"publicKeyToken=\"6595b64144ccf1df\""), std::wstring::npos) << bound;
    // The system binds the newest 6.0.x it has, so only the major and minor are known here.
    EXPECT_NE(bound.find(L"version=\"6.0."), std::wstring::npos) << bound;
}

TEST_F(ExeManifest, RunsAsInvokerWithoutUiAccess) {
    const auto info = Query(RunlevelInformationInActivationContext);
    ASSERT_FALSE(info.empty());
    const auto* level =
        reinterpret_cast<const ACTIVATION_CONTEXT_RUN_LEVEL_INFORMATION*>(info.data());
    EXPECT_EQ(level->RunLevel, ACTCTX_RUN_LEVEL_AS_INVOKER);
    EXPECT_EQ(level->UiAccess, 0u);
}

TEST(ExeVersion, NamesTheProgramAndTheProjectVersion) {
    const DWORD size = GetFileVersionInfoSizeW(g_exePath.c_str(), nullptr);
    ASSERT_NE(size, 0u) << "no version block, error " << GetLastError();
    std::vector<uint64_t> block((size + sizeof(uint64_t) - 1) / sizeof(uint64_t));
    ASSERT_TRUE(GetFileVersionInfoW(g_exePath.c_str(), 0, size, block.data()));

    void* value = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", &value, &length));
    ASSERT_GE(length, sizeof(VS_FIXEDFILEINFO));
    const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
    EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
    for (auto [ms, ls] : {std::pair{fixed->dwFileVersionMS, fixed->dwFileVersionLS},
                          std::pair{fixed->dwProductVersionMS, fixed->dwProductVersionLS}}) {
        EXPECT_EQ(HIWORD(ms), VESTREL_EXPECTED_VERSION_MAJOR);
        EXPECT_EQ(LOWORD(ms), VESTREL_EXPECTED_VERSION_MINOR);
        EXPECT_EQ(HIWORD(ls), VESTREL_EXPECTED_VERSION_PATCH);
        EXPECT_EQ(LOWORD(ls), 0);
    }

    // Explorer looks the strings up under the language and code page listed here.
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", &value, &length));
    ASSERT_GE(length, 4u);
    const auto* translation = static_cast<const WORD*>(value);
    EXPECT_EQ(translation[0], 0x0409);
    EXPECT_EQ(translation[1], 1200);

    const std::wstring version = std::to_wstring(VESTREL_EXPECTED_VERSION_MAJOR) + L"." +
                                 std::to_wstring(VESTREL_EXPECTED_VERSION_MINOR) + L"." +
                                 std::to_wstring(VESTREL_EXPECTED_VERSION_PATCH);
    const struct {
        const wchar_t* name;
        std::wstring expected;
    } kStrings[] = {
        {L"FileDescription", L"Vestrel tray companion"},
        {L"ProductName", L"Vestrel"},
        {L"FileVersion", version},
        {L"ProductVersion", version},
        {L"OriginalFilename", L"vestrel-tray.exe"},
        {L"InternalName", L"vestrel-tray"},
    };
    for (const auto& [name, expected] : kStrings) {
        const std::wstring path = std::wstring(L"\\StringFileInfo\\040904b0\\") + name;
        const bool found = VerQueryValueW(block.data(), path.c_str(), &value, &length);
        const std::wstring actual = found ? static_cast<const wchar_t*>(value) : L"(absent)";
        EXPECT_EQ(actual, expected) << path;
    }
}

}  // namespace

// Not gtest_main: the program under test is named on the command line, which InitGoogleTest leaves
// in argv once it has taken out its own options.
int wmain(int argc, wchar_t** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: resources_test [gtest options] path\\to\\vestrel-tray.exe\n");
        return 2;
    }
    g_exePath = argv[1];
    return RUN_ALL_TESTS();
}
