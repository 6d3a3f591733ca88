/*
 * Thumbnails of the input and the output: the latest video key frame of
 * each, decoded and scaled to THUMBS_WIDTH pixels wide and encoded as JPEG
 * (libavcodec's decoders, libswscale, the MJPEG encoder) on a thread of
 * the lowest priority, every THUMBS_PERIOD_MS.
 *
 * The relay never waits for it: its hook (thumbs_offer) takes a
 * reference to a key frame packet at most once a period and swaps it into
 * a slot of one atomic pointer, freeing the one the thread had not taken
 * yet. The thread swaps the slot empty and does all the work on what it
 * took. The control thread copies the JPEG under a lock only the thumbnail
 * thread shares, for one copy.
 */
#ifndef KESTROW_SERVICE_THUMBS_H
#define KESTROW_SERVICE_THUMBS_H

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

struct AVCodecParameters;
struct AVPacket;

#define THUMBS_WIDTH     320
#define THUMBS_PERIOD_MS 2000

enum thumb_kind { THUMB_INPUT, THUMB_OUTPUT, THUMB_COUNT };

struct thumb_offer;   // a key frame handed over: its packet and codec

/* The latest picture of one kind. */
struct thumb_picture {
    std::string jpeg;        // "" before the first
    int64_t made_ms;         // wall ms it was made
    int64_t pts;             // 90 kHz of its key frame
    int width, height;
};

/* Lives in the application context (value-initialised: empty slots, no thread). */
struct thumbs_ctx {
    std::atomic<thumb_offer *> slot[THUMB_COUNT];
    std::atomic<int64_t> offered_at[THUMB_COUNT];  // µs (monotonic) of the last hand-over; 0: none
    std::mutex lock;                               // guards pictures
    thumb_picture pictures[THUMB_COUNT];
    std::atomic<int> stop;
    std::atomic<int> tid{0};                       // the thread's, once it lowered its priority
    pthread_t thread;
    int running;
};

/* Starts the thread. 0; -EINVAL without t; pthread_create's negative errno (logged; no thumbnails then). */
int thumbs_start(thumbs_ctx *t);

/*
 * Stops the thread and frees what the slots hold; the pictures stay. Nothing
 * without a thread. The thread gets the caller's priority back first where
 * the process may raise it, so that a picture it is making on a busy host
 * does not hold the stop up.
 */
void thumbs_stop(thumbs_ctx *t);

/*
 * The relay's hook (relay_desc.key_frame, opaque: the thumbs): a video key
 * frame of the input (output 0) or of the output (1) with its stream's
 * parameters. Takes a reference at most once a period; never waits.
 */
void thumbs_offer(void *opaque, int output, const AVPacket *pkt, const AVCodecParameters *par);

/* A copy of the latest picture of kind into *out: 0; -ENODATA before the first; -EINVAL. */
int thumbs_get(thumbs_ctx *t, int kind, thumb_picture *out);

/*
 * Decodes the key frame pkt of codec codec_id alone and encodes it as a JPEG
 * of width pixels (the height keeps the picture's aspect, even) into *out.
 * 0; -EINVAL; AVERROR_DECODER_NOT_FOUND; the library's codes of a picture
 * that does not decode (AVERROR(EAGAIN): the packet gave no picture).
 */
int thumbs_picture(const AVPacket *pkt, int codec_id, int width, thumb_picture *out);

#endif
