/*
 * ryx.h - driver library for smart-card readers on a serial line.
 *
 * Contract
 * --------
 * Handles. RYX_OpenA/RYX_OpenW return an opaque RYX_HANDLE for one reader on one serial port. A handle is valid
 * from a successful open until RYX_Close; handles are never reused within a process, so a stale handle always gets
 * RYX_ERROR_INVALID_HANDLE. The library owns everything behind a handle; the caller owns every buffer it passes.
 * The library never hands out memory and never keeps a pointer to a caller's buffer after a call returns.
 *
 * Status codes. Every function returns a uint32_t: 0 on success, otherwise one of the codes below, grouped by
 * who is at fault:
 *   - the caller:  RYX_ERROR_INVALID_HANDLE (6), RYX_ERROR_INVALID_PARAMETER (87), RYX_ERROR_INVALID_NAME (123),
 *                  RYX_ERROR_INSUFFICIENT_BUFFER (122: a reply is longer than the buffer meant for it);
 *   - the line or the reader: RYX_ERROR_GEN_FAILURE (31: no valid frame, wrong reply, reader not identified,
 *                  line-speed change not confirmed);
 *   - the card:    RYX_W_* codes, RYX_E_PROTO_MISMATCH, RYX_ERROR_TIMEOUT (1460, mute card). The card functions
 *                  report no card as RYX_W_REMOVED_CARD and an unusable ATR as RYX_W_UNSUPPORTED_CARD; only
 *                  RYX_PowerOnIcc reports a mute card as RYX_W_UNRESPONSIVE_CARD, the others return 1460.
 *                  RYX_Control translates nothing: it reports RYX_ERROR_NO_MEDIA_IN_DRIVE (1112) and 1460 as is;
 *   - the system:  the code of a failed port operation (open, line settings), see "Port errors" below;
 *   - memory:      RYX_ERROR_NOT_ENOUGH_MEMORY (8).
 *
 * Port errors. On Linux, a failed port operation reports its errno as a Win32-style number: ENOENT, ENXIO, ENODEV
 * give 2 (RYX_ERROR_FILE_NOT_FOUND); EACCES, EPERM, EBUSY and a port locked by another open give 5
 * (RYX_ERROR_ACCESS_DENIED); ENOTTY (not a serial device) and a line setting the device refuses give 87; EIO gives
 * 1117 (RYX_ERROR_IO_DEVICE); ENOMEM gives 8; any other errno e gives RYX_ERROR_SYSTEM_BIT | e.
 *
 * What is written on failure. Out-values and buffers are written only on success, except where a function says
 * otherwise: RYX_PowerOnIcc reports the needed ATR size; RYX_GetBaudRate stores 0; RYX_GetIccStatus stores
 * RYX_ICC_UNKNOWN; the optional out-values of RYX_SetProtocol and RYX_Control are set to 0 on every failure.
 * A failed handle or argument check changes nothing else.
 *
 * Threads. Any thread may call any function. Calls on one reader are serialised (each holds the reader for the
 * whole operation, retries and waits included); calls on different readers run in parallel. RYX_Close may be
 * called while other calls on the handle run: the reader's memory lives until the last of them returns. Once
 * RYX_Close has begun, every call that looks the handle up, or that was still waiting for the reader when the
 * close was done, returns RYX_ERROR_INVALID_HANDLE and touches nothing; of two RYX_Close calls on one handle, one
 * returns RYX_SUCCESS and the other RYX_ERROR_INVALID_HANDLE.
 *
 * Late answers. A reader answers every frame it takes, however late. No late answer is ever returned as a reply:
 * after a message that may still be answered (a status wait timed out, a frame came incomplete, its last response
 * attempt failed, or its reply was refused) the next message first lets the line fall quiet, reading and
 * discarding until nothing has arrived for as long as the reader's longest frame takes at the current rate (50 ms
 * at least, 1 s of draining at most); a status wait that receives bytes of another frame does the same before the
 * command frame goes out again. A call whose messages succeed at once pays nothing for this.
 *
 * Repeated command frames. When a status frame is lost, the library sends the same command frame again (same
 * bytes, same bSeq). With a reader that answers such a repeat as a retransmission (the status and its last
 * response again, nothing executed, as ryx_sim does) a caller can rely on every command running once and every
 * successful response being the card's answer to it. With a reader that executes a repeat again, a command whose
 * status was lost may run twice on the card (harmful for a command that changes the card, such as a write or a
 * counter), and the blocks of a chained response may then come from two runs of it: the response is still that of
 * the command sent, but a card whose answers differ between runs can make it a mix of the two. Nothing on the line
 * lets the library tell the two kinds of reader apart.
 *
 * Blocking. Calls that talk to the reader block until the reader answers or the link time-outs run out: each
 * message makes up to statusRetries + 1 command attempts and then up to responseRetries + 1 response attempts, and
 * every wait for the reader's next bytes in them lasts up to statusTimeout or responseTimeout ms, rounded up to
 * whole 500 ms slices (see LinkTimeouts); a reader that stays silent costs (statusRetries + 1) status waits per
 * message, and each wait for a quiet line (see "Late answers") up to 1 s more. Opening scans ten line speeds with
 * short time-outs and takes about ten seconds when no reader answers.
 */
#ifndef RYX_H
#define RYX_H

#include <stdint.h>

#if defined(_WIN32)
#if defined(RYX_BUILDING_LIBRARY)
#define RYX_API __declspec(dllexport)
#else
#define RYX_API __declspec(dllimport)
#endif
#define RYX_CALL __stdcall
#else
#define RYX_API __attribute__((visibility("default")))
#define RYX_CALL
#endif

#ifdef __cplusplus
#define RYX_NOEXCEPT noexcept
extern "C" {
#else
#define RYX_NOEXCEPT
#endif

/* Library version. The build refuses to configure when these differ from the project version; the major number is
 * the shared library's SONAME version. */
#define RYX_VERSION_MAJOR 1
#define RYX_VERSION_MINOR 0
#define RYX_VERSION_PATCH 1

/** The longest ATR the library takes: an ATR buffer of this size always suffices for RYX_PowerOnIcc. */
#define RYX_MAX_ATR_SIZE 64u

/** Opaque reader handle; pointer-sized. Never dereference it. */
typedef struct RYX_READER_* RYX_HANDLE;

/** UTF-16 code unit of the names taken by RYX_OpenW. */
#ifdef __cplusplus
typedef char16_t RYX_WCHAR;
#else
typedef uint_least16_t RYX_WCHAR;
#endif

/**
 * Link time-outs and retries of one reader. After an open: 2000, 1, 10000, 1.
 * A retry count n gives n + 1 attempts. Time-outs are honoured in whole 500 ms slices (0 gives one slice).
 */
typedef struct LinkTimeouts {
    uint32_t statusTimeout;   /**< ms to wait for the reader's 4-byte acknowledgement of a command frame */
    uint32_t statusRetries;   /**< further command attempts after a missing or refusing acknowledgement */
    uint32_t responseTimeout; /**< ms to wait for each part of the response frame */
    uint32_t responseRetries; /**< further requests to repeat a damaged or incomplete response */
} LinkTimeouts;

/* Status codes: the Win32 numbers the library returns, under this library's prefix. */
#define RYX_SUCCESS 0u
#define RYX_ERROR_FILE_NOT_FOUND 2u /**< no such serial port */
#define RYX_ERROR_ACCESS_DENIED 5u  /**< port in use or not permitted */
#define RYX_ERROR_INVALID_HANDLE 6u /**< handle not open */
#define RYX_ERROR_NOT_ENOUGH_MEMORY 8u
#define RYX_ERROR_GEN_FAILURE 31u /**< no valid frame or reply from the reader */
#define RYX_ERROR_INVALID_PARAMETER 87u
#define RYX_ERROR_INSUFFICIENT_BUFFER 122u
#define RYX_ERROR_INVALID_NAME 123u       /**< RYX_OpenW: the name is not well-formed UTF-16 */
#define RYX_ERROR_NO_MEDIA_IN_DRIVE 1112u /**< no card (RYX_Control only; card functions: RYX_W_REMOVED_CARD) */
#define RYX_ERROR_IO_DEVICE 1117u
#define RYX_ERROR_TIMEOUT 1460u            /**< mute card */
#define RYX_ERROR_UNRECOGNIZED_MEDIA 1785u /**< malformed ATR (card functions: RYX_W_UNSUPPORTED_CARD) */
#define RYX_ERROR_SYSTEM_BIT 0x20000000u   /**< set on other system errors: the low bits are the errno */

/* The library's own codes. */
#define RYX_E_PROTO_MISMATCH 0xA010000Fu    /**< the card offers no protocol the caller accepts */
#define RYX_W_UNSUPPORTED_CARD 0xA0100065u  /**< the card's ATR cannot be used */
#define RYX_W_UNRESPONSIVE_CARD 0xA0100066u /**< the card did not answer the reset */
#define RYX_W_UNPOWERED_CARD 0xA0100067u    /**< the card in the slot is not powered */
#define RYX_W_REMOVED_CARD 0xA0100069u      /**< there is no card in the slot */

/* RYX_SetProtocol preferredProtocols flags. */
#define RYX_PROTOCOL_T0 0x00000001u
#define RYX_PROTOCOL_T1 0x00000002u
#define RYX_PROTOCOL_DEFAULT_SPEED 0x80000000u /**< keep Fi 1 / Di 1 and do not retry after a power cycle */

/* RYX_Control control code. */
#define RYX_CONTROL_ESCAPE 3500u

/* RYX_GetIccStatus values. */
#define RYX_ICC_UNKNOWN 0u /**< not determined */
#define RYX_ICC_ABSENT 1u  /**< no card in the slot */
#define RYX_ICC_PRESENT 2u /**< card present, not active */
#define RYX_ICC_POWERED 3u /**< card present and powered */

/**
 * Opens the reader on a serial port and identifies it.
 *
 * Opens portName (the device path, e.g. "/dev/ttyS0", passed unchanged) for exclusive use at 9600 bit/s 8N1,
 * then asks the reader for its firmware version at each line speed of the rate table (9600 ... 500000) until it
 * names a known model; the port stays at the speed where the reader answered.
 * @param portName NUL-terminated device name; must not be NULL.
 * @param handle   receives the handle on success only; must not be NULL.
 * @return RYX_SUCCESS; RYX_ERROR_INVALID_PARAMETER for a NULL argument; RYX_ERROR_NOT_ENOUGH_MEMORY; the port's
 *         error (RYX_ERROR_FILE_NOT_FOUND, RYX_ERROR_ACCESS_DENIED, RYX_ERROR_INVALID_PARAMETER, ...);
 *         RYX_ERROR_GEN_FAILURE when no speed gave a known model (or the code of the last attempt at 500000 bit/s).
 *         Blocks up to about ten seconds with no reader.
 */
RYX_API uint32_t RYX_CALL RYX_OpenA(const char* portName, RYX_HANDLE* handle) RYX_NOEXCEPT;

/**
 * As RYX_OpenA with a NUL-terminated UTF-16 name. On Linux the name is converted to UTF-8 for the device path;
 * an ill-formed name (an unpaired surrogate) gives RYX_ERROR_INVALID_NAME without touching any device.
 */
RYX_API uint32_t RYX_CALL RYX_OpenW(const RYX_WCHAR* portName, RYX_HANDLE* handle) RYX_NOEXCEPT;

/**
 * Powers every slot off (results ignored) and closes the port; the reader's memory goes when the last call still
 * using it returns. The handle is invalid from the moment the close begins (see "Threads").
 * @return RYX_SUCCESS once the handle is found, whatever the reader does (an unplugged reader only makes it
 *         slower); RYX_ERROR_INVALID_HANDLE.
 */
RYX_API uint32_t RYX_CALL RYX_Close(RYX_HANDLE handle) RYX_NOEXCEPT;

/**
 * Number of card slots (2 or 3, by model). Sends nothing.
 * @param slotCount out; must not be NULL.
 * @return RYX_SUCCESS, RYX_ERROR_INVALID_HANDLE, RYX_ERROR_INVALID_PARAMETER.
 */
RYX_API uint32_t RYX_CALL RYX_GetNumSlots(RYX_HANDLE handle, uint32_t* slotCount) RYX_NOEXCEPT;

/**
 * The line speed at which the host's port runs, in bit/s. Sends nothing.
 * @param baudRate out; must not be NULL; receives 0 when the port's settings cannot be read.
 * @return RYX_SUCCESS, RYX_ERROR_INVALID_HANDLE, RYX_ERROR_INVALID_PARAMETER, or the port's error.
 */
RYX_API uint32_t RYX_CALL RYX_GetBaudRate(RYX_HANDLE handle, uint32_t* baudRate) RYX_NOEXCEPT;

/**
 * Changes the line speed on both ends: checks that the host port accepts the rate, asks the reader to switch, then
 * moves the port. baudRate must be one of 9600, 19200, 38400, 57600, 115200, 128000, 230400, 250000, 256000, 500000.
 * @return RYX_SUCCESS (also when the rate is already in force: nothing is sent); RYX_ERROR_INVALID_HANDLE;
 *         RYX_ERROR_INVALID_PARAMETER (rate not in the table); the port's error when the host port refuses the rate
 *         (the reader is not asked); a link error (the port stays at the old rate); RYX_ERROR_GEN_FAILURE when the
 *         reader answered without confirming (the port is nevertheless at the new rate).
 */
RYX_API uint32_t RYX_CALL RYX_SetBaudRate(RYX_HANDLE handle, uint32_t baudRate) RYX_NOEXCEPT;

/**
 * Copies the reader's link time-outs.
 * @param timeouts out; must not be NULL.
 * @return RYX_SUCCESS, RYX_ERROR_INVALID_HANDLE, RYX_ERROR_INVALID_PARAMETER.
 */
RYX_API uint32_t RYX_CALL RYX_GetTimeouts(RYX_HANDLE handle, LinkTimeouts* timeouts) RYX_NOEXCEPT;

/**
 * Sets the reader's link time-outs from the next exchange on. Any values are accepted, 0 included.
 * @param timeouts in; must not be NULL.
 * @return RYX_SUCCESS, RYX_ERROR_INVALID_HANDLE, RYX_ERROR_INVALID_PARAMETER.
 */
RYX_API uint32_t RYX_CALL RYX_SetTimeouts(RYX_HANDLE handle, const LinkTimeouts* timeouts) RYX_NOEXCEPT;

/**
 * Powers the card in a slot on and returns its ATR (at most RYX_MAX_ATR_SIZE bytes). The ATR is kept for
 * RYX_SetProtocol.
 * @param slot            below the slot count.
 * @param atrBuffer       receives the ATR; may be NULL (only the length is reported).
 * @param atrBufferLength in: the size of atrBuffer; out: the ATR length; must not be NULL.
 * @return RYX_SUCCESS; RYX_ERROR_INVALID_HANDLE; RYX_ERROR_INVALID_PARAMETER; RYX_ERROR_INSUFFICIENT_BUFFER when
 *         the ATR is longer than *atrBufferLength: the card stays powered, nothing is copied and *atrBufferLength
 *         holds the size needed. On any other failure *atrBufferLength is 0 and the card counts as not powered:
 *         RYX_W_UNRESPONSIVE_CARD (mute card), RYX_W_REMOVED_CARD (no card), RYX_ERROR_GEN_FAILURE,
 *         RYX_ERROR_NOT_ENOUGH_MEMORY, RYX_ERROR_INSUFFICIENT_BUFFER (an ATR over RYX_MAX_ATR_SIZE bytes).
 */
RYX_API uint32_t RYX_CALL RYX_PowerOnIcc(RYX_HANDLE handle, uint32_t slot, uint8_t* atrBuffer,
                                         uint32_t* atrBufferLength) RYX_NOEXCEPT;

/**
 * Powers the card in a slot off. The slot counts as not powered afterwards, whatever the reader answered.
 * @return RYX_SUCCESS, RYX_ERROR_INVALID_HANDLE, RYX_ERROR_INVALID_PARAMETER, RYX_W_REMOVED_CARD,
 *         RYX_ERROR_TIMEOUT, RYX_ERROR_GEN_FAILURE, RYX_ERROR_INSUFFICIENT_BUFFER (a reply longer than a slot status),
 *         RYX_ERROR_NOT_ENOUGH_MEMORY.
 */
RYX_API uint32_t RYX_CALL RYX_PowerOffIcc(RYX_HANDLE handle, uint32_t slot) RYX_NOEXCEPT;

/**
 * Selects T=0 or T=1 for the powered card in a slot, at a speed taken from its ATR and the slot's limits.
 * @param preferredProtocols RYX_PROTOCOL_T0 and/or RYX_PROTOCOL_T1 (at least one), optionally with
 *        RYX_PROTOCOL_DEFAULT_SPEED. When both are acceptable and the card offers both, T=1 is chosen. A card
 *        whose parameters can be negotiated gets one power cycle and a second attempt if the reader refuses the
 *        first (not with RYX_PROTOCOL_DEFAULT_SPEED).
 * @param activeProtocol optional out: RYX_PROTOCOL_T0 or RYX_PROTOCOL_T1 on success, 0 on every failure.
 * @return RYX_SUCCESS; RYX_ERROR_INVALID_HANDLE; RYX_ERROR_INVALID_PARAMETER; RYX_W_UNPOWERED_CARD (power the
 *         card on first); RYX_W_UNSUPPORTED_CARD (unusable ATR); RYX_E_PROTO_MISMATCH (nothing is sent);
 *         RYX_W_REMOVED_CARD; RYX_W_UNRESPONSIVE_CARD (the retry's power-on); RYX_ERROR_TIMEOUT;
 *         RYX_ERROR_GEN_FAILURE; RYX_ERROR_INSUFFICIENT_BUFFER (a reply longer than the reader's parameters);
 *         RYX_ERROR_NOT_ENOUGH_MEMORY.
 */
RYX_API uint32_t RYX_CALL RYX_SetProtocol(RYX_HANDLE handle, uint32_t slot, uint32_t preferredProtocols,
                                          uint32_t* activeProtocol) RYX_NOEXCEPT;

/**
 * Reads the state of the card in a slot.
 * @param iccStatus out; must not be NULL: RYX_ICC_UNKNOWN, _ABSENT, _PRESENT or _POWERED; RYX_ICC_UNKNOWN when
 *        the exchange fails. An absent card also ends the slot's powered state.
 * @return RYX_SUCCESS, RYX_ERROR_INVALID_HANDLE, RYX_ERROR_INVALID_PARAMETER, RYX_W_REMOVED_CARD,
 *         RYX_ERROR_TIMEOUT, RYX_ERROR_GEN_FAILURE, RYX_ERROR_INSUFFICIENT_BUFFER (a reply longer than a slot status),
 *         RYX_ERROR_NOT_ENOUGH_MEMORY.
 */
RYX_API uint32_t RYX_CALL RYX_GetIccStatus(RYX_HANDLE handle, uint32_t slot, uint32_t* iccStatus) RYX_NOEXCEPT;

/**
 * Sends one command APDU and receives its response APDU; either may be of any length (the library chains blocks).
 * The command is sent whether or not the card was powered through this library.
 * @param command        must not be NULL; commandLength must not be 0.
 * @param response       must not be NULL.
 * @param responseLength in: the size of response, not 0; out: the response length, on success only.
 * @return RYX_SUCCESS; RYX_ERROR_INVALID_HANDLE; RYX_ERROR_INVALID_PARAMETER; RYX_ERROR_INSUFFICIENT_BUFFER (the
 *         response does not fit: nothing of it is reported); RYX_W_REMOVED_CARD; RYX_ERROR_TIMEOUT;
 *         RYX_ERROR_GEN_FAILURE; RYX_ERROR_NOT_ENOUGH_MEMORY.
 */
RYX_API uint32_t RYX_CALL RYX_ExchangeApdu(RYX_HANDLE handle, uint32_t slot, const uint8_t* command,
                                           uint32_t commandLength, uint8_t* response,
                                           uint32_t* responseLength) RYX_NOEXCEPT;

/**
 * Passes an escape command to the reader and returns its reply.
 * @param controlCode   must be RYX_CONTROL_ESCAPE.
 * @param inBuffer      the command bytes; must not be NULL; inLength not 0; the first byte must not be 0x44
 *                      (the line-speed escape belongs to RYX_SetBaudRate).
 * @param outBuffer     receives the reply; must not be NULL; outSize (its size) not 0.
 * @param bytesReturned optional out: the reply length on success, 0 on every failure.
 * @return RYX_SUCCESS; RYX_ERROR_INVALID_HANDLE; RYX_ERROR_INVALID_PARAMETER; RYX_ERROR_INSUFFICIENT_BUFFER (reply
 *         longer than outSize); RYX_ERROR_NO_MEDIA_IN_DRIVE and RYX_ERROR_TIMEOUT unchanged; RYX_ERROR_GEN_FAILURE;
 *         RYX_ERROR_NOT_ENOUGH_MEMORY.
 */
RYX_API uint32_t RYX_CALL RYX_Control(RYX_HANDLE handle, uint32_t slot, uint32_t controlCode, const uint8_t* inBuffer,
                                      uint32_t inLength, uint8_t* outBuffer, uint32_t outSize,
                                      uint32_t* bytesReturned) RYX_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif /* RYX_H */
