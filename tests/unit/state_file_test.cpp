#include "companion/state_file.h"

#include "core/profile_file.h"
#include "test_support.h"

namespace {

class ReadProfileValueTest : public LogicTest {};

TEST_F(ReadProfileValueTest, GivesEmptyTextForAnythingMissing) {
    const std::wstring& path = options.statePath;
    const StateFile stateFile(path);
    EXPECT_EQ(ReadProfileValue(path, L"state", L"pid"), L"");  // no file

    WriteStateFile(
        {{L"state",
          {{L"pid", L"12"}, {L"label_title", L"Vestrel \x2014 \x05E9\x05DC\x05D5\x05DD"}}}});
    EXPECT_EQ(ReadProfileValue(path, L"state", L"pid"), L"12");
    EXPECT_EQ(ReadProfileValue(path, L"state", L"missing"), L"");
    EXPECT_EQ(ReadProfileValue(path, L"other", L"pid"), L"");
    EXPECT_EQ(stateFile.ReadLabel(L"title"), L"Vestrel \x2014 \x05E9\x05DC\x05D5\x05DD");

    const fake::Call read = fake->CallsNamed("GetPrivateProfileStringW").back();
    EXPECT_EQ(read.Text("section"), L"state");
    EXPECT_EQ(read.Text("key"), L"label_title");
    EXPECT_EQ(read.Text("defaultValue"), L"");
    EXPECT_EQ(read.Text("path"), path);
    EXPECT_EQ(read.Number("size"), 4096u);
}

TEST_F(ReadProfileValueTest, CutsLongValuesAt4095Characters) {
    std::wstring longValue(5000, L'v');
    longValue[4094] = L'x';
    longValue[4095] = L'y';
    WriteStateFile({{L"state", {{L"label_title", longValue}}}});
    const std::wstring value = StateFile(options.statePath).ReadLabel(L"title");
    ASSERT_EQ(value.size(), 4095u);
    EXPECT_EQ(value.back(), L'x');
}

}  // namespace
