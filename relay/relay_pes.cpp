/*
 * Whole-PES reading of the input, for both programs.
 *
 * The library's video parsers find the end of a picture in the start of the
 * next one, by looking at every byte of the stream: a third of KestrowDemo's
 * CPU on an HD recording, and on a live input each picture leaving the
 * demuxer one PES late (at 25 Hz, 40 ms of added latency for good). The
 * video parsers are therefore told that each PES holds whole pictures (a
 * PES with two fields of a picture then goes on as one packet). The
 * library's parser goes on finding the pictures of a stream whose PES and
 * pictures do not match: where the input filter saw a PES of its begin
 * without a PTS while the input was probed (a picture spanning several PES,
 * or a field in a PES of its own), or where one of the first PES_SEEN
 * pictures the parser gave does not start a timed PES (a PES that carries
 * two pictures, which a file's splicing must tell apart). A live input
 * looks only at its first picture: the output's delay settles on what the
 * first pictures take, so every picture still held would delay it for good
 * (a live PES with two pictures goes on as one packet). A stream one of
 * whose PES begins without a PTS after the switch goes back to the
 * library's parser from its next PES on (that part itself goes on as it
 * came). What the demuxer hands out is each PES whole, whatever its header's
 * PES_packet_length says: the input filter sees to it (ts/ts_in.h).
 *
 * The switch comes after those pictures, which the demuxer parsed; the
 * parser then holds the PES fed last. That one
 * is flushed out of it, as the demuxer does at the end of the input, and
 * handed out just before the first packet of its stream that follows it in
 * the input (those the demuxer buffered while probing come first): nothing
 * is lost and the stream's order holds. A parser the library makes anew
 * (the codec changed) is switched in turn.
 *
 * The demuxer gives a PES longer than about 200 KiB in parts, the rest
 * without times and with the first part's byte position: whole-PES parsing
 * would make pictures of the parts. A part that long waits for the rest (the
 * next packets of its stream with its position); what other streams bring
 * meanwhile waits in the queue ahead, and the first packet of a new PES ends
 * the wait (or a full queue: the picture then goes as it is, cut). Such a
 * picture thus comes one PES late, as with the library's parser.
 */
#include "relay/relay_internal.h"
#include "ts/ts_in.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#define PES_PARSERS 8                        // video streams (by input index) whose parser takes whole PES
#define PES_CUT     (200 * 1024 - 2 * 188)   // the demuxer gives a longer PES in parts of about 200 KiB
#define PES_AHEAD   256                      // packets read on while the rest of a cut picture comes
#define PES_SEEN    32                       // pictures seen each start a timed PES before the switch

enum pes_mode {
    PES_UNKNOWN = 0,  // its parser not seen yet
    PES_WHOLE,        // each PES holds whole pictures
    PES_LIBRARY,      // the library's parser finds the pictures
};

struct relay_pes {
    int mode[PES_PARSERS];        // per video stream: PES_UNKNOWN, PES_WHOLE or PES_LIBRARY
    int seen[PES_PARSERS];        // pictures the library's parser gave, each the start of a timed PES
    AVPacket *held[PES_PARSERS];  // the picture a parser held at its switch, until its turn
    int64_t held_pos[PES_PARSERS];  // byte position of the PES that picture came in
    AVPacket *next;               // read while a held picture went out, handed out next
    int end;                      // the read error met while held pictures went out; 0: none
    AVPacket *ahead[PES_AHEAD];   // read while a cut picture's rest came, handed out next (oldest first)
    int ahead_count;
    int ahead_error;              // the read error met meanwhile, returned once the queue is empty
};

int relay_pes_create(relay *r)
{
    relay_pes *p = (relay_pes *)calloc(1, sizeof(*p));
    if (!p)
        return -ENOMEM;
    r->pes = p;
    return 0;
}

void relay_pes_destroy(relay *r)
{
    relay_pes *p = r->pes;
    if (!p)
        return;
    for (int s = 0; s < PES_PARSERS; s++)
        av_packet_free(&p->held[s]);
    av_packet_free(&p->next);
    for (int i = 0; i < p->ahead_count; i++)
        av_packet_free(&p->ahead[i]);
    free(p);
    r->pes = nullptr;
}

/*
 * The picture parser pc of stream st holds: flushed out of it into a new
 * packet, as the demuxer takes the last one at the end of the input. like
 * lends what the demuxer would have added (the duration of the stream's
 * pictures). Null when it holds nothing or memory ran out (the picture is
 * then lost, as a cut PES would be).
 */
static AVPacket *pes_flush(AVCodecParserContext *pc, const AVStream *st, const AVPacket *like)
{
    AVCodecContext *ctx = avcodec_alloc_context3(nullptr);
    if (!ctx || avcodec_parameters_to_context(ctx, st->codecpar) < 0) {
        avcodec_free_context(&ctx);
        return nullptr;
    }
    uint8_t *data = nullptr;
    int size = 0;
    av_parser_parse2(pc, ctx, &data, &size, nullptr, 0, AV_NOPTS_VALUE, AV_NOPTS_VALUE, -1);
    AVPacket *pkt = size > 0 ? av_packet_alloc() : nullptr;
    if (pkt && av_new_packet(pkt, size) < 0)
        av_packet_free(&pkt);
    if (pkt) {
        memcpy(pkt->data, data, size);
        pkt->stream_index = like->stream_index;
        pkt->pts = pc->pts;
        pkt->dts = pc->dts != AV_NOPTS_VALUE ? pc->dts : pc->pts;  // PTS alone: DTS = PTS
        pkt->pos = pc->pos;
        pkt->duration = like->duration;
        if (pc->key_frame == 1 || (pc->key_frame == -1 && pc->pict_type == AV_PICTURE_TYPE_I))
            pkt->flags |= AV_PKT_FLAG_KEY;
    }
    avcodec_free_context(&ctx);
    return pkt;
}

/*
 * Tells pkt's video parser that each PES holds whole pictures (see the top
 * of this file), once per parser: one the library makes anew does not know.
 */
static void pes_switch(relay *r, const AVPacket *pkt)
{
    relay_pes *p = r->pes;
    int s = pkt->stream_index;
    AVStream *st = r->in->streams[s];
    if (s >= PES_PARSERS || p->mode[s] == PES_LIBRARY || st->codecpar->codec_type != AVMEDIA_TYPE_VIDEO)
        return;
    AVCodecParserContext *pc = av_stream_get_parser(st);
    if (!pc)
        return;
    bool untimed = (r->filter && ts_in_pes_untimed(r->filter, st->id)) || pkt->pts == AV_NOPTS_VALUE || pkt->pos < 0;
    if (pc->flags & PARSER_FLAG_COMPLETE_FRAMES) {
        if (untimed && p->mode[s] == PES_WHOLE) {
            pc->flags &= ~PARSER_FLAG_COMPLETE_FRAMES;  // from the next PES on the library's parser finds pictures
            p->mode[s] = PES_LIBRARY;
        }
        return;
    }
    if (p->mode[s] == PES_UNKNOWN) {
        if (untimed) {
            p->mode[s] = PES_LIBRARY;  // pictures and PES do not match: the library's parser finds them
            return;
        }
        if (++p->seen[s] < (r->desc.live ? 1 : PES_SEEN))
            return;
    }
    p->mode[s] = PES_WHOLE;
    av_packet_free(&p->held[s]);  // not reached: a parser made anew comes after its stream's held picture
    int64_t pos = -1;  // the PES fed last: the parser's latest record
    for (int i = 0; i < AV_PARSER_PTS_NB; i++)
        pos = FFMAX(pos, pc->cur_frame_pos[i]);
    p->held_pos[s] = pos;
    p->held[s] = pes_flush(pc, st, pkt);
    pc->flags |= PARSER_FLAG_COMPLETE_FRAMES;
}

/* Whether stream s's parser takes whole PES. */
static bool pes_whole(const relay *r, int s)
{
    const AVCodecParserContext *pc = av_stream_get_parser(r->in->streams[s]);
    return pc && (pc->flags & PARSER_FLAG_COMPLETE_FRAMES);
}

/* The first held picture left, moved into pkt; false: none. */
static bool pes_take_held(relay_pes *p, AVPacket *pkt)
{
    for (int s = 0; s < PES_PARSERS; s++) {
        if (p->held[s]) {
            av_packet_move_ref(pkt, p->held[s]);
            av_packet_free(&p->held[s]);
            return true;
        }
    }
    return false;
}

/* Appends the data of rest to pkt. 0 or AVERROR(ENOMEM). */
static int pes_append(AVPacket *pkt, const AVPacket *rest)
{
    int size = pkt->size;
    int ret = av_grow_packet(pkt, rest->size);
    if (ret >= 0)
        memcpy(pkt->data + size, rest->data, rest->size);
    return ret;
}

/*
 * av_read_frame with the switch: a held picture goes out before the packet
 * of its stream after it, and takes the rest of its PES when the parser held
 * only a first part.
 */
static int pes_read(relay *r, AVPacket *pkt)
{
    relay_pes *p = r->pes;
    if (p->next) {
        av_packet_move_ref(pkt, p->next);
        av_packet_free(&p->next);
        return 0;
    }
    for (;;) {
        if (p->end < 0)
            return pes_take_held(p, pkt) ? 0 : p->end;
        int ret = av_read_frame(r->in, pkt);
        if (ret < 0) {
            if (ret == AVERROR(EAGAIN) || !pes_take_held(p, pkt))
                return ret;
            p->end = ret;  // the input ended: what was held goes out first
            return 0;
        }
        pes_switch(r, pkt);
        int s = pkt->stream_index;
        AVPacket *held = s < PES_PARSERS ? p->held[s] : nullptr;
        if (!held || pkt->pos < p->held_pos[s])
            return 0;  // given out before the switch (or a second picture of a PES, without position)
        if (pkt->pos != p->held_pos[s]) {
            if (!(p->next = av_packet_alloc()))
                return AVERROR(ENOMEM);
            av_packet_move_ref(p->next, pkt);
            av_packet_move_ref(pkt, held);
            av_packet_free(&p->held[s]);
            return 0;
        }
        ret = pes_append(held, pkt);
        av_packet_unref(pkt);
        if (ret < 0)
            return ret;
    }
}

/* Removes the packet at index i of the queue ahead and returns it. */
static AVPacket *pes_ahead_take(relay_pes *p, int i)
{
    AVPacket *pkt = p->ahead[i];
    memmove(p->ahead + i, p->ahead + i + 1, sizeof(p->ahead[0]) * (p->ahead_count - i - 1));
    p->ahead_count--;
    return pkt;
}

/*
 * The rest of the cut picture pkt (its stream's next packets with its byte
 * position) appended to it: from the queue ahead, else read into it. Ends
 * at its stream's next PES, a full queue or a read error (returned later).
 */
static int pes_join(relay *r, AVPacket *pkt)
{
    relay_pes *p = r->pes;
    int part = pkt->size;
    while (part >= PES_CUT) {
        int i = 0;
        while (i < p->ahead_count && p->ahead[i]->stream_index != pkt->stream_index)
            i++;
        if (i < p->ahead_count) {
            if (p->ahead[i]->pos != pkt->pos)
                return 0;  // its stream's next PES
            AVPacket *rest = pes_ahead_take(p, i);
            part = rest->size;
            int ret = pes_append(pkt, rest);
            av_packet_free(&rest);
            if (ret < 0)
                return ret;
            continue;
        }
        if (p->ahead_count == PES_AHEAD || p->ahead_error < 0)
            return 0;  // a stop interrupts the reads
        AVPacket *next = av_packet_alloc();
        if (!next)
            return 0;
        int ret = pes_read(r, next);
        if (ret == AVERROR(EAGAIN) && r->filter) {
            ts_in_resume(r->filter);  // a yield of the input filter's: the picture's rest comes first
            av_packet_free(&next);
            continue;
        }
        if (ret < 0) {
            p->ahead_error = ret;
            av_packet_free(&next);
            return 0;
        }
        p->ahead[p->ahead_count++] = next;
    }
    return 0;
}

int relay_pes_next(relay *r, AVPacket *pkt)
{
    relay_pes *p = r->pes;
    int ret = 0;

    if (p->ahead_count > 0) {
        AVPacket *next = pes_ahead_take(p, 0);
        av_packet_move_ref(pkt, next);
        av_packet_free(&next);
    } else if (p->ahead_error < 0) {
        ret = p->ahead_error;
        p->ahead_error = 0;
        return ret;
    } else if ((ret = pes_read(r, pkt)) < 0) {
        return ret;
    }
    if (pkt->size < PES_CUT || pkt->pos < 0 || !pes_whole(r, pkt->stream_index))
        return 0;
    return pes_join(r, pkt);
}
