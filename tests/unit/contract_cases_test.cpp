// The table of cases that the Python package's tests read as well (tests/contract/cases.tsv; its
// format is described at its top), run through the program's own rules: notice ids through
// IsStorableNoticeId, kinds against the three words, targets through OpenNoticeTarget, values
// through the profile reader. The package refuses exactly the inputs that this test proves the
// program skips or refuses.
#include "actions/notice_target.h"
#include "companion/state_file.h"
#include "core/profile_file.h"
#include "memory/seen_file.h"
#include "notices/notice.h"
#include "test_support.h"
#include "web_host.h"

#include <algorithm>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace {

struct ContractCase {
    int line = 0;
    std::string field;
    std::wstring input;
    std::string outcome;
    std::string why;
};

const std::vector<std::string> kColumns = {"field", "input", "outcome", "why"};
const std::map<std::string, std::set<std::string>> kOutcomes = {
    {"id", {"keep", "skip"}},
    {"kind", {"keep", "skip"}},
    {"target", {"web", "screen", "none", "ignore"}},
    {"value", {"keep", "cut", "refuse"}},
};

bool ParseCount(std::string_view digits, std::size_t& count) {
    if (digits.empty() || digits.find_first_not_of("0123456789") != std::string_view::npos) {
        return false;
    }
    count = std::stoul(std::string(digits));
    return true;
}

// The text of an input field: escapes, {host}, {X*N} and {X*=N} resolved. Empty on success,
// else what is wrong.
std::string DecodeInput(std::string_view raw, std::wstring_view host, std::wstring& text) {
    struct Fill {
        std::size_t position;
        wchar_t unit;
        std::size_t length;
    };
    std::optional<Fill> fill;
    text.clear();
    for (std::size_t i = 0; i < raw.size();) {
        const char c = raw[i];
        if (c == '\\') {
            const char escape = i + 1 < raw.size() ? raw[i + 1] : '\0';
            if (escape == 'u') {
                const std::string_view digits = raw.substr(i + 2, 4);
                if (digits.size() != 4 ||
                    digits.find_first_not_of("0123456789abcdefABCDEF") != std::string_view::npos) {
                    return "\\u needs four hex digits";
                }
                text += static_cast<wchar_t>(std::stoul(std::string(digits), nullptr, 16));
                i += 6;
                continue;
            }
            static const std::map<char, wchar_t> kEscapes = {
                {'t', L'\t'},  {'r', L'\r'}, {'n', L'\n'}, {'0', L'\0'},
                {'\\', L'\\'}, {'{', L'{'},  {'}', L'}'}};
            const auto found = kEscapes.find(escape);
            if (found == kEscapes.end()) {
                return "unknown escape";
            }
            text += found->second;
            i += 2;
        } else if (c == '{') {
            const std::size_t end = raw.find('}', i);
            if (end == std::string_view::npos) {
                return "'{' without '}'";
            }
            const std::string_view inner = raw.substr(i + 1, end - i - 1);
            std::size_t count = 0;
            if (inner == "host") {
                text += host;
            } else if (const std::size_t star = inner.rfind("*="); star != std::string_view::npos) {
                if (star != 1 || fill || !ParseCount(inner.substr(star + 2), count)) {
                    return "bad fill";
                }
                fill = Fill{text.size(), static_cast<wchar_t>(inner[0]), count};
            } else if (const std::size_t times = inner.rfind('*');
                       times != std::string_view::npos) {
                const std::string_view part = inner.substr(0, times);
                if (part.empty() || part.find('\\') != std::string_view::npos ||
                    !ParseCount(inner.substr(times + 1), count)) {
                    return "bad repeat";
                }
                for (std::size_t n = 0; n < count; ++n) {
                    text.append(part.begin(), part.end());
                }
            } else {
                return "unknown placeholder";
            }
            i = end + 1;
        } else if (c == '}') {
            return "'}' without '{'";
        } else {
            text += static_cast<wchar_t>(c);
            ++i;
        }
    }
    if (fill) {
        if (fill->length < text.size()) {
            return "longer than its fill length";
        }
        text.insert(fill->position, fill->length - text.size(), fill->unit);
    }
    return {};
}

std::vector<std::string> Split(const std::string& line) {
    std::vector<std::string> fields(1);
    for (char c : line) {
        if (c == '\t') {
            fields.emplace_back();
        } else {
            fields.back() += c;
        }
    }
    return fields;
}

// The cases of the table; a line that cannot be read is reported in `error` with the file and
// line, and ends the reading.
std::vector<ContractCase> LoadCases(const std::string& path, std::wstring_view host,
                                    std::string& error) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        error = path + ": cannot be read";
        return {};
    }
    std::vector<ContractCase> cases;
    std::vector<std::string> columns;
    std::string line;
    for (int number = 1; std::getline(file, line); ++number) {
        auto fail = [&](const std::string& message) {
            error = path + ":" + std::to_string(number) + ": " + message;
            return std::vector<ContractCase>{};
        };
        for (const char raw : line) {
            const auto c = static_cast<unsigned char>(raw);
            if (c >= 0x80) {
                return fail("not ASCII; write other characters as \\uXXXX");
            }
            if ((c < 0x20 && c != '\t') || c == 0x7F) {
                return fail("a control character; write it as an escape");
            }
        }
        if (line.empty() || line[0] == '#') {
            continue;
        }
        const std::vector<std::string> fields = Split(line);
        if (columns.empty()) {
            for (const std::string& name : fields) {
                if (std::find(kColumns.begin(), kColumns.end(), name) == kColumns.end()) {
                    return fail("unknown column '" + name + "'");
                }
            }
            for (const std::string& name : kColumns) {
                if (std::count(fields.begin(), fields.end(), name) != 1) {
                    return fail("column '" + name + "' missing or given twice");
                }
            }
            columns = fields;
            continue;
        }
        if (fields.size() != columns.size()) {
            return fail(std::to_string(fields.size()) + " fields, where the header has " +
                        std::to_string(columns.size()));
        }
        std::map<std::string, std::string> row;
        for (std::size_t i = 0; i < fields.size(); ++i) {
            row[columns[i]] = fields[i];
        }
        const auto outcomes = kOutcomes.find(row["field"]);
        if (outcomes == kOutcomes.end()) {
            return fail("unknown field '" + row["field"] + "'");
        }
        if (outcomes->second.count(row["outcome"]) == 0) {
            return fail("outcome '" + row["outcome"] + "' for field '" + row["field"] + "'");
        }
        if (row["why"].empty()) {
            return fail("empty why");
        }
        ContractCase contractCase{number, row["field"], {}, row["outcome"], row["why"]};
        if (const std::string problem = DecodeInput(row["input"], host, contractCase.input);
            !problem.empty()) {
            return fail("input '" + row["input"] + "': " + problem);
        }
        cases.push_back(std::move(contractCase));
    }
    if (columns.empty()) {
        error = path + ": no header line";
    }
    return cases;
}

class ContractCasesTest : public LogicTest {};

TEST_F(ContractCasesTest, TheProgramSkipsAndRefusesWhatTheTableSays) {
    const std::wstring site = kCompanionWebOrigin;
    const std::wstring host = site.substr(std::wstring_view(L"https://").size());
    std::string error;
    const std::vector<ContractCase> cases = LoadCases(VESTREL_CONTRACT_CASES, host, error);
    ASSERT_EQ(error, "");
    ASSERT_FALSE(cases.empty());

    int valueFiles = 0;
    for (const ContractCase& c : cases) {
        SCOPED_TRACE("line " + std::to_string(c.line) + ": " + c.field + " " +
                     Narrow(c.input.substr(0, 80)) + " -> " + c.outcome + " (" + c.why + ")");
        if (c.field == "id") {
            EXPECT_EQ(IsStorableNoticeId(c.input), c.outcome == "keep");
        } else if (c.field == "kind") {
            EXPECT_EQ(ParseNoticeKind(c.input).has_value(), c.outcome == "keep");
        } else if (c.field == "target") {
            fake.emplace();
            const AppLauncher launcher(options.pythonwPath, options.launcherPath);
            TargetOpener(launcher).OpenNoticeTarget(c.input);
            const auto starts = fake->CallsNamed("CreateProcessW");
            const auto shell = fake->CallsNamed("ShellExecuteW");
            EXPECT_EQ(IsAllowedUrl(c.input), c.outcome == "web");
            if (c.outcome == "web") {
                EXPECT_TRUE(starts.empty());
                ASSERT_EQ(shell.size(), 1u);
                EXPECT_EQ(shell[0].Text("file"), c.input);
            } else if (c.outcome == "screen") {
                EXPECT_TRUE(shell.empty());
                ASSERT_EQ(starts.size(), 1u);
                EXPECT_EQ(starts[0].Text("commandLine"),
                          L"\"C:\\Python\\pythonw.exe\" -I \"C:\\App\\launch.py\" --screen " +
                              c.input.substr(std::wstring_view(L"app:").size()));
            } else {
                EXPECT_TRUE(starts.empty());
                EXPECT_TRUE(shell.empty());
            }
        } else {
            // Written between quotes, as the companion writes a value that needs them; a new
            // file each time, so that no copy the reader keeps in memory answers.
            const std::wstring path =
                folder + L"\\value-" + std::to_wstring(++valueFiles) + L".ini";
            WriteFileBytes(
                path, profile_text::EncodeProfile({{L"s", {{L"v", L"\"" + c.input + L"\""}}}}));
            const std::wstring read = ReadProfileValue(path, L"s", L"v");
            if (c.outcome == "keep") {
                EXPECT_EQ(read, c.input) << Narrow(read.substr(0, 80));
            } else if (c.outcome == "cut") {
                EXPECT_LT(read.size(), c.input.size());
                EXPECT_GE(read.size(), 4094u);
                EXPECT_EQ(read, c.input.substr(0, read.size()));
            } else {
                EXPECT_NE(read, c.input);
            }
        }
    }
}

}  // namespace
