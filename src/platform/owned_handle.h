// Owners for the handles the program takes: the handle is released, through the platform, when
// its owner leaves the scope that took it (on every path out of that scope) or is given another.
#pragma once

#include "platform/platform.h"

#include <utility>

namespace platform {

template <typename Traits>
class Owned {
  public:
    using Handle = typename Traits::Handle;

    Owned() = default;
    explicit Owned(Handle handle) : handle_(handle) {}
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    Owned(Owned&& other) noexcept : handle_(std::exchange(other.handle_, Traits::Invalid())) {}
    Owned& operator=(Owned&& other) noexcept {
        if (this != &other) {
            Reset();
            handle_ = std::exchange(other.handle_, Traits::Invalid());
        }
        return *this;
    }
    ~Owned() { Reset(); }

    Handle Get() const { return handle_; }
    explicit operator bool() const { return handle_ != Traits::Invalid(); }

    // Releases the handle now; the owner holds nothing afterwards.
    void Reset() {
        if (handle_ != Traits::Invalid()) {
            Traits::Release(std::exchange(handle_, Traits::Invalid()));
        }
    }

  private:
    Handle handle_ = Traits::Invalid();
};

// Kernel objects that give null for failure: the mutex, processes and threads.
struct KernelHandleTraits {
    using Handle = HANDLE;
    static Handle Invalid() { return nullptr; }
    static void Release(Handle handle) { platform::CloseHandle(handle); }
};

// Files, which give INVALID_HANDLE_VALUE for failure.
struct FileHandleTraits {
    using Handle = HANDLE;
    static Handle Invalid() { return INVALID_HANDLE_VALUE; }
    static void Release(Handle handle) { platform::CloseHandle(handle); }
};

struct MenuTraits {
    using Handle = HMENU;
    static Handle Invalid() { return nullptr; }
    static void Release(Handle handle) { platform::DestroyMenu(handle); }
};

// The icon images the program loads for the notification area.
struct IconTraits {
    using Handle = HICON;
    static Handle Invalid() { return nullptr; }
    static void Release(Handle handle) { platform::DestroyIcon(handle); }
};

using OwnedHandle = Owned<KernelHandleTraits>;
using OwnedFile = Owned<FileHandleTraits>;
using OwnedMenu = Owned<MenuTraits>;
using OwnedIcon = Owned<IconTraits>;

}  // namespace platform
