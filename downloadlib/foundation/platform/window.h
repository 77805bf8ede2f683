// The window table: handles that messages are posted to. A library window belongs to the loop
// of the thread that created it, and its procedure runs there. A host window is registered by
// the program that hosts the library; posting to it calls its procedure on the posting thread,
// and the procedure only queues the message for the host's own thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

struct cpMessage;
class cpCMessageLoop;

using cpWindowProc = std::function<intptr_t(uint32_t message, uintptr_t wParam, intptr_t lParam)>;
using cpHostWindowProc = std::function<void(uint32_t message, uintptr_t wParam, intptr_t lParam)>;

// A library window on the calling thread's loop; 0 when the thread has no loop.
uint32_t cpCreateWindow(const char* className, cpWindowProc proc);
// A host window; 0 for an empty procedure.
uint32_t cpRegisterHostWindow(cpHostWindowProc proc);
// Removes a window. For a host window it returns only once no call of its procedure is running
// (other than one on the calling thread itself).
void cpDestroyWindow(uint32_t window);
bool cpIsWindow(uint32_t window);
// The loop that owns a library window: null for a host window, an unknown handle, or a loop
// that has ended.
std::shared_ptr<cpCMessageLoop> cpWindowLoop(uint32_t window);
// Posting to an unknown or removed window is dropped (false).
bool cpPostMessage(uint32_t window, uint32_t message, uintptr_t wParam, intptr_t lParam);

// Runs the procedure of a library window for a message its loop fetched.
void cpDispatchWindowMessage(const cpMessage& message);
