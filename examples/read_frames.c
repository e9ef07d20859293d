/* The C interface in a small program: every frame of a stream file,
 * standard input ("-") or a live camera (HOST:PORT), one line per frame as
 * examples/next_frame.cpp prints them. Ctrl-C ends the program within a
 * fraction of a second, also while it waits for a silent camera (exit
 * status 130). Build: cc -std=c99 read_frames.c $(pkg-config --cflags --libs vorc-c) */
#include <signal.h>
#include <stdio.h>

#include "vorc/vorc_c.h"

static volatile sig_atomic_t stopRequested = 0;

static void requestStop(int signalNumber) {
    (void)signalNumber;
    stopRequested = 1;
}

/* Asked by the reader every 100 ms while it waits. */
static int stopWaiting(void* user) {
    (void)user;
    return stopRequested;
}

int main(int argc, char** argv) {
    vorc_options* options;
    vorc_reader* reader;
    vorc_frame* frame;
    int result;

    if (argc != 2) {
        fprintf(stderr, "usage: read_frames FILE|-|HOST:PORT\n");
        return 2;
    }
    signal(SIGINT, requestStop);
    options = vorc_options_new();
    if (options == NULL) {
        fprintf(stderr, "read_frames: out of memory\n");
        return 1;
    }
    vorc_options_set_interrupt(options, stopWaiting, NULL);
    result = vorc_reader_open(argv[1], options, &reader);
    vorc_options_free(options); /* the reader keeps what it needs */
    if (result != VORC_OK) {
        fprintf(stderr, "read_frames: %s\n", vorc_last_error());
        return result == VORC_ERROR_INTERRUPTED ? 130 : 1;
    }
    while ((result = vorc_reader_next(reader, &frame)) == VORC_OK) {
        printf("frame %llu: %dx%d%s\n", (unsigned long long)vorc_frame_index(frame), vorc_frame_width(frame),
               vorc_frame_height(frame), vorc_frame_damaged(frame) ? " damaged" : "");
        vorc_frame_free(frame);
    }
    if (result != VORC_END) fprintf(stderr, "read_frames: %s (%s)\n", vorc_last_error(), vorc_error_string(result));
    vorc_reader_close(reader);
    return result == VORC_END ? 0 : result == VORC_ERROR_INTERRUPTED ? 130 : 1;
}
