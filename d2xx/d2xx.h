/* The D2XX-shaped driver interface that the probe link calls.
 *
 * Exactly one implementation of these functions is linked into a program:
 * talviro_d2xx_ftdi (real probes through libftdi1, Linux),
 * talviro_d2xx_windows (the chip vendor's ftd2xx.dll, loaded at run time) or
 * talviro_d2xx_sim (the simulated probe). Every function returns FT_OK on
 * success and a non-zero status on failure; a call on a closed or unknown
 * handle returns FT_INVALID_HANDLE and never dereferences it.
 *
 * The types match the vendor's published D2XX interface on 64-bit Windows,
 * so the Windows backend hands its arguments to ftd2xx.dll unchanged: DWORD,
 * ULONG and FT_STATUS are 32 bits (uint32_t), UCHAR is uint8_t, FT_HANDLE
 * and LPVOID are pointers, and x64 has a single calling convention. */
#ifndef TALVIRO_D2XX_D2XX_H
#define TALVIRO_D2XX_D2XX_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef void*    FT_HANDLE;
typedef uint32_t FT_STATUS;

enum {
    FT_OK = 0,
    FT_INVALID_HANDLE = 1,
    FT_DEVICE_NOT_FOUND = 2,
    FT_DEVICE_NOT_OPENED = 3,
    FT_IO_ERROR = 4,
    /* This interface's own, beyond the vendor's statuses: no driver library
     * could be loaded, so no device can be seen. */
    FT_DRIVER_NOT_LOADED = 0x100
};

/* FT_OpenEx flags: arg is a NUL-terminated channel serial number (as
 * FT_GetDeviceInfo reports it, channel letter included) or description, or
 * (FT_OPEN_BY_LOCATION) a channel's location as FT_GetDeviceInfoDetail
 * gives it, cast to the pointer. */
enum { FT_OPEN_BY_SERIAL_NUMBER = 1, FT_OPEN_BY_DESCRIPTION = 2, FT_OPEN_BY_LOCATION = 4 };

/* Locations as the libftdi layer gives them: where a channel is plugged in,
 * which a replug at the same port keeps. The USB bus number in the top byte;
 * the ports on the way from the root hub (1 to 31, at most four), the first
 * in bits 19-23 and each next one 5 bits lower, 0 after the last; the
 * channel index + 1 (0: the whole chip) in the low 4 bits. 0: the layer
 * cannot tell. The vendor's driver numbers its locations its own way. */
enum {
    FT_LOCATION_BUS_SHIFT = 24,
    FT_LOCATION_FIRST_PORT_SHIFT = 19,
    FT_LOCATION_PORT_BITS = 5,
    FT_LOCATION_MAX_PORTS = 4,
    FT_LOCATION_CHANNEL_MASK = 0x0F
};

/* FT_GetDeviceInfoDetail flags. FT_FLAGS_OPENED: the channel is held, by this
 * process or another. FT_FLAGS_NO_PERMISSION is this driver layer's own: a
 * chip this user may not open. It cannot tell its channels apart without
 * opening it, so it is one entry, with empty serial and description. */
enum { FT_FLAGS_OPENED = 1, FT_FLAGS_NO_PERMISSION = 0x100 };

/* FT_SetBitMode modes. */
enum { FT_BITMODE_RESET = 0x00, FT_BITMODE_MPSSE = 0x02 };

/* FT_Purge masks: bytes received from the chip and not yet read, bytes
 * written and not yet sent to it. */
enum { FT_PURGE_RX = 1, FT_PURGE_TX = 2 };

/* FT_GetDeviceInfo device types. */
enum { FT_DEVICE_2232C = 4, FT_DEVICE_2232H = 6 };

/* Buffer sizes FT_GetDeviceInfo writes into. */
enum { FT_SERIAL_NUMBER_SIZE = 16, FT_DESCRIPTION_SIZE = 64 };

/* Opens the channel whose description (FT_OPEN_BY_DESCRIPTION) or serial
 * number (FT_OPEN_BY_SERIAL_NUMBER) is arg. A description is, on a
 * dual-channel chip, the USB product string followed by " A" or " B". Fails
 * with a non-zero status when nothing matches or the channel is already
 * open; *handle is then untouched. */
FT_STATUS FT_OpenEx(void* arg, uint32_t flags, FT_HANDLE* handle);

FT_STATUS FT_SetLatencyTimer(FT_HANDLE handle, uint8_t timer_ms);
FT_STATUS FT_GetLatencyTimer(FT_HANDLE handle, uint8_t* timer_ms);

/* Bounds every later FT_Read / FT_Write on this handle. */
FT_STATUS FT_SetTimeouts(FT_HANDLE handle, uint32_t read_ms, uint32_t write_ms);

/* FT_BITMODE_MPSSE makes the channel interpret written bytes as MPSSE commands. */
FT_STATUS FT_SetBitMode(FT_HANDLE handle, uint8_t mask, uint8_t mode);

/* Takes a new list of the channels on the system, replacing the last one,
 * and writes how many there are into *count. Two channels of one chip are
 * two entries. To tell whether another program holds a channel that has no
 * kernel driver bound, the libftdi layer claims it for an instant. */
FT_STATUS FT_CreateDeviceInfoList(uint32_t* count);

/* Entry index of the last FT_CreateDeviceInfoList, as it was then: flags
 * (FT_FLAGS_*), type and id as FT_GetDeviceInfo gives them, location (where
 * the chip sits on the USB; 0 where the driver cannot tell), serial (16
 * bytes) and description (64 bytes) NUL-terminated, and the handle of this
 * process that holds the channel (null when none does). Any pointer may be
 * null. An index past the list gives FT_DEVICE_NOT_FOUND. */
FT_STATUS FT_GetDeviceInfoDetail(uint32_t index, uint32_t* flags, uint32_t* type, uint32_t* id,
                                 uint32_t* location, char* serial, char* description,
                                 FT_HANDLE* handle);

/* Writes the channel's serial number NUL-terminated into serial (16 bytes;
 * chip serial plus channel letter, cut to 15 bytes), the description into
 * description (64 bytes), the chip type and id (vendor << 16 | product).
 * Any pointer may be null. */
FT_STATUS FT_GetDeviceInfo(FT_HANDLE handle, uint32_t* type, uint32_t* id,
                           char* serial, char* description, void* reserved);

/* Returns when count bytes are sent or the write time-out has run out;
 * *written says how many were sent. Once waits are abandoned (abandon.h) a
 * driver layer may return so early from a write the chip does not take. */
FT_STATUS FT_Write(FT_HANDLE handle, void* data, uint32_t count, uint32_t* written);

/* Blocks until count bytes have arrived or the read time-out has run out;
 * at the time-out it returns FT_OK with *returned < count. Once waits are
 * abandoned (abandon.h) it returns so, early, when an attempt brings
 * nothing. */
FT_STATUS FT_Read(FT_HANDLE handle, void* data, uint32_t count, uint32_t* returned);

/* *rx_bytes: bytes the driver has received from the channel and no FT_Read
 * has taken yet. It does not ask the chip for more. */
FT_STATUS FT_GetQueueStatus(FT_HANDLE handle, uint32_t* rx_bytes);

/* Discards what the mask names (FT_PURGE_RX, FT_PURGE_TX or both) in the
 * driver and in the chip: answers a lost session left behind must not be
 * taken for those of the next command. */
FT_STATUS FT_Purge(FT_HANDLE handle, uint32_t mask);

/* Releases the handle; later calls with it return FT_INVALID_HANDLE. */
FT_STATUS FT_Close(FT_HANDLE handle);

#ifdef __cplusplus
}
#endif

#endif
