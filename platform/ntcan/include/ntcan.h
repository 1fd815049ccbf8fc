/*
 * ntcan.h - C interface of the CAN driver.
 *
 * The project has two libntcan builds behind this header. The simulated
 * driver (platform/ntcan) provides virtual CAN nets inside the process
 * instead of talking to CAN hardware; tests steer it through the C++ control
 * interface in ntcan_sim.h, and the model below is its. The driver over
 * socketcand (platform/ntcan_socketcand) reaches CAN buses served on the
 * network; ntcan_socketcand.h says where it differs. Programs written
 * against this header run unchanged against either.
 *
 * Model
 *   - Nets 0 to 19 exist. A handle is opened on one net; handle numbers are
 *     greater than 0 and never reused within a process, so a stale handle
 *     is reported as NTCAN_INVALID_HANDLE instead of reaching another user.
 *   - Each handle has an 11-bit identifier filter (identifiers 0 to 0x7FF),
 *     empty when opened, and a receive queue of the size given to canOpen.
 *   - canSend puts frames on the handle's net: every other handle on that
 *     net whose filter holds the frame's identifier receives a copy, in the
 *     order sent. Remote requests (NTCAN_RTR in the length byte) travel the
 *     same way.
 *   - When a receive queue is full the newest frame is dropped; the number
 *     of frames dropped (at most 255) is reported in msg_lost of the next
 *     frame taken from that queue.
 *   - Bus timing is off by default: a frame reaches the other handles
 *     before canSend returns. With it on (ntcan_sim.h: set_bus_timing, or
 *     NTCAN_SIM_BUS_TIMING=1) canSend queues the frames on the handle, the
 *     net carries one frame at a time for its length in bits at the net's
 *     baud rate, the lowest identifier first among the frames waiting, and
 *     a frame reaches the other handles when its last bit is on the net.
 *
 * Every call returns an NTCAN status code, NTCAN_SUCCESS (0) on success.
 * Common to all calls:
 *   NTCAN_INVALID_HANDLE     the handle is unknown or already closed
 *   NTCAN_INVALID_PARAMETER  a null pointer, a frame count below 1, a data
 *                            length above 8 or an identifier above 0x7FF
 * Frame counts passed in *len must not exceed the caller's array; the
 * driver cannot check that.
 *
 * All calls may be made from any number of threads at once.
 */
#ifndef NTCAN_H
#define NTCAN_H

#include <stddef.h>
#include <stdint.h>

#if defined(__GNUC__)
#define NTCAN_EXPORT __attribute__((visibility("default")))
#else
#define NTCAN_EXPORT
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* A driver handle; NTCAN_NO_HANDLE (-1) means none. */
typedef int32_t NTCAN_HANDLE;
#define NTCAN_NO_HANDLE ((NTCAN_HANDLE)-1)

/* The status code every call returns. */
typedef int32_t NTCAN_RESULT;

/* One CAN frame. */
typedef struct {
  int32_t id;          /* CAN identifier, 0 to 0x7FF */
  uint8_t len;         /* data length 0..8 in the low nibble, NTCAN_RTR flag */
  uint8_t msg_lost;    /* received frames: frames dropped before this one */
  uint8_t reserved[2];
  uint8_t data[8];
} CMSG;

/* Length byte flag of a remote transmission request. */
#define NTCAN_RTR 0x10
/* Mask of the data length in the length byte. */
#define NTCAN_DLC_MASK 0x0F

/*
 * Baud-rate codes of canSetBaudrate: the bit rates in kbit/s. The baud rate
 * belongs to the net: a code set on any handle applies to all of them.
 */
#define NTCAN_BAUD_1000 0
#define NTCAN_BAUD_666  1  /* 666.6 kbit/s */
#define NTCAN_BAUD_500  2
#define NTCAN_BAUD_333  3  /* 333.3 kbit/s */
#define NTCAN_BAUD_250  4
#define NTCAN_BAUD_166  5  /* 166.6 kbit/s */
#define NTCAN_BAUD_125  6
#define NTCAN_BAUD_100  7
#define NTCAN_BAUD_66   8  /* 66.6 kbit/s */
#define NTCAN_BAUD_50   9
#define NTCAN_BAUD_33   10 /* 33.3 kbit/s */
#define NTCAN_BAUD_20   11
#define NTCAN_BAUD_12_5 12
#define NTCAN_BAUD_10   13
#define NTCAN_BAUD_800  14

/* Interface status reported by canStatus. */
typedef struct {
  uint16_t hardware;
  uint16_t firmware;
  uint16_t driver;
  uint16_t dll;
  uint32_t boardstatus;
  char boardid[14];
  uint16_t features;
} CAN_IF_STATUS;

#ifdef __cplusplus
static_assert(sizeof(CMSG) == 16, "CMSG must be 16 bytes");
static_assert(offsetof(CMSG, data) == 8, "CMSG data must start at byte 8");
static_assert(sizeof(CAN_IF_STATUS) == 28, "CAN_IF_STATUS must be 28 bytes");
static_assert(offsetof(CAN_IF_STATUS, boardstatus) == 8, "boardstatus at byte 8");
static_assert(offsetof(CAN_IF_STATUS, features) == 26, "features at byte 26");
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
_Static_assert(sizeof(CMSG) == 16, "CMSG must be 16 bytes");
_Static_assert(offsetof(CMSG, data) == 8, "CMSG data must start at byte 8");
_Static_assert(sizeof(CAN_IF_STATUS) == 28, "CAN_IF_STATUS must be 28 bytes");
_Static_assert(offsetof(CAN_IF_STATUS, boardstatus) == 8, "boardstatus at byte 8");
_Static_assert(offsetof(CAN_IF_STATUS, features) == 26, "features at byte 26");
#endif

/* Status codes. */
#define NTCAN_SUCCESS                0x0
#define NTCAN_RX_TIMEOUT             0x101
#define NTCAN_TX_TIMEOUT             0x102
#define NTCAN_TX_ERROR               0x104
#define NTCAN_CONTR_OFF_BUS          0x105
#define NTCAN_CONTR_BUSY             0x106
#define NTCAN_CONTR_WARN             0x107
#define NTCAN_NO_ID_ENABLED          0x109
#define NTCAN_ID_ALREADY_ENABLED     0x10A
#define NTCAN_ID_NOT_ENABLED         0x10B
#define NTCAN_INVALID_FIRMWARE       0x10D
#define NTCAN_MESSAGE_LOST           0x10E
#define NTCAN_INVALID_PARAMETER      0x16
#define NTCAN_INVALID_HANDLE         0x4D
#define NTCAN_NET_NOT_FOUND          0x13
#define NTCAN_INVALID_HARDWARE       0x10F
#define NTCAN_PENDING_WRITE          0x110
#define NTCAN_PENDING_READ           0x111
#define NTCAN_INVALID_DRIVER         0x112
#define NTCAN_OPERATION_ABORTED      0x4
#define NTCAN_WRONG_DEVICE_STATE     0x113
#define NTCAN_INSUFFICIENT_RESOURCES 0xC
#define NTCAN_SOCK_CONN_TIMEOUT      0x180
#define NTCAN_SOCK_CMD_TIMEOUT       0x181
#define NTCAN_SOCK_HOST_NOT_FOUND    0x182

/*
 * Opens a handle on a net and stores it in *handle.
 *   net          0 to 19, otherwise NTCAN_NET_NOT_FOUND
 *   flags        mode flags; accepted and ignored
 *   txqueuesize  0 or more: with bus timing on, the frames that may wait
 *                on the handle for the net (at least 1); unused without it
 *   rxqueuesize  capacity of the receive queue, 1 to 65536 frames
 *   txtimeout_ms 0 or more; unused, sending never blocks
 *   rxtimeout_ms 0 or more; how long canRead waits for a frame
 * On failure *handle is set to NTCAN_NO_HANDLE and nothing is opened.
 * NTCAN_INSUFFICIENT_RESOURCES when handle numbers are exhausted.
 */
NTCAN_EXPORT NTCAN_RESULT canOpen(int net, uint32_t flags, int32_t txqueuesize,
                                  int32_t rxqueuesize, int32_t txtimeout_ms,
                                  int32_t rxtimeout_ms, NTCAN_HANDLE* handle);

/*
 * Closes a handle: it leaves the net, its queue and filter are discarded,
 * and a canRead waiting on it returns NTCAN_INVALID_HANDLE at once.
 */
NTCAN_EXPORT NTCAN_RESULT canClose(NTCAN_HANDLE handle);

/*
 * Sets the baud-rate code of the handle, and of its net when the code is
 * one of NTCAN_BAUD_*: frames that start after the call take their time at
 * that rate. Any code is accepted; other codes leave the net's rate as it
 * was. A net runs at 125 kbit/s until a handle sets its rate.
 */
NTCAN_EXPORT NTCAN_RESULT canSetBaudrate(NTCAN_HANDLE handle, uint32_t baud);

/*
 * Enables reception of identifier id (0 to 0x7FF) on the handle.
 * NTCAN_ID_ALREADY_ENABLED when it is enabled already (nothing changes).
 */
NTCAN_EXPORT NTCAN_RESULT canIdAdd(NTCAN_HANDLE handle, int32_t id);

/*
 * Disables reception of identifier id (0 to 0x7FF) on the handle; frames
 * already queued stay. NTCAN_ID_NOT_ENABLED when it was not enabled.
 */
NTCAN_EXPORT NTCAN_RESULT canIdDelete(NTCAN_HANDLE handle, int32_t id);

/*
 * Puts *len frames from msg on the handle's net, in order. All frames are
 * checked before the first is sent: one bad frame sends none. msg_lost and
 * reserved of the frames are ignored. On return *len holds the number of
 * frames sent (0 on any failure).
 *
 * With bus timing on the frames are queued on the handle and canSend
 * returns at once; they go on the net in their order. When the handle's
 * transmit queue (canOpen's txqueuesize, at least 1) cannot take them all,
 * none is queued and canSend returns NTCAN_TX_ERROR. Frames still waiting
 * when the handle is closed are not sent.
 */
NTCAN_EXPORT NTCAN_RESULT canSend(NTCAN_HANDLE handle, CMSG* msg, int32_t* len);

/*
 * Takes up to *len frames from the handle's receive queue without waiting.
 * On return *len holds the number taken, 0 when the queue was empty (still
 * NTCAN_SUCCESS).
 */
NTCAN_EXPORT NTCAN_RESULT canTake(NTCAN_HANDLE handle, CMSG* msg, int32_t* len);

/*
 * Like canTake, but when the queue is empty waits up to the handle's receive
 * time-out for a frame. NTCAN_RX_TIMEOUT with *len 0 when none came;
 * NTCAN_INVALID_HANDLE with *len 0 when the handle was closed while waiting.
 * A receive time-out of 0 does not wait. ovrlppd must be NULL (overlapped
 * reads are not supported: NTCAN_INVALID_PARAMETER).
 */
NTCAN_EXPORT NTCAN_RESULT canRead(NTCAN_HANDLE handle, CMSG* msg, int32_t* len,
                                  void* ovrlppd);

/*
 * Fills *status: version fields, the board status word of the handle's net
 * (0 unless a test set one) and the board id "VORBEL-SIM".
 */
NTCAN_EXPORT NTCAN_RESULT canStatus(NTCAN_HANDLE handle, CAN_IF_STATUS* status);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* NTCAN_H */
