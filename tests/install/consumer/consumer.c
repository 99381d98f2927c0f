/* A C99 program using the installed header and library. */
#include <ryx.h>
#include <stdio.h>

int main(void) {
    RYX_HANDLE handle = 0;
    LinkTimeouts timeouts = {0, 0, 0, 0};
    uint32_t slots = 0;
    if (RYX_OpenA(NULL, &handle) != RYX_ERROR_INVALID_PARAMETER) return 1;
    if (RYX_OpenA("/nonexistent/ryx-consumer-port", &handle) != RYX_ERROR_FILE_NOT_FOUND) return 2;
    if (RYX_GetNumSlots(handle, &slots) != RYX_ERROR_INVALID_HANDLE) return 3;
    if (RYX_GetTimeouts(handle, &timeouts) != RYX_ERROR_INVALID_HANDLE) return 4;
    if (RYX_Close(handle) != RYX_ERROR_INVALID_HANDLE) return 5;
    puts("consumer: OK");
    return 0;
}
