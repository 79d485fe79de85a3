// Profile files written as the companion writes them, for the logic tests, the benchmark and the
// companion simulator: sections in order, each with its keys in order, "[section]" and then one
// "key=value" line per key, every line ended by CRLF, the text in UTF-16LE after a byte-order
// mark. Values go out as they stand: a test that wants blanks kept or quotes written gives them.
// A file the companion would never write (ANSI, no byte-order mark, broken lines) is written as
// raw bytes by the test that needs it.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>
#include <vector>

namespace profile_text {

struct Key {
    std::wstring name;
    std::wstring value;
};

struct Section {
    std::wstring name;
    std::vector<Key> keys;
};

using Profile = std::vector<Section>;

// FF FE, then the text's UTF-16 code units, low byte first.
std::vector<unsigned char> Utf16LeWithBom(std::wstring_view text);

// The bytes of the file that holds the profile.
std::vector<unsigned char> EncodeProfile(const Profile& profile);

// Puts the bytes at path in one step: a temporary file beside it gets them whole and is renamed
// over it, so that a reader who may be looking sees the old file or the new one, never a part. A
// rename refused while a reader holds the old file is tried again for about a second. Gives
// ERROR_SUCCESS, or the error of the step that failed (the temporary file is then gone).
DWORD WriteFileInOneStep(const std::wstring& path, const std::vector<unsigned char>& bytes);

// The profile encoded and put at path in one step.
DWORD WriteProfileFile(const std::wstring& path, const Profile& profile);

}  // namespace profile_text
