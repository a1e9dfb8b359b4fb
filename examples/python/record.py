#!/usr/bin/env python3
"""Records what applications play on the virtual speaker into a WAV file, through the client
library's C interface with ctypes alone:  record.py OUT.wav [SECONDS]"""
import ctypes
import sys
import wave

# The wrapper: the library, the one record the callback reads, and failures as exceptions.
# winmode=0: on Windows, look for the DLL along PATH too.
lib = ctypes.CDLL("conduit-client.dll" if sys.platform == "win32" else "libconduit-client.so.1",
                  winmode=0)
lib.conduit_status_name.restype = lib.conduit_last_error.restype = ctypes.c_char_p
CAPTURE, REAL_TIME = 1, 0


class StreamFormat(ctypes.Structure):
    _fields_ = [(name, ctypes.c_uint32) for name in ("sample_rate", "channel_mask")] + \
               [(name, ctypes.c_uint16) for name in ("format_tag", "channels", "block_align",
                                                     "container_bits", "valid_bits")] + \
               [("is_float", ctypes.c_uint8), ("reserved", ctypes.c_uint8)]


ReadCallback = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.POINTER(StreamFormat),
                                ctypes.c_void_p, ctypes.c_uint32)


def check(status):
    if status < 0:
        raise RuntimeError(f"{lib.conduit_status_name(status).decode()}: "
                           f"{lib.conduit_last_error().decode()}")


def record(path, seconds):
    connection, session = ctypes.c_void_p(), ctypes.c_void_p()
    with wave.open(path, "wb") as out:  # before connecting: from then on the driver waits for us
        out.setparams((1, 2, 8000, 0, "NONE", "not compressed"))  # until the first frames come
        wanted = []

        def on_frames(context, stream_format, frames, count):
            fmt = stream_format.contents
            if not wanted:
                out.setparams((fmt.channels, fmt.container_bits // 8, fmt.sample_rate, 0, "NONE",
                               "not compressed"))
                wanted.append(0 if fmt.is_float else max(1, round(seconds * fmt.sample_rate)))
            count = min(count, wanted[0] - out.getnframes())
            out.writeframes(ctypes.string_at(frames, count * fmt.block_align))
            if out.getnframes() == wanted[0]:
                lib.conduit_session_stop(session)

        callback = ReadCallback(on_frames)  # kept alive while the session may call it
        check(lib.conduit_open(CAPTURE, None, ctypes.byref(connection)))
        try:
            check(lib.conduit_session_create(connection, REAL_TIME, ctypes.byref(session)))
            try:
                check(lib.conduit_session_set_read_callback(session, callback, None))
                check(lib.conduit_session_run(session))
            finally:
                lib.conduit_session_destroy(session)
        finally:
            check(lib.conduit_close(connection))
    if wanted == [0]:
        sys.exit("record.py: the stream carries float samples, which the wave module cannot write")
    print(f"record.py: {wanted[0]} frames written to {path}")


if __name__ == "__main__":
    if len(sys.argv) not in (2, 3):
        sys.exit("usage: record.py OUT.wav [SECONDS]")
    record(sys.argv[1], float(sys.argv[2]) if len(sys.argv) == 3 else 5.0)
