/* The C interface of libvorc_core: frames of a Tesra stream (from a file, a
 * descriptor, memory or a live camera) as decoded pixels or as complete
 * JPEG images. C99, usable from C++ and from any language that calls C
 * (ctypes, cgo, Rust, C#). Link with -lvorc_core (libvorc_core.so, whose
 * SONAME changes only when this interface changes incompatibly).
 *
 * Handles are opaque. Every function that can fail returns an int: VORC_OK
 * (0), VORC_END (1, the source has ended) or a negative VORC_ERROR_ code;
 * vorc_error_string names a code and vorc_last_error says why the last
 * call of the calling thread failed. No C++ exception leaves the library.
 *
 * Ownership is stated with each call: what a vorc_*_new or vorc_*_open
 * call gives is the caller's and goes back through the matching free or
 * close call; pointers into a handle stay valid until that handle is freed.
 *
 * Thread-safety: a reader is used by one thread at a time; readers, frames
 * and options on different threads share nothing.
 *
 * A minimal reader (error handling shortened):
 *
 *     vorc_reader* reader;
 *     vorc_frame* frame;
 *     if (vorc_reader_open_file("clip.tesra", NULL, &reader) != VORC_OK) {
 *         fprintf(stderr, "%s\n", vorc_last_error());
 *         return 1;
 *     }
 *     while (vorc_reader_next(reader, &frame) == VORC_OK) {
 *         use(vorc_frame_data(frame), vorc_frame_width(frame), vorc_frame_height(frame));
 *         vorc_frame_free(frame);
 *     }
 *     vorc_reader_close(reader);
 */
#ifndef VORC_VORC_C_H
#define VORC_VORC_C_H

#include <stddef.h>
#include <stdint.h>

#if defined(__GNUC__)
#define VORC_C_API __attribute__((visibility("default")))
#else
#define VORC_C_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Results. */
#define VORC_OK 0
#define VORC_END 1                     /* the source has ended: no more frames */
#define VORC_ERROR_INVALID_ARGUMENT -1 /* a null handle, an unknown format, a value out of range */
#define VORC_ERROR_NOT_FOUND -2        /* no such file (ENOENT) */
#define VORC_ERROR_PERMISSION -3       /* the system refused access (EACCES, EPERM) */
#define VORC_ERROR_SOURCE -4           /* cannot open, connect or read; a camera answered other than 200 */
#define VORC_ERROR_TIMEOUT -5          /* the source stayed silent past the timeout */
#define VORC_ERROR_INTERRUPTED -6      /* the interrupt callback asked to stop waiting */
#define VORC_ERROR_NO_MEMORY -7
#define VORC_ERROR_WRONG_CALL -8       /* vorc_reader_next and vorc_reader_next_jpeg mixed on one reader */
#define VORC_ERROR_INTERNAL -9         /* anything else; vorc_last_error says what */

/* Pixel formats. RGB24 and BGR24 have 3 bytes a pixel, RGBA 4 (alpha 255),
 * GRAY8 1 (the luma); I420 is three planes, Y then U (Cb) then V (Cr), each
 * chroma plane half the size rounded up. JPEG marks a frame of
 * vorc_reader_next_jpeg, whose data is a complete JPEG image. */
#define VORC_FORMAT_RGB24 0
#define VORC_FORMAT_BGR24 1
#define VORC_FORMAT_RGBA 2
#define VORC_FORMAT_GRAY8 3
#define VORC_FORMAT_I420 4
#define VORC_FORMAT_JPEG 5

/* Levels of the status messages. */
#define VORC_STATUS_INFO 0
#define VORC_STATUS_WARNING 1
#define VORC_STATUS_ERROR 2

typedef struct vorc_options vorc_options;
typedef struct vorc_reader vorc_reader;
typedef struct vorc_frame vorc_frame;

/* Asked at least every 100 ms while a reader waits for a silent source or
 * connects to a camera; non-zero ends the wait with VORC_ERROR_INTERRUPTED
 * (the reader stays usable). Called on the thread that called the reader. */
typedef int (*vorc_interrupt_callback)(void* user);
/* Receives the library's status messages (level VORC_STATUS_*); message is
 * valid during the call only. Called on the thread that called the reader. */
typedef void (*vorc_status_callback)(void* user, int level, const char* message);

/* The library's version, such as "0.9.1": a static string. */
VORC_C_API const char* vorc_version(void);
/* The name of a result code: a static string, also for unknown codes. */
VORC_C_API const char* vorc_error_string(int code);
/* Why the last failed call of this thread failed, or "" if none did; owned
 * by the library, valid until this thread's next call into it. */
VORC_C_API const char* vorc_last_error(void);

/* Options for opening a reader. A new set holds the defaults: RGB24, a
 * timeout of 10000 ms, a limit of 64 megapixels, the camera's maximum frame
 * rate, files dated at 25 frames a second, no callbacks. NULL when memory
 * runs out. The caller frees it; a reader copies what it needs when it is
 * opened, so options may be changed or freed afterwards. */
VORC_C_API vorc_options* vorc_options_new(void);
VORC_C_API void vorc_options_free(vorc_options* options); /* NULL is allowed */
VORC_C_API int vorc_options_set_format(vorc_options* options, int format); /* not VORC_FORMAT_JPEG */
/* How long a camera may take to connect and any source may stay silent; 0
 * waits for ever; 0 to 1e12 ms. */
VORC_C_API int vorc_options_set_timeout_ms(vorc_options* options, int64_t milliseconds);
/* Frames of larger pictures come out damaged and empty. */
VORC_C_API int vorc_options_set_max_pixels(vorc_options* options, uint64_t pixels);
/* The frame rate asked of a camera, 0 for its maximum. */
VORC_C_API int vorc_options_set_camera_fps(vorc_options* options, double fps);
/* The frame rate that dates the frames of a source other than a camera
 * (timestamp = (index - 1) / fps); above 0, at most 1e6. */
VORC_C_API int vorc_options_set_file_fps(vorc_options* options, double fps);
/* callback NULL removes it; user is handed to it unchanged. */
VORC_C_API int vorc_options_set_interrupt(vorc_options* options, vorc_interrupt_callback callback, void* user);
VORC_C_API int vorc_options_set_status(vorc_options* options, vorc_status_callback callback, void* user);

/* Opening: on VORC_OK *reader is a new reader, the caller's to close with
 * vorc_reader_close; on failure *reader is NULL. options may be NULL for
 * the defaults. */
/* source: a file, "-" for standard input, or a camera as HOST:PORT (an
 * existing file of that name wins). */
VORC_C_API int vorc_reader_open(const char* source, const vorc_options* options, vorc_reader** reader);
/* A file only. */
VORC_C_API int vorc_reader_open_file(const char* path, const vorc_options* options, vorc_reader** reader);
/* The caller's descriptor, read from where it stands; never closed by the
 * reader, and kept open by the caller until vorc_reader_close. */
VORC_C_API int vorc_reader_open_fd(int fd, const vorc_options* options, vorc_reader** reader);
/* A stream in memory, read in place: the caller keeps the size bytes at
 * bytes unchanged until vorc_reader_close. */
VORC_C_API int vorc_reader_open_memory(const void* bytes, size_t size, const vorc_options* options,
                                       vorc_reader** reader);
/* A camera: host is a name, an IPv4 or an IPv6 address (without brackets). */
VORC_C_API int vorc_reader_open_camera(const char* host, int port, const vorc_options* options,
                                       vorc_reader** reader);
/* Closes the source and frees the reader; frames it gave stay valid. NULL
 * is allowed. */
VORC_C_API void vorc_reader_close(vorc_reader* reader);

/* The next frame: on VORC_OK *frame is a new frame, the caller's to free
 * with vorc_frame_free (it does not depend on the reader); otherwise *frame
 * is NULL: VORC_END once the source has ended, or an error. After
 * VORC_ERROR_TIMEOUT a camera is given up, while standard input or a
 * descriptor may still deliver at the next call; after
 * VORC_ERROR_INTERRUPTED the reader goes on where it was. Damaged input is
 * no error: the frame comes out with vorc_frame_damaged set. The first
 * call of either function fixes which of the two a reader serves. */
VORC_C_API int vorc_reader_next(vorc_reader* reader, vorc_frame** frame);
/* The same frames as complete JPEG images (format VORC_FORMAT_JPEG; no
 * bytes when a damaged frame could not be transcoded). */
VORC_C_API int vorc_reader_next_jpeg(vorc_reader* reader, vorc_frame** frame);
/* Frames reported damaged so far; 0 for NULL. */
VORC_C_API uint64_t vorc_reader_damaged_frames(const vorc_reader* reader);

/* Frames. Every getter takes a frame from vorc_reader_next or
 * vorc_reader_next_jpeg and returns 0 (or NULL) for NULL. */
VORC_C_API void vorc_frame_free(vorc_frame* frame); /* NULL is allowed */
/* 1 for the first frame of the source, damaged ones counted. */
VORC_C_API uint64_t vorc_frame_index(const vorc_frame* frame);
/* Where the frame began in the stream, in bytes. */
VORC_C_API uint64_t vorc_frame_offset(const vorc_frame* frame);
/* Seconds: for a camera when the frame had arrived, since the Unix epoch;
 * otherwise its place at the file frame rate. */
VORC_C_API double vorc_frame_timestamp(const vorc_frame* frame);
/* The picture size; 0 for a frame without a picture. */
VORC_C_API int vorc_frame_width(const vorc_frame* frame);
VORC_C_API int vorc_frame_height(const vorc_frame* frame);
VORC_C_API int vorc_frame_format(const vorc_frame* frame);
/* 1 or 0: the frame could not be decoded in full; the picture still lacks
 * what a damaged frame failed to deliver; the frame coded every tile. */
VORC_C_API int vorc_frame_damaged(const vorc_frame* frame);
VORC_C_API int vorc_frame_stale(const vorc_frame* frame);
VORC_C_API int vorc_frame_full_frame(const vorc_frame* frame);
/* The 16x16 tiles the frame carried. */
VORC_C_API int64_t vorc_frame_coded_tiles(const vorc_frame* frame);
/* The pixels (top row first, every plane) or the JPEG image, owned by the
 * frame; size bytes. */
VORC_C_API const uint8_t* vorc_frame_data(const vorc_frame* frame);
VORC_C_API size_t vorc_frame_size(const vorc_frame* frame);
/* A plane of the pixels (0 for the packed formats; 0, 1, 2 for Y, U, V of
 * I420) and the bytes from one of its rows to the next; NULL and 0 for a
 * plane the format lacks and for JPEG frames. */
VORC_C_API const uint8_t* vorc_frame_plane(const vorc_frame* frame, int plane);
VORC_C_API size_t vorc_frame_plane_stride(const vorc_frame* frame, int plane);
/* A partial frame's tile bitmap: one bit per tile in row-major order, rows
 * running on without a gap, bit 7 of byte 0 the top left tile; *size gets
 * its bytes. NULL (and 0) for a full or damaged frame. Owned by the frame. */
VORC_C_API const uint8_t* vorc_frame_tile_bitmap(const vorc_frame* frame, size_t* size);

#ifdef __cplusplus
}
#endif

#endif
