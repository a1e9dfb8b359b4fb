/* The client library's C interface: one direction of the device opened, its format and latency
 * chosen, and a session that answers the driver's handshakes, moves frames through the shared
 * buffer and drives the device's clock. Plain C99, fixed-width types and opaque handles only,
 * so that any language with a foreign-function interface can use it. docs/client.md says how. */
#ifndef CONDUIT_CONDUIT_H
#define CONDUIT_CONDUIT_H

#include <stdint.h>

#if defined(_WIN32)
#if defined(CONDUIT_CLIENT_BUILDING)
#define CONDUIT_API __declspec(dllexport)
#else
#define CONDUIT_API __declspec(dllimport)
#endif
#else
#define CONDUIT_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The ABI version: the major number changes when a program built against an older header may
 * no longer work, the minor number when calls or fields are only added. */
#define CONDUIT_ABI_MAJOR 1
#define CONDUIT_ABI_MINOR 0
#define CONDUIT_ABI_VERSION ((uint32_t)((CONDUIT_ABI_MAJOR << 16) | CONDUIT_ABI_MINOR))

/* The library's ABI version: a program checks that (version >> 16) == CONDUIT_ABI_MAJOR. */
CONDUIT_API uint32_t conduit_abi_version(void);

/* Results are NTSTATUS values, as the driver reports them: negative means failure. Codes from
 * the driver that have no name below come through unchanged. */
typedef int32_t conduit_status;
#define CONDUIT_FAILED(status) ((status) < 0)

#define CONDUIT_OK ((conduit_status)0)
/* Another client has the direction open. */
#define CONDUIT_ERROR_BUSY ((conduit_status)0x80000011u)
#define CONDUIT_ERROR_UNSUCCESSFUL ((conduit_status)0xC0000001u)
/* A null, closed or destroyed handle, or one of another kind. */
#define CONDUIT_ERROR_INVALID_HANDLE ((conduit_status)0xC0000008u)
#define CONDUIT_ERROR_INVALID_PARAMETER ((conduit_status)0xC000000Du)
/* The driver refused the request, or the call does not apply to this direction. */
#define CONDUIT_ERROR_INVALID_REQUEST ((conduit_status)0xC0000010u)
#define CONDUIT_ERROR_NO_MEMORY ((conduit_status)0xC0000017u)
#define CONDUIT_ERROR_BUFFER_TOO_SMALL ((conduit_status)0xC0000023u)
/* The driver is not loaded or its device is not started; or no such interface path. */
#define CONDUIT_ERROR_NO_DEVICE ((conduit_status)0xC0000034u)
#define CONDUIT_ERROR_NOT_READY ((conduit_status)0xC00000A3u)
/* The call came in the wrong order: a session still exists, or one is already stepping. */
#define CONDUIT_ERROR_WRONG_STATE ((conduit_status)0xC0000184u)
/* The driver's shared memory or a reply held values the protocol does not allow. */
#define CONDUIT_ERROR_PROTOCOL ((conduit_status)0xC0000186u)
#define CONDUIT_ERROR_ALREADY_REGISTERED ((conduit_status)0xC0000718u)

/* The name of a status ("CONDUIT_ERROR_BUSY"), or "unknown" for a code without a name above.
 * The string is static. */
CONDUIT_API const char* conduit_status_name(conduit_status status);
/* What the calling thread's last call that returns a status went through: "" after a success,
 * otherwise which step failed and why. Valid until that thread's next such call. */
CONDUIT_API const char* conduit_last_error(void);

/* Directions are named after the client's files. Render: the client writes frames that
 * applications record. Capture: the client reads frames that applications play. */
typedef int32_t conduit_direction;
#define CONDUIT_DIRECTION_RENDER 0
#define CONDUIT_DIRECTION_CAPTURE 1

/* The device format a client may ask for. channel_mask 0 lets the driver pick the usual mask. */
typedef struct conduit_device_format {
    uint32_t sample_rate;
    uint32_t bits_per_sample;
    uint32_t channels;
    uint32_t container_bytes;
    uint32_t channel_mask;
} conduit_device_format;

/* The stream's format as the driver published it, checked for consistency. */
typedef struct conduit_stream_format {
    uint32_t sample_rate;
    uint32_t channel_mask;
    uint16_t format_tag;
    uint16_t channels;
    uint16_t block_align; /* bytes per frame */
    uint16_t container_bits;
    uint16_t valid_bits;
    uint8_t is_float; /* IEEE float samples; otherwise integer PCM */
    uint8_t reserved;
} conduit_stream_format;

typedef uint32_t conduit_stream_state;
#define CONDUIT_STATE_STOP 0u
#define CONDUIT_STATE_ACQUIRE 1u
#define CONDUIT_STATE_PAUSE 2u
#define CONDUIT_STATE_RUN 3u
/* The control block held a value that is not a state; the session stands still. */
#define CONDUIT_STATE_UNKNOWN 0xFFFFFFFFu

/* One reading of the direction's control block. Fields that failed their checks are counted in
 * problem_count (the first one described in problem) and left at values that move nothing. */
typedef struct conduit_stream_view {
    uint8_t client_connected;
    uint8_t stream_open;
    uint8_t has_format; /* format is usable */
    uint8_t can_move_frames;
    conduit_stream_state state;
    conduit_stream_format format;
    uint32_t buffer_frames; /* 0 while there is no buffer that can be used safely */
    uint32_t ahead_frames;
    uint32_t driver_position;
    uint32_t handshake_flags;
    uint32_t stream_mode_flags;
    uint32_t latency_frames;
    conduit_device_format device_format; /* zeros until a format request changed it */
    uint32_t problem_count;
    char problem[160];
} conduit_stream_view;

typedef struct conduit_connection conduit_connection;
typedef struct conduit_session conduit_session;

/* Opens direction on the device interface interface_path (UTF-8), or on the first enabled one
 * when it is null. The direction is connected when this returns: its handshakes need a running
 * session within a second. */
CONDUIT_API conduit_status conduit_open(conduit_direction direction, const char* interface_path,
                                        conduit_connection** connection);
/* Closes the file, which disconnects the client and unmaps the shared memory, and frees the
 * handle, unless a session of the connection still exists (CONDUIT_ERROR_WRONG_STATE: the
 * handle stays open). */
CONDUIT_API conduit_status conduit_close(conduit_connection* connection);
/* While a stream exists a new format or latency is only remembered; repeat it once
 * stream_open reads 0. */
CONDUIT_API conduit_status conduit_set_format(conduit_connection* connection,
                                              const conduit_device_format* format);
CONDUIT_API conduit_status conduit_set_latency(conduit_connection* connection, uint32_t frames);
/* view_bytes is sizeof(conduit_stream_view) as the caller was built with. */
CONDUIT_API conduit_status conduit_read_view(conduit_connection* connection,
                                             conduit_stream_view* view, uint32_t view_bytes);

/* Where the session takes its time from. Real time follows the stream's sample rate; a manual
 * clock makes frames due only when conduit_session_advance says so (a client that follows
 * another device's clock, or a run faster than real time). */
typedef int32_t conduit_clock;
#define CONDUIT_CLOCK_REAL_TIME 0
#define CONDUIT_CLOCK_MANUAL 1

/* Capture direction: frames that applications played, frame_count × format->block_align bytes
 * in the shared buffer, readable during the call only. */
typedef void (*conduit_read_callback)(void* context, const conduit_stream_format* format,
                                      const uint8_t* frames, uint32_t frame_count);
/* Render direction: fill frame_count × format->block_align bytes in place; applications record
 * them. */
typedef void (*conduit_write_callback)(void* context, const conduit_stream_format* format,
                                       uint8_t* frames, uint32_t frame_count);
/* Decides the answer to a handshake: view shows the change the driver asks the client to
 * follow. CONDUIT_OK accepts it; a failure status refuses it (a step up or a buffer is then
 * undone; steps down go ahead regardless). Success codes other than CONDUIT_OK count as
 * CONDUIT_OK. The driver waits one second for the answer. */
typedef conduit_status (*conduit_handshake_callback)(void* context,
                                                     const conduit_stream_view* view);

/* A session of connection. Without a handshake callback every handshake is accepted. */
CONDUIT_API conduit_status conduit_session_create(conduit_connection* connection,
                                                  conduit_clock clock, conduit_session** session);
/* Refused (CONDUIT_ERROR_WRONG_STATE) while a step or run is in progress. */
CONDUIT_API conduit_status conduit_session_destroy(conduit_session* session);
/* Callbacks are set before the session steps; a null callback removes one. */
CONDUIT_API conduit_status conduit_session_set_read_callback(conduit_session* session,
                                                             conduit_read_callback callback,
                                                             void* context);
CONDUIT_API conduit_status conduit_session_set_write_callback(conduit_session* session,
                                                              conduit_write_callback callback,
                                                              void* context);
CONDUIT_API conduit_status conduit_session_set_handshake_callback(
    conduit_session* session, conduit_handshake_callback callback, void* context);
/* Waits once for the driver's event (bounded by the clock), answers a handshake if one came,
 * moves the frames that are due through the callback and asks for a tick. */
CONDUIT_API conduit_status conduit_session_step(conduit_session* session);
/* Steps until conduit_session_stop is called or a step fails. */
CONDUIT_API conduit_status conduit_session_run(conduit_session* session);
/* Makes the run in progress, or else the next one, return after its current step. Any thread,
 * callbacks included. */
CONDUIT_API conduit_status conduit_session_stop(conduit_session* session);
/* Manual clock: frame_count more frames are due. Any thread. */
CONDUIT_API conduit_status conduit_session_advance(conduit_session* session, uint64_t frame_count);

typedef struct conduit_session_stats {
    uint64_t handshakes;
    uint64_t answers;        /* answers sent, accepting or refusing */
    uint64_t failed_answers; /* answers that refused */
    uint64_t late_answers;   /* answers sent after the driver's one-second deadline */
    uint64_t ticks;
    uint64_t frames_moved;
    uint64_t frames_dropped; /* due frames the session fell more than a buffer behind on */
    uint64_t inconsistencies;
} conduit_session_stats;

/* stats_bytes is sizeof(conduit_session_stats) as the caller was built with. Any thread. */
CONDUIT_API conduit_status conduit_session_stats_read(conduit_session* session,
                                                      conduit_session_stats* stats,
                                                      uint32_t stats_bytes);

#ifdef __cplusplus
}
#endif

#endif /* CONDUIT_CONDUIT_H */
