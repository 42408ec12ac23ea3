/*
 * Vantor token client library: the public calls.
 *
 * A caller lists the attached tokens into an array of device contexts, opens
 * one, sends control requests on it and closes it:
 *
 *   uint32_t length = 0;
 *   VXListDevices(NULL, &length);            // 17 and the needed length,
 *                                            // or 0 and 0 with no token
 *   VXContext* list = malloc(length);
 *   VXListDevices(list, &length);            // one context per token
 *   VXOpenDevice(&list[0]);
 *   VXControl(&list[0], VX_SET_DEVICE_MODE, block, 16, block, 251, &n);
 *   VXCloseDevice(&list[0]);
 *
 * ABI conventions
 * - Every call returns a 32-bit result code (VX_SUCCESS or one of the codes
 *   below, a card status word SW1 * 256 + SW2, or a run status in bits 16 to
 *   23) and never throws; an unexpected internal failure is answered with
 *   VX_COMM_ERROR.
 * - The caller owns the device contexts, the records and every buffer it
 *   passes. The library keeps no pointer to any of them after a call returns
 *   and never hands out memory of its own.
 * - Every call checks in one order: first the context record (absent, not
 *   listed, never opened or closed: VX_INVALID_PARAMETER), then its other
 *   arguments (each call says which results they give), then whether the
 *   context still holds its connection (a stale context, below:
 *   VX_INVALID_PARAMETER), and only then does it send anything to the
 *   token. So a removed token is never reported as a token's answer (not
 *   at the root, not supported). The one check that follows a token's
 *   answer is VXMakeDirectory's smallest size for an application
 *   directory, which comes after the root check, as its result order says.
 * - Out-parameters are written only on success, with these exceptions:
 *   - VX_BUFFER_TOO_SMALL: VXListDevices writes the needed length, and so
 *     does VXControl with VX_SET_DEVICE_MODE where a returned-length
 *     pointer is given;
 *   - VXListDevices without an array but with a length large enough for
 *     the listed tokens writes the needed length and returns
 *     VX_INVALID_PARAMETER;
 *   - VXControl with VX_GET_FREE_SPACE writes the device type into the
 *     first output byte before it finds that the token has no free space to
 *     tell (VX_WRONG_DEVICE_TYPE) or that a one-byte output is too small
 *     (VX_BUFFER_TOO_SMALL).
 * - Where VXControl is given no returned-length pointer, a response longer
 *   than the output capacity of VX_SET_DEVICE_MODE is dropped and the call
 *   still succeeds (the request itself was carried out).
 * - A failing call leaves the context as it was, with one exception: the
 *   close of a stale context (below) marks it closed.
 * - VXControl reads all of `input` before it writes `output`, so both may
 *   point into the same block.
 * - Threads: a context is used by one thread at a time; calls on different
 *   contexts may come from different threads, on one token or on several.
 *   Every call on a token holds that token for its whole command sequence
 *   (a card call is several commands that depend on the token's current
 *   directory and file): calls on other contexts of the same token wait
 *   their turn, in the order they came, and never interleave with it;
 *   calls on other tokens never wait. A listing never waits for a card call
 *   and never resets an open token.
 * - The token's current directory, current file and presented PINs belong
 *   to the token, not to a context: another context's call between two of
 *   yours may change them. A caller who needs several calls to run
 *   undisturbed (enter a directory, present a PIN, store a file) opens the
 *   token exclusively (VXOpenDeviceEx with share mode 0).
 * - A context goes stale when its token is unplugged: every later call on it
 *   returns VX_INVALID_PARAMETER, VXCloseDevice included, and never reaches
 *   a token opened later. A call that finds the device gone (a token in HID
 *   mode whose report fails with "device not connected", say) returns
 *   VX_INVALID_PARAMETER itself and releases the token's listing entry at
 *   once, so the next listing no longer shows it. Until the stale context
 *   is closed the library keeps the gone device's handle open (unusable),
 *   so that the system cannot give its value to a new connection; one
 *   VXCloseDevice on the stale context releases it, however often the
 *   context was opened, and marks the context closed (hDevice 0xFFFFFFFF)
 *   while still returning VX_INVALID_PARAMETER; so does opening the
 *   context again (which then succeeds with a new connection).
 * - Opening one context twice holds two connections: the first
 *   VXCloseDevice keeps it open (hDevice unchanged, dwReserved1 one less,
 *   and every call works on it as before), the second closes it and sets
 *   hDevice to 0xFFFFFFFF. After every close that returns VX_SUCCESS and
 *   after the close of a stale context, hDevice tells whether the context
 *   is still open: 0xFFFFFFFF means closed, and a closed context takes only
 *   VXOpenDevice or VXOpenDeviceEx (while its token is listed) or a copy of
 *   a later listing. Connections are counted in the context
 *   itself: while it is open, dwReserved1 holds the number of connections
 *   it holds and dwReserved2 a serial number of the device's opening (the
 *   last close puts back 2 and 24000). A context may therefore be copied or
 *   moved (kept in a growing array, say) between its opens and closes; two
 *   copies of one open context are one set of connections, to be closed
 *   once. There is no limit on contexts per token.
 * - A token in HID mode whose answer is not ready yet (its read fails with
 *   error 121, a semaphore time-out) is read again for at most 30 seconds
 *   or 30,000 reads, whichever comes first; then the call returns
 *   VX_COMM_ERROR.
 * - Records are plain C structures of 32-bit words and bytes with natural
 *   alignment; their sizes are fixed (VXContext 92 bytes, VXOpenInfo 8,
 *   VXROOTINFO 12).
 */
#ifndef VANTOR_VANTOR_H_
#define VANTOR_VANTOR_H_

#include <stdint.h>

#include "vantor_types.h"

#if defined(_WIN32) && !defined(_WIN64)
#define VXAPI __stdcall
#else
#define VXAPI
#endif

#if defined(VANTOR_STATIC)
#define VX_EXPORT
#elif defined(_WIN32)
#if defined(VANTOR_BUILDING_DLL)
#define VX_EXPORT __declspec(dllexport)
#else
#define VX_EXPORT __declspec(dllimport)
#endif
#else
#define VX_EXPORT __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Control codes of VXControl: device control exchanges. */
#define VX_RESET_DEVICE 2u
#define VX_CONTROL_TYPE_4 4u
#define VX_SET_DEVICE_MODE 7u
#define VX_CONTROL_TYPE_8 8u
#define VX_CONTROL_TYPE_4_DATA 40u

/* Control codes of VXControl: card commands. */
#define VX_GET_DEVICE_TYPE 37u
#define VX_GET_SERIAL_NUMBER 38u
#define VX_GET_VM_TYPE 39u
#define VX_GET_FREE_SPACE 41u
#define VX_SET_DEVICE_ID 42u
#define VX_GET_DIRECTORY_FREE_SPACE 49u
#define VX_GET_FILE_INFO 50u

/* Directory kinds of VXMakeDirectory and VXMakeDirectoryEx. */
#define VX_ROOT_DIRECTORY 0xABu /* the root; id text "\\" */
#define VX_SUB_DIRECTORY 0xACu  /* under the current one; device type 0 */
#define VX_APP_DIRECTORY 0xADu  /* under the root; other device types */

/* PIN and key kinds of VXPresentPin and VXSetPinOrKey. */
#define VX_USER_PIN 0xA1u /* 8 bytes */
#define VX_DEV_PIN 0xA2u  /* 24 bytes, handled as three 8-byte parts */
#define VX_AUTH_KEY 0xA3u /* 8 or 16 bytes; VXSetPinOrKey only */

/* Operations of VXStoreFile (the low byte of its flags). */
#define VX_FILE_CREATE 0xA5u    /* a new file, with its first data if given */
#define VX_FILE_UPDATE 0xA6u    /* data into an existing file */
#define VX_FILE_RSA_PAIR 0xA7u  /* two key files and a key pair in them */
#define VX_FILE_SET_PARAM 0xA8u /* the current directory's parameter */
/* Options of VXStoreFile's flags for executable files. */
#define VX_EXE_ACCESS_FLAG 0x0100u  /* the alternative access bytes */
#define VX_EXE_ALLOW_FILLER 0x2000u /* a filler file may precede the file */
/* File types of VXStoreFile (the low byte of its last argument). */
#define VX_TYPE_RSA_PUBLIC 6u  /* 256-byte key source, stored in 136 bytes */
#define VX_TYPE_RSA_PRIVATE 7u /* 704-byte key source, stored in 330 */
#define VX_TYPE_EXE 8u         /* an executable file */
#define VX_TYPE_DATA 9u        /* the only type written at an offset */
#define VX_TYPE_EXE_EX 11u     /* an extended executable file; from 2.3.0 */
/* The largest file size, and the largest offset + data length. */
#define VX_MAX_FILE_SIZE 0x7FFFu
/* Key sources (the data given) and the smallest key files that hold them,
 * and the bytes an extended executable file needs beyond its data. */
#define VX_RSA_PUBLIC_SOURCE_SIZE 256u
#define VX_RSA_PRIVATE_SOURCE_SIZE 704u
#define VX_RSA_PUBLIC_FILE_SIZE 136u
#define VX_RSA_PRIVATE_FILE_SIZE 330u
#define VX_EXE_EX_OVERHEAD 126u

/* Modes of VXExecuteEx, and their input limits. */
#define VX_EXECUTE_BASIC 0u /* as VXExecute: the run status is split off */
#define VX_EXECUTE_BY_ID 1u /* the file named in the command; from 2.3.0 */
#define VX_EXECUTE_MAX_INPUT 250u
#define VX_EXECUTE_BY_ID_MAX_INPUT 248u

/* Lists the attached tokens. `length` is the size of `contexts` in bytes on
 * entry and 92 times the number of tokens on return. With too small a length
 * it returns VX_BUFFER_TOO_SMALL and writes the needed length; with no token
 * attached it returns VX_SUCCESS and a length of 0. */
VX_EXPORT uint32_t VXAPI VXListDevices(VXContext* contexts, uint32_t* length);

/* Opens the token of a listed context, shared with other shared opens. */
VX_EXPORT uint32_t VXAPI VXOpenDevice(VXContext* context);

/* Opens the token of a listed context with the share mode of `openInfo`.
 * VX_DEVICE_BUSY when the token is open exclusively, or open at all and
 * an exclusive open is asked for. */
VX_EXPORT uint32_t VXAPI VXOpenDeviceEx(VXContext* context,
                                        const VXOpenInfo* openInfo);

/* Closes an open context. The token's device is closed with its last open
 * context. */
VX_EXPORT uint32_t VXAPI VXCloseDevice(VXContext* context);

/* Sends a control request on an open context. `input` and `output` may be
 * absent where the code takes or gives no data; `returnedLength` may be
 * absent and receives the length the code produced. The card codes (37 to
 * 50) refuse an output too small for their fixed-size answer with
 * VX_BUFFER_TOO_SMALL before sending anything (VX_GET_DEVICE_TYPE with
 * capacity 0 included); VX_GET_FILE_INFO judges exactly its `inputLength`
 * bytes, which must be 4 hexadecimal digits (no terminator needed). */
VX_EXPORT uint32_t VXAPI VXControl(VXContext* context, uint32_t code,
                                   const uint8_t* input, uint32_t inputLength,
                                   uint8_t* output, uint32_t outputCapacity,
                                   uint32_t* returnedLength);

/* Creates a directory and its security files (key file, default PINs and
 * keys). The root takes the id text "\\" and ignores `size`; a
 * subdirectory (device type 0, at least 134 bytes) or an application
 * directory (other device types, created at the root, at least 988 bytes)
 * takes four hexadecimal digits other than "0000" and a size up to 0xFFFF.
 * Results in this order: an id of "0000", a stale context, an application
 * directory when the root is not current (VX_NOT_AT_ROOT), a size below
 * the smallest (VX_DIRECTORY_TOO_SMALL), an id that is not four digits or a
 * size above 0xFFFF, then the device type read from the token (a kind that
 * does not fit it: VX_INVALID_PARAMETER). A new subdirectory or application
 * directory is current afterwards.
 * A failure after the directory itself was created (its key file, PINs or
 * keys refused) leaves it on the token, unfinished: a second call then gets
 * the token's "exists" status 0x6A89. VXClearDirectory on it puts its
 * security files in place; the root is removed by clearing it. */
VX_EXPORT uint32_t VXAPI VXMakeDirectory(VXContext* context, const char* id,
                                         uint32_t size, uint32_t kind);

/* VXMakeDirectory; for the root it then presents the default developer PIN
 * and writes `rootInfo`'s device id (VX_SET_DEVICE_ID). When writing the id
 * fails, the new root is erased again and the id's failure is returned, or
 * VX_ROOT_NOT_REMOVED when the root could not be erased. `rootInfo` is read
 * for the root only. */
VX_EXPORT uint32_t VXAPI VXMakeDirectoryEx(VXContext* context, const char* id,
                                           uint32_t size, uint32_t kind,
                                           const VXROOTINFO* rootInfo);

/* Makes a directory current by a path (texts as C literals): "\\" the root;
 * "1A2B" a directory of the current one; "\\1A2B" or "1A2B\\" a directory of
 * the root;
 * "\\1A2B3C4D", "1A2B\\3C4D", "\\1A2B\\3C4D" or "1A2B\\3C4D\\" a directory
 * two levels below the root. Any other text is refused and nothing is
 * sent. */
VX_EXPORT uint32_t VXAPI VXEnterDirectory(VXContext* context, const char* path);

/* Erases the current directory's contents and puts its security files back;
 * erasing the root removes it. `reserved` must be 0. */
VX_EXPORT uint32_t VXAPI VXClearDirectory(VXContext* context,
                                          uint32_t reserved);

/* Presents a PIN of the current directory: VX_USER_PIN (8 bytes) or
 * VX_DEV_PIN (24 bytes). A wrong PIN gives the token's status word. */
VX_EXPORT uint32_t VXAPI VXPresentPin(VXContext* context, const uint8_t* pin,
                                      uint32_t length, uint32_t kind);

/* Changes a PIN of the current directory (VX_USER_PIN, VX_DEV_PIN: the old
 * and the new value) or replaces its authentication key (VX_AUTH_KEY: no
 * old value, a key of 8 or 16 bytes; not on device type 0). A developer-PIN
 * change that fails part-way sets the changed parts back; when that fails
 * too the result is VX_DEV_PIN_NOT_RESTORED. */
VX_EXPORT uint32_t VXAPI VXSetPinOrKey(VXContext* context,
                                       const uint8_t* oldValue,
                                       uint32_t oldLength,
                                       const uint8_t* newValue,
                                       uint32_t newLength, uint32_t kind);

/* Puts a file into the current directory; `flags`' low byte is the
 * operation:
 * - VX_FILE_CREATE: creates file `id` (four hexadecimal digits, no reserved
 *   id) of `fileType` and `fileSize` bytes and, when `data` is given, writes
 *   `dataLength` bytes at `offset` (type 9 only; key files take their key
 *   source whole). An executable file that would cross address 0x8000 on
 *   versions after 2.0.0 and before 2.3.0 needs VX_EXE_ALLOW_FILLER (a
 *   filler file is created in front of it), else VX_CROSSES_E2_BOUNDARY.
 * - VX_FILE_UPDATE: writes `data` into the existing file `id`; `fileSize`
 *   must be 0.
 * - VX_FILE_RSA_PAIR: `id` holds two ids (public key file, then private);
 *   creates both key files and has the token generate a key pair into
 *   them. No data, no size.
 * - VX_FILE_SET_PARAM: `fileSize` is the parameter (1 to 64); no id, no
 *   data; not on device type 0.
 * An RSA public key source whose exponent has a non-zero byte before its
 * last four is refused with VX_INVALID_PARAMETER (the token keeps a 4-byte
 * exponent; a longer one would be cut).
 * Sizes and offset + length above VX_MAX_FILE_SIZE give
 * VX_SIZE_OUT_OF_RANGE, before the context's connection is checked.
 * `count` (may be absent) receives the bytes written plus any filler
 * file's, 466 for a key pair, 1 for the parameter.
 * A VX_FILE_CREATE whose write fails after the file was created leaves the
 * file on the token (a second create gets 0x6A89): VX_FILE_UPDATE then
 * writes its content. A filler file likewise stays when the file after it
 * cannot be created. */
VX_EXPORT uint32_t VXAPI VXStoreFile(VXContext* context, const char* id,
                                     uint32_t offset, const uint8_t* data,
                                     uint32_t dataLength, uint32_t fileSize,
                                     uint32_t* count, uint32_t flags,
                                     uint32_t fileType);

/* Runs the executable file `id` (four hexadecimal digits) of the current
 * directory on device type 0 with up to VX_EXECUTE_MAX_INPUT input bytes.
 * A run that ends with status V other than 0 gives V * 0x10000 and no
 * output; an output larger than `outputSize` gives VX_BUFFER_TOO_SMALL.
 * `outputLength` (may be absent) is written on success only. */
VX_EXPORT uint32_t VXAPI VXExecute(VXContext* context, const char* id,
                                   const uint8_t* input, uint32_t inputLength,
                                   uint8_t* output, uint32_t outputSize,
                                   uint32_t* outputLength);

/* VXExecute in `mode` VX_EXECUTE_BASIC; VX_EXECUTE_BY_ID (version 2.3.0
 * on, up to VX_EXECUTE_BY_ID_MAX_INPUT input bytes) names the file in the
 * command and delivers all the token's answer as output. */
VX_EXPORT uint32_t VXAPI VXExecuteEx(VXContext* context, const char* id,
                                     uint32_t mode, const uint8_t* input,
                                     uint32_t inputLength, uint8_t* output,
                                     uint32_t outputSize,
                                     uint32_t* outputLength);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* VANTOR_VANTOR_H_ */
