// Where notifications for the host go: its notify window and its callback, either or both absent.
#pragma once

#include <cstdint>

#include "downloadlib.h"

struct CNotifyTarget {
    uint32_t window = 0;
    DownloadLibCallback callback = nullptr;
    void* userData = nullptr;

    // Posts WM_DOWNLOADLIB to the window, then calls the callback; a missing channel is skipped.
    // The window's procedure only queues, so this is safe inside the library mutex.
    void Notify(int32_t code, int32_t parameter) const;
};
