/* A C99 program using the installed header and library. Without arguments it checks the calls that need no
 * reader; given a port (a simulated reader's), it reads file 0101 of the simulator's built-in card through it. */
#include <ryx.h>
#include <stdio.h>
#include <string.h>

static int ReadSimulatorCard(const char* port) {
    static const uint8_t select[] = {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x01, 0x01};
    static const uint8_t read[] = {0x00, 0xB0, 0x00, 0x00, 0x10};
    RYX_HANDLE handle = 0;
    uint8_t atr[64];
    uint8_t response[258];
    uint32_t atrLength = sizeof atr;
    uint32_t responseLength = sizeof response;
    uint32_t slots = 0;
    if (RYX_OpenA(port, &handle) != RYX_SUCCESS) return 10;
    if (RYX_GetNumSlots(handle, &slots) != RYX_SUCCESS || slots != 2) return 11;
    if (RYX_PowerOnIcc(handle, 0, atr, &atrLength) != RYX_SUCCESS || atrLength != 9) return 12;
    if (RYX_ExchangeApdu(handle, 0, select, sizeof select, response, &responseLength) != RYX_SUCCESS) return 13;
    if (responseLength != 2 || response[0] != 0x90 || response[1] != 0x00) return 14;
    responseLength = sizeof response;
    if (RYX_ExchangeApdu(handle, 0, read, sizeof read, response, &responseLength) != RYX_SUCCESS) return 15;
    if (responseLength != 18 || memcmp(response, "RYX SIM CARD 1.0\x90\x00", 18) != 0) return 16;
    if (RYX_Close(handle) != RYX_SUCCESS) return 17;
    puts("consumer: read the card");
    return 0;
}

int main(int argc, char** argv) {
    RYX_HANDLE handle = 0;
    LinkTimeouts timeouts = {0, 0, 0, 0};
    uint32_t slots = 0;
    if (argc > 1) return ReadSimulatorCard(argv[1]);
    if (RYX_OpenA(NULL, &handle) != RYX_ERROR_INVALID_PARAMETER) return 1;
    if (RYX_OpenA("/nonexistent/ryx-consumer-port", &handle) != RYX_ERROR_FILE_NOT_FOUND) return 2;
    if (RYX_GetNumSlots(handle, &slots) != RYX_ERROR_INVALID_HANDLE) return 3;
    if (RYX_GetTimeouts(handle, &timeouts) != RYX_ERROR_INVALID_HANDLE) return 4;
    if (RYX_Close(handle) != RYX_ERROR_INVALID_HANDLE) return 5;
    puts("consumer: OK");
    return 0;
}
