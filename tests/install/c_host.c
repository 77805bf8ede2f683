/* A C host built only from what pkg-config says about the installed library. */
#include <downloadlib.h>
#include <stdio.h>

static void Callback(int32_t code, int32_t parameter, void* userData) {
    (void)code;
    (void)parameter;
    (void)userData;
}

int main(void) {
    const int32_t started = DownloadLib_Initialize(0, Callback, NULL);
    const int32_t finished = DownloadLib_Finalize();
    printf("initialize %d finalize %d\n", (int)started, (int)finished);
    return started == DL_OK && finished == DL_OK ? 0 : 1;
}
