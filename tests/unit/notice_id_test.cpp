#include "memory/seen_file.h"

#include "test_support.h"

#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

class NoticeIdTest : public LogicTest {};

// Wine keeps a profile file's lines in memory, as the last write left them, and trusts that copy
// once the file has gone 2.1 s unchanged; a younger file is parsed again at every call. The
// program reads the seen file some ten seconds after writing it, so a mark must be found both
// ways: in the copy kept in memory, and in the file's text parsed afresh.
constexpr DWORD kUntilMemoryCopyIsTrusted = 2400;
// A process keeps ten profile files in memory; more would push the first ones out.
constexpr std::size_t kFilesKeptInMemory = 10;

std::wstring ReadMark(const std::wstring& path, const std::wstring& id) {
    wchar_t value[16] = {};
    ::GetPrivateProfileStringW(L"shown", id.c_str(), L"", value, 16, path.c_str());
    return value;
}

struct IdCase {
    const char* name;
    std::wstring id;
    // The Windows profile reader takes a line that begins so as a section or a comment, even
    // where Wine's reader finds the key.
    bool windowsReaderMisreads = false;
    // The key is stored with its leading blanks dropped: its mark reads back, but it is the mark
    // of another id too (" a" and "a"), so one notice would hold the other back.
    bool sharesAnotherKey = false;
};

TEST_F(NoticeIdTest, AcceptsExactlyTheIdsWhoseMarkReadsBack) {
    const IdCase cases[] = {
        {"plain", L"notice-42"},
        {"\"=\" inside", L"a=b"},
        {"blanks before", L" \ta", false, true},
        {"space after", L"a "},
        {"tab after", L"a\t"},
        {"end-of-file mark after", L"a\x1A"},
        {"blanks only", L" ", false, true},
        {"line feed inside", L"a\nb"},
        {"carriage return inside", L"a\rb"},
        {"\"[\" first", L"[a", true},
        {"\"[\" first, \"]\" later", L"[a]b"},
        {"blank, then a section line", L" [a]"},
        {"\";\" first", L";a", true},
        {"\"#\" first", L"#a"},
        {"brackets inside", L"a[b]c"},
        {"non-ASCII", L"\u00FCber-\u65E5\u672C"},
        {"no-break spaces at both ends", L"\u00A0a\u00A0"},
        {"ideographic spaces at both ends", L"\u3000a\u3000"},
        {"4000 characters", std::wstring(4000, L'k')},
        {"quotes", L"\"a\""},
    };
    const std::size_t total = std::size(cases);
    auto pathOf = [this](std::size_t index) {
        return folder + L"\\seen-" + std::to_wstring(index) + L".ini";
    };
    std::vector<bool> fromMemory(total);
    std::vector<bool> fromText(total);
    for (std::size_t first = 0; first < total; first += kFilesKeptInMemory) {
        const std::size_t end = std::min(total, first + kFilesKeptInMemory);
        for (std::size_t i = first; i < end; ++i) {
            // A seen file as the program first makes it: the byte-order mark alone.
            WriteFileBytes(pathOf(i), profile_text::Utf16LeWithBom(L""));
            ::WritePrivateProfileStringW(L"shown", cases[i].id.c_str(), L"1", pathOf(i).c_str());
        }
        ::Sleep(kUntilMemoryCopyIsTrusted);
        for (std::size_t i = first; i < end; ++i) {
            fromMemory[i] = ReadMark(pathOf(i), cases[i].id) == L"1";
        }
        // A copy under a new name was never held in memory: its text is parsed, as a fresh
        // process would.
        for (std::size_t i = first; i < end; ++i) {
            const std::wstring copy = pathOf(i) + L".copy.ini";
            ASSERT_TRUE(::CopyFileW(pathOf(i).c_str(), copy.c_str(), FALSE));
            fromText[i] = ReadMark(copy, cases[i].id) == L"1";
        }
    }

    for (std::size_t i = 0; i < total; ++i) {
        const IdCase& c = cases[i];
        SCOPED_TRACE(std::string(c.name) + ": " + Narrow(c.id.substr(0, 20)));
        const bool readsBack = fromMemory[i] && fromText[i];
        EXPECT_EQ(IsStorableNoticeId(c.id),
                  readsBack && !c.windowsReaderMisreads && !c.sharesAnotherKey)
            << "read back from memory: " << fromMemory[i] << ", from the text: " << fromText[i];
    }
}

}  // namespace
