/*
 * Output layout decisions for the MPEG-TS muxer: the programme's identity
 * (program number, PMT PID, transport_stream_id) carried over from the input,
 * and what to do with streams whose parameters the demuxer did not learn.
 */
#ifndef KESTROW_TS_TS_LAYOUT_H
#define KESTROW_TS_TS_LAYOUT_H

#include "ts/ts_in.h"

struct AVCodecParameters;
struct AVDictionary;
struct AVFormatContext;

/* The operator's choices; 0 keeps the input's value. */
struct ts_layout_overrides {
    int service_id;   // program number
    int pmt_pid;
    int ts_id;        // transport_stream_id
    int spts;         // 1: the programme goes out alone, without the input's other programmes
};

/* What the muxer and the output stage are given; 0 leaves the muxer's default
 * (1, 0x1000, 1, ATSC, the PCR on the muxer's PCR stream). */
struct ts_layout_ids {
    int service_id;   // mpegts_service_id
    int pmt_pid;      // mpegts_pmt_start_pid
    int ts_id;        // mpegts_transport_stream_id
    int system_b;     // 1: AC-3 and E-AC-3 declared the DVB way (0x06 and their descriptors)
    int pcr_pid;      // ts_out_config.pcr_pid: the PCR on a PID of its own
};

/*
 * Fills each field of *id that is still -1 from the demuxer: program number,
 * PMT PID and PCR PID of the first AVProgram, transport_stream_id from the
 * demuxer's exported "ts_id" option (libavformat 59 does not export it, so
 * there it comes only from the input filter). Returns 0; -22 without in or id.
 */
int ts_layout_identity_from_demuxer(const AVFormatContext *in, ts_identity *id);

/*
 * Computes the muxer's identity for out, whose streams are all added (their
 * AVStream.id is the PID; an id below 16 gets 0x100 + index, as the muxer
 * does). Each value is the override when nonzero, otherwise the input's when
 * known and within the muxer's range (program number and transport_stream_id
 * 1..65535, PMT PID 0x20..0x1FFA), otherwise the muxer's default. AC-3 and
 * E-AC-3 keep the input's signalling: DVB's (system_b) when the input
 * declares one of them as private data (0x06), else ATSC's (0x81, 0x87).
 * The input's PCR PID gets the muxer's PCRs when it carries no stream: when
 * it is in 0x20..0x1FFE (0x1FFF names none; below 0x20 lie the SI PIDs the
 * muxer writes), neither an output stream's PID nor the PMT PID, nor a
 * stream the PMT declares (which then passes with its own PCRs); otherwise
 * the muxer's PCR stream carries the PCR, as its PMT says.
 * Returns 0 and fills *ids; -34 for an override outside the muxer's range;
 * -22 without in, ov, out or ids, or when the PMT PID (also the muxer's
 * default) is the PID of an output stream, or, unless ov->spts, a PID of
 * another programme of the input, or the program number another's. On -34
 * and on a collision a sentence naming both is written to msg
 * (msg_size > 0), e.g. "PMT PID 0x1000 is also the PID of stream 0
 * (video)"; *ids is unchanged.
 */
int ts_layout_output_ids(const ts_identity *in, const ts_layout_overrides *ov,
                         const AVFormatContext *out, ts_layout_ids *ids, char *msg,
                         int msg_size);

/* Sets the nonzero values of ids as the muxer's options in *opts. Returns 0,
 * -22 without ids or opts, or the library's code. */
int ts_layout_set_options(const ts_layout_ids *ids, AVDictionary **opts);

enum ts_stream_plan {
    TS_STREAM_RELAY = 0,       // the muxer takes the parameters as they are
    TS_STREAM_RELAY_FILLED,    // relayed once ts_layout_fill_params has filled them
    TS_STREAM_LEAVE_OUT,       // left out for the session
    TS_STREAM_PASS,            // not demultiplexed (scrambled, unknown): passes as TS packets
    TS_STREAM_DUPLICATE,       // a second stream on a PID already relayed (a PMT that lists it twice): left out
};

/*
 * Decides, from an input stream's parameters after probing, how the stream
 * reaches the MPEG-TS muxer. libavformat 59 refuses at avformat_write_header
 * only an audio stream without sample rate; dimensions, channels and the
 * codec may be unknown. An audio stream without sample rate is relayed with
 * one filled in when its codec is known, and left out when even the codec is
 * unknown (the output would declare another stream type); attachments are
 * left out. Returns the plan, or -22 without par.
 */
int ts_layout_stream_plan(const AVCodecParameters *par);

/*
 * Fills what the muxer's header checks need into an output stream's
 * parameters (copied from the input): a sample rate for audio without one.
 * stream_type is the one the input's PMT declares for the PID (-1: unknown).
 * The MPEG-TS muxer writes no sample rate: PES timestamps are the packets'
 * own and audio frames are copied as they come. The rate only chooses the
 * stream type of MPEG audio, 0x04 below 32 kHz and 0x03 from it, so a PID
 * declared 0x04 gets 24000 and any other 48000, and the output declares
 * what the input did. Returns the stream's plan as ts_layout_stream_plan,
 * or -22 without par.
 */
int ts_layout_fill_params(AVCodecParameters *par, int stream_type);

#endif
