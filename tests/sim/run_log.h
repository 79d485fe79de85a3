// The log of one run, one line for each thing that happened, each with the step it happened in.
#pragma once

#include "readable_text.h"

#include <windows.h>

#include <string>
#include <string_view>
#include <vector>

namespace sim {

class RunLog {
  public:
    int Step() const { return step_; }
    void BeginStep() { ++step_; }

    void Note(const std::string& line) {
        lines_.push_back("step " + std::to_string(step_) + ": " + line);
    }
    const std::vector<std::string>& Lines() const { return lines_; }

  private:
    int step_ = 0;
    std::vector<std::string> lines_;
};

// Text for a log line, readable and in double quotes.
inline std::string Quoted(std::wstring_view text) {
    std::string quoted(1, '"');
    quoted += Narrow(text);
    quoted += '"';
    return quoted;
}

// A point on the screen for a log line: "(x, y)".
inline std::string PointText(POINT point) {
    std::string text(1, '(');
    text += std::to_string(point.x);
    text += ", ";
    text += std::to_string(point.y);
    text += ')';
    return text;
}

}  // namespace sim
