/* The public header compiled as C, linked against the shared library alone: the records have
 * their natural C layout and the exported functions answer as the flat interface does. */
#define _POSIX_C_SOURCE 200809L

#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "downloadlib.h"

_Static_assert(sizeof(JobHandle) == 4, "JobHandle is 32-bit");
_Static_assert(offsetof(JobSizeInfo, totalBytes) == 8, "JobSizeInfo");
_Static_assert(offsetof(JobProgress, fileCount) == 16, "JobProgress");
_Static_assert(offsetof(JobProgress, elapsedSeconds) == 32, "JobProgress");
_Static_assert(offsetof(JobProgress, percent) == 48, "JobProgress");
_Static_assert(offsetof(JobProgress, fileSize) == 56, "JobProgress");
_Static_assert(offsetof(JobProgress, filePercent) == 88, "JobProgress");
_Static_assert(offsetof(JobProgress, fileName) == 92, "JobProgress");
_Static_assert(sizeof(JobProgress) == 160, "JobProgress");
_Static_assert(offsetof(JobFileMessage, text) == 8 && sizeof(JobFileMessage) == 1032, "message");
_Static_assert(sizeof(JobResult) == 12, "JobResult");
_Static_assert(offsetof(JobEvent, text) == 8, "JobEvent");
_Static_assert(offsetof(DataBuffer, size) == 8, "DataBuffer");

static int failures = 0;

#define CHECK(condition)                                                    \
    do {                                                                    \
        if (!(condition)) {                                                 \
            fprintf(stderr, "%s:%d: %s\n", __FILE__, __LINE__, #condition); \
            ++failures;                                                     \
        }                                                                   \
    } while (0)

struct Seen {
    int window;
    int callback;
    int lastCode;
};

static void WindowProc(uint32_t message, uintptr_t wParam, intptr_t lParam, void* context) {
    struct Seen* seen = context;
    (void)lParam;
    if (message == WM_DOWNLOADLIB) {
        ++seen->window;
        seen->lastCode = (int)wParam;
    }
}

static void Callback(int32_t code, int32_t parameter, void* userData) {
    struct Seen* seen = userData;
    (void)parameter;
    ++seen->callback;
    seen->lastCode = code;
}

int main(void) {
    char root[] = "/tmp/tev-c-interface-XXXXXX";
    if (mkdtemp(root) == NULL) {
        return 2;
    }
    /* The library's log and engine folder stay inside the temporary folder. */
    setenv("HOME", root, 1);
    setenv("XDG_DATA_HOME", root, 1);
    char blocker[sizeof root + 16];
    char below[sizeof root + 32];
    snprintf(blocker, sizeof blocker, "%s/blocker", root);
    snprintf(below, sizeof below, "%s/blocker/sub", root);
    FILE* file = fopen(blocker, "w");
    if (file == NULL) {
        return 2;
    }
    fclose(file);

    JobProgress progress;
    CHECK(DownloadLib_GetJobProgress(1, &progress) == DL_E_FAIL);
    CHECK(DownloadLib_Finalize() == DL_OK);

    struct Seen seen = {0, 0, 0};
    const uint32_t window = DownloadLib_RegisterWindow(WindowProc, &seen);
    CHECK(window != 0);
    CHECK(DownloadLib_Initialize(window, Callback, &seen) == DL_OK);
    CHECK(DownloadLib_Initialize(window, Callback, &seen) == DL_E_INITIALIZED);
    CHECK(DownloadLib_GetUserData() == &seen);

    JobHandle job = 0;
    CHECK(DownloadLib_CreateJob(&job, "QK", NULL) == DL_OK);
    CHECK(job != 0);
    CHECK(DownloadLib_AddJobFile(job, "http://h/a.bin", root, NULL, 0, 0, 0) == DL_E_SIZE);
    /* 528 is sent on the calling thread, to the window and then the callback. */
    CHECK(DownloadLib_AddJobFile(job, "http://h/a.bin", below, NULL, 10, 0, 0) == DL_E_PATH);
    CHECK(seen.window == 1 && seen.callback == 1 && seen.lastCode == DLN_DOWNLOAD_PATH_FAILED);
    CHECK(DownloadLib_AddJobFileEx(job, "http://127.0.0.1:1/a.bin", root, NULL, 0xFFFFFFFFu,
                                   0xFFFFFFFFu, 0, 0) == DL_OK);
    /* Every job goes to the direct downloader; its size check of this refused address may give
     * up (and let the job go, so that no downloader owns it) before the stop arrives. */
    CHECK(DownloadLib_StartJob(job, 1) == DL_OK);
    const int32_t stopped = DownloadLib_StopJob(job);
    CHECK(stopped == DL_OK || stopped == DL_E_NOT_STARTED || stopped == DL_E_FAIL);
    JobEvent event = {0, NULL};
    CHECK(DownloadLib_PopJobEvent(job, &event) == DL_OK);
    CHECK(DownloadLib_RemoveJob(job) == DL_OK);
    CHECK(DownloadLib_Finalize() == DL_OK);
    CHECK(DownloadLib_GetUserData() == NULL);
    DownloadLib_UnregisterWindow(window);

    unlink(blocker);
    rmdir(root);
    return failures == 0 ? 0 : 1;
}
