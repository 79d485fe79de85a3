#include "window.h"

#include <utility>

namespace sim {

ATOM Window::RegisterWindowClass(const WNDCLASSW* windowClass) {
    procedure_ = windowClass->lpfnWndProc;
    return 1;
}

HWND Window::Create(LPVOID param) {
    handle_ = reinterpret_cast<HWND>(0x7E000100);
    CREATESTRUCTW creation{};
    creation.lpCreateParams = param;
    procedure_(handle_, WM_NCCREATE, 0, reinterpret_cast<LPARAM>(&creation));
    procedure_(handle_, WM_CREATE, 0, reinterpret_cast<LPARAM>(&creation));
    return handle_;
}

LONG_PTR Window::SetUserData(LONG_PTR value) {
    return std::exchange(userData_, value);
}

const ::TrayCompanion* Window::Program() const {
    return reinterpret_cast<const TrayCompanion*>(userData_);
}

LRESULT Window::Call(UINT message, WPARAM wParam, LPARAM lParam) {
    return procedure_(handle_, message, wParam, lParam);
}

std::optional<MSG> Window::TakePosted() {
    if (posted_.empty()) {
        return std::nullopt;
    }
    const MSG msg = posted_.front();
    posted_.pop_front();
    return msg;
}

}  // namespace sim
