/* conduit-record: records what applications play on the virtual speaker into a WAV file.
 *
 *     conduit-record OUT.wav [SECONDS]
 *
 * It connects the Capture direction, runs a session on the real-time clock, and writes every
 * frame the session reads until it holds SECONDS (default 5) of audio at the stream's rate. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "conduit/conduit.h"

struct recording {
    FILE* file;
    conduit_session* session;
    double seconds;
    conduit_stream_format format; /* of the first frames; the file cannot change format */
    uint64_t frames_wanted;       /* 0 until the first frames came */
    uint64_t frames_written;
    const char* failure;
};

static void put16(unsigned char* at, uint32_t value) {
    at[0] = (unsigned char)value;
    at[1] = (unsigned char)(value >> 8);
}

static void put32(unsigned char* at, uint32_t value) {
    put16(at, value);
    put16(at + 2, value >> 16);
}

/* The RIFF header for data_bytes of frames: the plain 16-byte format record where it says the
 * format exactly, the extensible one otherwise. Returns its size. */
static size_t wav_header(const conduit_stream_format* format, uint32_t data_bytes,
                         unsigned char header[68]) {
    static const unsigned char pcm_guid_tail[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                                    0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
    const int extensible = format->channels > 2 || format->valid_bits != format->container_bits;
    const uint32_t format_bytes = extensible ? 40 : 16;
    const uint16_t tag = format->is_float ? 3 : 1;
    const size_t size = 20 + format_bytes + 8;
    memcpy(header, "RIFF", 4);
    put32(header + 4, (uint32_t)(size - 8) + data_bytes);
    memcpy(header + 8, "WAVEfmt ", 8);
    put32(header + 16, format_bytes);
    put16(header + 20, extensible ? 0xFFFE : tag);
    put16(header + 22, format->channels);
    put32(header + 24, format->sample_rate);
    put32(header + 28, format->sample_rate * format->block_align);
    put16(header + 32, format->block_align);
    put16(header + 34, format->container_bits);
    if (extensible) {
        put16(header + 36, 22);
        put16(header + 38, format->valid_bits);
        put32(header + 40, format->channel_mask);
        put16(header + 44, tag); /* the sub-format GUID: the tag, then a fixed tail */
        memcpy(header + 46, pcm_guid_tail, sizeof pcm_guid_tail);
    }
    memcpy(header + size - 8, "data", 4);
    put32(header + size - 4, data_bytes);
    return size;
}

static int same_format(const conduit_stream_format* a, const conduit_stream_format* b) {
    return a->sample_rate == b->sample_rate && a->channels == b->channels &&
           a->block_align == b->block_align && a->container_bits == b->container_bits &&
           a->valid_bits == b->valid_bits && a->is_float == b->is_float;
}

static void stop(struct recording* recording, const char* failure) {
    recording->failure = failure;
    conduit_session_stop(recording->session);
}

/* Runs on the session's thread with frames of the shared buffer, readable during the call. */
static void on_frames(void* context, const conduit_stream_format* format, const uint8_t* frames,
                      uint32_t frame_count) {
    struct recording* recording = context;
    uint64_t count = frame_count;
    unsigned char header[68];
    if (recording->failure != NULL ||
        (recording->frames_wanted != 0 && recording->frames_written == recording->frames_wanted)) {
        return; /* the session stops after this step */
    }
    if (recording->frames_wanted == 0) {
        const uint64_t most = (0xFFFFFFFFu - sizeof header) / format->block_align;
        recording->format = *format;
        recording->frames_wanted = (uint64_t)(recording->seconds * format->sample_rate + 0.5);
        if (recording->frames_wanted == 0) {
            recording->frames_wanted = 1;
        } else if (recording->frames_wanted > most) {
            fprintf(stderr, "conduit-record: a WAV file holds %llu frames of this format\n",
                    (unsigned long long)most);
            recording->frames_wanted = most;
        }
        /* The sizes are written again once the frames are in. */
        const size_t size = wav_header(format, 0, header);
        if (fwrite(header, 1, size, recording->file) != size) {
            stop(recording, "cannot write the WAV file");
            return;
        }
    }
    if (!same_format(format, &recording->format)) {
        stop(recording, "the stream changed its format");
        return;
    }
    if (count > recording->frames_wanted - recording->frames_written) {
        count = recording->frames_wanted - recording->frames_written;
    }
    if (fwrite(frames, format->block_align, (size_t)count, recording->file) != count) {
        stop(recording, "cannot write the WAV file");
        return;
    }
    recording->frames_written += count;
    if (recording->frames_written == recording->frames_wanted) {
        conduit_session_stop(recording->session);
    }
}

static int fail(const char* step, conduit_status status) {
    fprintf(stderr, "conduit-record: %s: %s: %s\n", step, conduit_status_name(status),
            conduit_last_error());
    return 1;
}

/* The sizes the header could not know when it was written. */
static int finish(struct recording* recording) {
    unsigned char header[68];
    const uint64_t data_bytes = recording->frames_written * recording->format.block_align;
    const size_t size = wav_header(&recording->format, (uint32_t)data_bytes, header);
    return fseek(recording->file, 0, SEEK_SET) == 0 &&
           fwrite(header, 1, size, recording->file) == size;
}

int main(int argc, char** argv) {
    struct recording recording;
    conduit_connection* connection = NULL;
    conduit_status status;
    int result = 0;
    memset(&recording, 0, sizeof recording);
    char* end = NULL;
    recording.seconds = argc == 3 ? strtod(argv[2], &end) : 5.0;
    if (argc < 2 || argc > 3 || (end != NULL && *end != '\0') ||
        !(recording.seconds > 0 && recording.seconds <= 86400)) {
        fprintf(stderr, "usage: conduit-record OUT.wav [SECONDS]\n");
        return 2;
    }
    if (conduit_abi_version() >> 16 != CONDUIT_ABI_MAJOR) {
        fprintf(stderr, "conduit-record: the client library has another major ABI version\n");
        return 1;
    }
    /* Everything that may be slow comes before the connection: from then on the driver's
     * handshakes wait for this program's answers. */
    recording.file = fopen(argv[1], "wb");
    if (recording.file == NULL) {
        fprintf(stderr, "conduit-record: cannot create %s\n", argv[1]);
        return 1;
    }
    status = conduit_open(CONDUIT_DIRECTION_CAPTURE, NULL, &connection);
    if (CONDUIT_FAILED(status)) {
        fclose(recording.file);
        return fail("connecting", status);
    }
    status = conduit_session_create(connection, CONDUIT_CLOCK_REAL_TIME, &recording.session);
    if (!CONDUIT_FAILED(status)) {
        status = conduit_session_set_read_callback(recording.session, on_frames, &recording);
        if (!CONDUIT_FAILED(status)) {
            status = conduit_session_run(recording.session);
        }
        if (CONDUIT_FAILED(status)) {
            result = fail("running the session", status);
        }
        conduit_session_destroy(recording.session);
    } else {
        result = fail("creating the session", status);
    }
    status = conduit_close(connection);
    if (CONDUIT_FAILED(status) && result == 0) {
        result = fail("closing", status);
    }
    if (recording.failure != NULL) {
        fprintf(stderr, "conduit-record: %s\n", recording.failure);
        result = 1;
    }
    if (recording.frames_wanted != 0 && !finish(&recording)) {
        fprintf(stderr, "conduit-record: cannot finish %s\n", argv[1]);
        result = 1;
    }
    if (fclose(recording.file) != 0 && result == 0) {
        fprintf(stderr, "conduit-record: cannot finish %s\n", argv[1]);
        result = 1;
    }
    if (result == 0) {
        printf("conduit-record: %llu frames of %u Hz, %u channels, %u bits written to %s\n",
               (unsigned long long)recording.frames_written, recording.format.sample_rate,
               recording.format.channels, recording.format.valid_bits, argv[1]);
    }
    return result;
}
