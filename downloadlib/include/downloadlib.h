/* The download library's flat interface.
 *
 * A host initialises the library once, drives jobs, the data download and the content-length
 * check through these functions, and learns about results through notifications: each is posted
 * as WM_DOWNLOADLIB to the host's notify window and passed to its callback, both on the
 * library's worker thread. The details are then read back with the query functions, on the
 * host's own thread. Texts are UTF-8 and are copied by the library. No function throws.
 */
#ifndef TEV_DOWNLOADLIB_H
#define TEV_DOWNLOADLIB_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define DOWNLOADLIB_API __attribute__((visibility("default")))
#else
#define DOWNLOADLIB_API
#endif

/* Results of the flat interface. */
enum {
    DL_OK = 512,
    DL_E_URL = 513,         /* a file URL is missing or empty */
    DL_E_PATH = 514,        /* the download folder is missing, empty, too long or not creatable */
    DL_E_STARTED = 515,     /* the job is already being downloaded */
    DL_E_NOT_STARTED = 516, /* the job is not (or no longer) being downloaded */
    DL_E_FAIL = 517,        /* not initialised, no such job or object, or not now */
    DL_E_INITIALIZED = 518, /* the library is already initialised */
    DL_E_SIZE = 520,        /* a file size of 0 or below -1 */
    DL_E_UNTRUSTED = 521    /* no key is trusted: a signed manifest cannot be verified */
};

/* Notification codes: the wParam of WM_DOWNLOADLIB and the first argument of the callback. The
 * parameter is the job handle for the job notifications, else 0 unless noted. */
enum {
    DLN_JOB_SIZE = 513,      /* DownloadLib_GetJobSizeInfo */
    DLN_JOB_PROGRESS = 514,  /* DownloadLib_GetJobProgress */
    DLN_JOB_FILE_DONE = 515, /* DownloadLib_PopJobFileMessage */
    DLN_JOB_DONE = 516,      /* DownloadLib_GetJobResult */
    DLN_JOB_EVENT = 517,     /* DownloadLib_GetJobEventTextLength, DownloadLib_PopJobEvent */
    DLN_ENGINE_UPDATE_FILE = 518,
    DLN_ENGINE_UPDATE_PROGRESS = 519,
    DLN_ENGINE_UPDATED = 520,
    DLN_ENGINE_UPDATE_FAILED = 521,
    DLN_DATA_DONE = 522, /* DownloadLib_GetDataSize, DownloadLib_GetData */
    DLN_DATA_FAILED = 523,
    DLN_JOB_RESUME_QUERY = 524, /* answer with DownloadLib_ReplyResume */
    DLN_CHECK_DONE = 525,       /* DownloadLib_GetTotalContentLength */
    DLN_CHECK_FAILED = 526,
    DLN_ENGINE_PATH_FAILED = 527,   /* parameter: an opaque non-zero value */
    DLN_DOWNLOAD_PATH_FAILED = 528, /* parameter: an opaque non-zero value */
    DLN_DATA_TICK = 529,
    DLN_ENGINE_STATE = 530
};

/* Job event codes, read with DownloadLib_PopJobEvent. */
enum {
    JOB_EVENT_DISK_FULL = 513,    /* DownloadLib_GetJobRemainingBytes gives the bytes needed */
    JOB_EVENT_NETWORK_POOR = 515, /* the network connection was lost */
    JOB_EVENT_NETWORK_BACK = 516, /* the network connection is back */
    JOB_EVENT_FAILED = 517,       /* a file of the job failed for good */
    JOB_EVENT_MOVED = 518         /* the job continues on the direct downloader */
};

enum { WM_DOWNLOADLIB = 11024 };

/* Names a job; 0 never does. Handles are not reused within a process. */
typedef uint32_t JobHandle;

typedef void (*DownloadLibCallback)(int32_t code, int32_t parameter, void* userData);

/* A host window: the library posts WM_DOWNLOADLIB to it by calling proc on the posting thread
 * (usually the worker). The procedure must only queue the message for the host's own thread. */
typedef void (*DownloadLibWindowProc)(uint32_t message, uintptr_t wParam, intptr_t lParam,
                                      void* context);

typedef struct JobSizeInfo {
    int32_t fileCount; /* files whose size is known */
    int64_t totalBytes;
} JobSizeInfo;

typedef struct JobProgress {
    int64_t totalBytes;
    int64_t presentBytes;
    int32_t fileCount;
    int32_t completedFiles;
    int32_t speed; /* bytes per second */
    int64_t elapsedSeconds;
    int64_t remainingSeconds;
    int32_t percent; /* 0 to 100 */
    int32_t fileIndex;
    int64_t fileSize;
    int64_t filePresentBytes;
    int64_t fileSpeed;
    int64_t fileRemainingSeconds;
    int32_t filePercent;
    char fileName[66]; /* at most 65 bytes, always NUL-terminated */
} JobProgress;

typedef struct JobFileMessage {
    int32_t fileCount;
    int32_t sequence; /* from 1 within the job */
    char text[1024];  /* "URL,full local path" */
} JobFileMessage;

typedef struct JobResult {
    int32_t fileCount;
    int32_t value1; /* the direct downloader: files completed */
    int32_t value2;
} JobResult;

typedef struct JobEvent {
    int32_t code; /* DL_OK when no event was queued */
    char* text;   /* host buffer of DownloadLib_GetJobEventTextLength bytes, or null */
} JobEvent;

typedef struct DataBuffer {
    void* data;
    int64_t size; /* must equal DownloadLib_GetDataSize */
} DataBuffer;

/* Host windows. Both work whether or not the library is initialised. Registering returns a
 * non-zero handle (0 for a null procedure); unregistering returns once no call of the procedure
 * is running, so the host may free the context afterwards. */
DOWNLOADLIB_API uint32_t DownloadLib_RegisterWindow(DownloadLibWindowProc proc, void* context);
DOWNLOADLIB_API void DownloadLib_UnregisterWindow(uint32_t window);

DOWNLOADLIB_API int32_t DownloadLib_InitializeEx(uint32_t notifyWindow,
                                                 DownloadLibCallback callback, void* userData,
                                                 uint8_t runElevated);
DOWNLOADLIB_API int32_t DownloadLib_Initialize(uint32_t notifyWindow, DownloadLibCallback callback,
                                               void* userData);
DOWNLOADLIB_API int32_t DownloadLib_Finalize(void);
DOWNLOADLIB_API void* DownloadLib_GetUserData(void);

DOWNLOADLIB_API int32_t DownloadLib_SetServiceId(const char* serviceId);
DOWNLOADLIB_API int32_t DownloadLib_CreateJob(JobHandle* job, const char* code,
                                              const char* serviceId);
DOWNLOADLIB_API int32_t DownloadLib_SetJobEngineOption(JobHandle job);
/* The size is 64-bit, given in halves; -1 when the host does not know it. */
DOWNLOADLIB_API int32_t DownloadLib_AddJobFileEx(JobHandle job, const char* url, const char* folder,
                                                 const char* name, uint32_t sizeLow,
                                                 uint32_t sizeHigh, int32_t option1,
                                                 int32_t option2);
DOWNLOADLIB_API int32_t DownloadLib_AddJobFile(JobHandle job, const char* url, const char* folder,
                                               const char* name, uint32_t sizeLow,
                                               uint32_t sizeHigh, int32_t option1);
/* speedMode: non-zero fast, 0 limited. */
DOWNLOADLIB_API int32_t DownloadLib_StartJob(JobHandle job, uint8_t speedMode);
DOWNLOADLIB_API int32_t DownloadLib_StopJob(JobHandle job);
DOWNLOADLIB_API int32_t DownloadLib_RemoveJob(JobHandle job);
DOWNLOADLIB_API int32_t DownloadLib_ReplyResume(JobHandle job, uint8_t resume, uint8_t applyToAll);

DOWNLOADLIB_API int32_t DownloadLib_GetJobSizeInfo(JobHandle job, JobSizeInfo* info);
DOWNLOADLIB_API int32_t DownloadLib_GetJobProgress(JobHandle job, JobProgress* progress);
DOWNLOADLIB_API int32_t DownloadLib_GetJobRemainingBytes(JobHandle job, int64_t* bytes);
DOWNLOADLIB_API int32_t DownloadLib_PopJobFileMessage(JobHandle job, JobFileMessage* message);
DOWNLOADLIB_API int32_t DownloadLib_GetJobResult(JobHandle job, JobResult* result);
DOWNLOADLIB_API int32_t DownloadLib_GetJobEventTextLength(JobHandle job, int32_t* length);
DOWNLOADLIB_API int32_t DownloadLib_PopJobEvent(JobHandle job, JobEvent* event);

DOWNLOADLIB_API int32_t DownloadLib_DownloadData(const char* url);
DOWNLOADLIB_API int32_t DownloadLib_GetDataSize(int64_t* size);
DOWNLOADLIB_API int32_t DownloadLib_GetData(const DataBuffer* buffer);
/* DownloadLib_DownloadData for a small document: an answer that says it is longer than maxBytes
 * (at least 1) is refused at its head and ends with DLN_DATA_FAILED. */
DOWNLOADLIB_API int32_t DownloadLib_DownloadDataWithin(const char* url, int64_t maxBytes);
/* The HTTP status of the last data download's final answer (after redirects): 200, 404, ...
 * DL_E_FAIL when no answer arrived (refused connection, time-out, unusable URL). */
DOWNLOADLIB_API int32_t DownloadLib_GetDataStatus(int32_t* status);

/* A game's file list may be published with a signed manifest beside it (the list's URL followed
 * by ".manifest", its signatures by ".manifest.sig"), the same kind the engine update carries:
 * the list's bytes as its document and, per downloaded file, a "file" line named as the library
 * names the downloaded file. These check them against the keys the library trusts (the keys
 * built in and those of TEV_UPDATE_TRUST_FILE), and need no initialisation. Each returns DL_OK,
 * DL_E_UNTRUSTED when no key is trusted at all (nothing can be verified: the host treats the
 * list as unsigned), or DL_E_FAIL with the reason, a UTF-8 sentence, in reason (reasonSize
 * bytes, always NUL-terminated when reasonSize is above 0; may be null). */

/* The manifest is signed by a trusted key, well formed and not expired, and list holds exactly
 * the bytes its document line lists. */
DOWNLOADLIB_API int32_t DownloadLib_VerifyFileList(const DataBuffer* list,
                                                   const DataBuffer* manifest,
                                                   const DataBuffer* signatures, char* reason,
                                                   int32_t reasonSize);
/* The same checks of the manifest, then: name (the downloaded file's name) is listed in it and,
 * unless path is null, the file at path has the listed length and SHA-256 (a regular file,
 * links not followed, read no further than the listed length and one byte). */
DOWNLOADLIB_API int32_t DownloadLib_VerifyListedFile(const DataBuffer* manifest,
                                                     const DataBuffer* signatures, const char* name,
                                                     const char* path, char* reason,
                                                     int32_t reasonSize);

DOWNLOADLIB_API int32_t DownloadLib_AddContentLengthCheck(const char* url);
DOWNLOADLIB_API int32_t DownloadLib_StartContentLengthCheck(void);
DOWNLOADLIB_API int32_t DownloadLib_GetTotalContentLength(int64_t* total);

#ifdef __cplusplus
}
#endif

#endif /* TEV_DOWNLOADLIB_H */
