#include "companion/state_file.h"

#include "app/options.h"
#include "platform/platform.h"

#include <limits>
#include <type_traits>

namespace {

constexpr DWORD kProfileValueCapacity = 4096;

bool IsLeadingBlank(wchar_t c) {
    return c == L' ' || c == L'\t' || c == L'\n' || c == L'\v' || c == L'\f' || c == L'\r';
}

template <typename Int>
Int ParseDecimal(std::wstring_view text) {
    using Unsigned = std::make_unsigned_t<Int>;
    std::size_t i = 0;
    while (i < text.size() && IsLeadingBlank(text[i])) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == L'+' || text[i] == L'-')) {
        negative = text[i] == L'-';
        ++i;
    }
    // The magnitude of the smallest value is one more than the largest: saturate against the
    // bound of the sign actually read.
    const Unsigned limit =
        static_cast<Unsigned>(std::numeric_limits<Int>::max()) + (negative ? 1u : 0u);
    Unsigned magnitude = 0;
    for (; i < text.size() && text[i] >= L'0' && text[i] <= L'9'; ++i) {
        const auto digit = static_cast<Unsigned>(text[i] - L'0');
        if (magnitude > (limit - digit) / 10) {
            magnitude = limit;
        } else {
            magnitude = magnitude * 10 + digit;
        }
    }
    return static_cast<Int>(negative ? Unsigned{0} - magnitude : magnitude);
}

}  // namespace

std::wstring ReadProfileValue(const std::wstring& path, const std::wstring& section,
                              const std::wstring& key) {
    std::wstring buffer(kProfileValueCapacity, L'\0');
    platform::GetPrivateProfileStringW(section.c_str(), key.c_str(), L"", buffer.data(),
                                       kProfileValueCapacity, path.c_str());
    // A copy of just the text: the 4096-character buffer would otherwise stay behind in every
    // value kept, such as the five texts of each queued notice.
    return std::wstring(buffer.c_str());
}

std::wstring ReadLabel(std::wstring_view name) {
    return ReadProfileValue(startupOptions.statePath, L"state", L"label_" + std::wstring(name));
}

std::int32_t ParseInt32(std::wstring_view text) {
    return ParseDecimal<std::int32_t>(text);
}

std::int64_t ParseInt64(std::wstring_view text) {
    return ParseDecimal<std::int64_t>(text);
}
