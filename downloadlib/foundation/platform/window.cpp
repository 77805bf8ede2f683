#include "foundation/platform/window.h"

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>

#include "foundation/platform/message_loop.h"

namespace {

struct Window {
    std::string className;
    cpWindowProc proc;  // library window
    std::weak_ptr<cpCMessageLoop> loop;
    cpHostWindowProc hostProc;  // host window
    // Calls of the host procedure in progress, so that removal can wait for them.
    std::mutex callsMutex;
    std::condition_variable callsDone;
    int calls = 0;
};

std::mutex gWindowsMutex;
std::unordered_map<uint32_t, std::shared_ptr<Window>> gWindows;
std::atomic<uint32_t> gNextWindow{1};
thread_local const Window* tInHostProc = nullptr;

std::shared_ptr<Window> Find(uint32_t handle) {
    std::lock_guard lock(gWindowsMutex);
    auto it = gWindows.find(handle);
    return it != gWindows.end() ? it->second : nullptr;
}

uint32_t Insert(std::shared_ptr<Window> window) {
    const uint32_t handle = gNextWindow.fetch_add(1);
    std::lock_guard lock(gWindowsMutex);
    gWindows.emplace(handle, std::move(window));
    return handle;
}

}  // namespace

uint32_t cpCreateWindow(const char* className, cpWindowProc proc) {
    cpCMessageLoop* loop = cpCMessageLoop::Current();
    if (loop == nullptr || !proc) {
        return 0;
    }
    auto window = std::make_shared<Window>();
    window->className = className != nullptr ? className : "";
    window->proc = std::move(proc);
    window->loop = loop->weak_from_this();
    return Insert(std::move(window));
}

uint32_t cpRegisterHostWindow(cpHostWindowProc proc) {
    if (!proc) {
        return 0;
    }
    auto window = std::make_shared<Window>();
    window->hostProc = std::move(proc);
    return Insert(std::move(window));
}

void cpDestroyWindow(uint32_t handle) {
    std::shared_ptr<Window> window;
    {
        std::lock_guard lock(gWindowsMutex);
        auto it = gWindows.find(handle);
        if (it == gWindows.end()) {
            return;
        }
        window = std::move(it->second);
        gWindows.erase(it);
    }
    if (window->hostProc) {
        const int own = tInHostProc == window.get() ? 1 : 0;
        std::unique_lock lock(window->callsMutex);
        window->callsDone.wait(lock, [&] { return window->calls <= own; });
    }
}

bool cpIsWindow(uint32_t handle) {
    return Find(handle) != nullptr;
}

std::shared_ptr<cpCMessageLoop> cpWindowLoop(uint32_t handle) {
    const std::shared_ptr<Window> window = Find(handle);
    return window ? window->loop.lock() : nullptr;
}

bool cpPostMessage(uint32_t handle, uint32_t message, uintptr_t wParam, intptr_t lParam) {
    std::shared_ptr<Window> window;
    {
        // The call is counted before the table lock is let go, so that a removal running at the
        // same moment either hides the window from us or waits for this call.
        std::lock_guard lock(gWindowsMutex);
        auto it = gWindows.find(handle);
        if (it == gWindows.end()) {
            return false;
        }
        window = it->second;
        if (window->hostProc) {
            std::lock_guard calls(window->callsMutex);
            ++window->calls;
        }
    }
    if (window->hostProc) {
        const Window* outer = std::exchange(tInHostProc, window.get());
        window->hostProc(message, wParam, lParam);
        tInHostProc = outer;
        {
            std::lock_guard lock(window->callsMutex);
            --window->calls;
        }
        window->callsDone.notify_all();
        return true;
    }
    std::shared_ptr<cpCMessageLoop> loop = window->loop.lock();
    if (!loop) {
        return false;
    }
    loop->Post({handle, message, wParam, lParam});
    return true;
}

void cpDispatchWindowMessage(const cpMessage& message) {
    std::shared_ptr<Window> window = Find(message.window);
    if (window && window->proc) {
        window->proc(message.message, message.wParam, message.lParam);
    }
}
