#include "core/parse_int.h"

#include "core/profile_file.h"

#include <limits>
#include <type_traits>

namespace {

template <typename Int>
Int ParseDecimal(std::wstring_view text) {
    using Unsigned = std::make_unsigned_t<Int>;
    std::size_t i = 0;
    while (i < text.size() && IsProfileBlank(text[i])) {
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

std::int32_t ParseInt32(std::wstring_view text) {
    return ParseDecimal<std::int32_t>(text);
}

std::int64_t ParseInt64(std::wstring_view text) {
    return ParseDecimal<std::int64_t>(text);
}
