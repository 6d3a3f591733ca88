/*
 * The service's one application context: options, UDP URLs, the filler, the
 * control server record, the debug level and the stop flag. Options are
 * written before any thread starts; after that only the main thread writes.
 */
#ifndef KESTROW_SERVICE_APP_CTX_H
#define KESTROW_SERVICE_APP_CTX_H

#include <atomic>
#include <cstdint>

#include "service/console.h"
#include "service/status.h"
#include "service/thumbs.h"
#include "splice/splice.h"

#define APP_TEXT_SIZE 4096

struct asrun_ctx;
struct ctl_ctx;
struct filler_ctx;

struct app_ctx {
    ctl_ctx *ctl;                       // owned; created by ctl_init, freed by the control thread
    uint32_t port;                      // XML-RPC control port
    char ctl_host[APP_TEXT_SIZE];       // numeric address the control port binds; empty = every IPv4 address
    char service_name[APP_TEXT_SIZE];
    char service_provider[APP_TEXT_SIZE];
    char src_url[APP_TEXT_SIZE];
    char dst_url[APP_TEXT_SIZE];
    char src_addr[APP_TEXT_SIZE];       // host:port
    char dst_addr[APP_TEXT_SIZE];       // host:port
    char src_if[APP_TEXT_SIZE];         // interface address to receive on; empty = not given
    char dst_if[APP_TEXT_SIZE];         // interface address to send from; empty = not given
    char src_source[APP_TEXT_SIZE];     // source-specific multicast sender; empty = any
    char backup_addr[APP_TEXT_SIZE];    // --backup-src-addr: a second source of the programme; empty = none
    char backup_url[APP_TEXT_SIZE];     // its name in the log
    char backup_if[APP_TEXT_SIZE];      // interface address the backup is received on; empty = not given
    char backup_source[APP_TEXT_SIZE];  // source-specific multicast sender of the backup; empty = any
    int32_t failback_hold;              // seconds the input is healthy before the backup is left
    int32_t failback_stay;              // non-zero: the backup stays on air while it is healthy
    int64_t src_buffer;                 // receive buffer, bytes; 0 = library default
    int32_t dst_ttl;                    // multicast TTL 1-255; 0 = library default
    int32_t dst_rtp;                    // non-zero: send RTP instead of plain UDP
    int32_t time_signal_breaks;         // non-zero: time_signal cues with segmentation descriptors start breaks
    char asrun_file[APP_TEXT_SIZE];     // as-run record; empty = none
    asrun_ctx *asrun;                   // owned; null without asrun_file
    channel_status status;              // written by the session, read by the control server
    console_log console;                // the last hour, noted by the session, read by the control server
    thumbs_ctx thumbs;                  // the pictures: offered by the relay, made by their thread
    char filler_path[APP_TEXT_SIZE];
    int32_t mux_rate;                   // bit/s; 0 = not given
    int32_t max_delay;                  // microseconds
    int32_t transport_stream_id;        // 0 = library default
    int32_t original_network_id;        // 0 = library default
    int32_t service_id;                 // 0 = library default
    int32_t pmt_start_pid;              // 0 = library default
    filler_ctx *filler;                 // owned; loaded and destroyed by slicer_main_loop
    const std::atomic<int> *stop_flag;  // non-zero asks every loop to stop
    int32_t debug;                      // number of --debug options
    int32_t demonize;
    int32_t nodemonize;
    char log_file_name[APP_TEXT_SIZE];
    int32_t log_rotate_interval;        // seconds
    char schedule_path[APP_TEXT_SIZE];  // --schedule: a .SCH file or a folder of daily ones; empty = none
    char spots_dir[APP_TEXT_SIZE];      // --spots: the spot files
    char channel_id[APP_TEXT_SIZE];     // CC of the daily file's name
    char headend_id[APP_TEXT_SIZE];     // HHH of the daily file's name
    char verification_path[APP_TEXT_SIZE];  // empty = beside the schedule
    int32_t spot_cache;                 // MiB of spots held at most
    int32_t frame_accurate_off;         // --frame-accurate=off: breaks return at the programme's key frame
    int32_t open_breaks;                // non-zero: an out cue without break_duration lasts until its return cue
    int32_t max_break;                  // seconds an open break lasts at most
    splice_timing timing;               // --max-pending, --max-cue-lead, --late-join (ticks)
    int32_t program;                    // program_number whose breaks are spliced; 0 = the first with video
    int32_t spts;                       // non-zero: that programme goes out alone
    int32_t input_loss_slate_ms;        // the filler airs after this long without input; 0: never
    int32_t input_loss_ms;              // the input counts as lost after this long without the programme
    double loudness;                    // --loudness: LUFS spots and filler are conformed to
    int32_t filler_normalize;           // --normalize-filler: a .ts filler is conformed too
    char format_from[APP_TEXT_SIZE];    // --format-from: a recording of the channel; empty = the last session's
};

/*
 * Allocates a zero-filled context into *out, the cue timing and the
 * input-loss threshold at their defaults. 0; -EINVAL if out is null; -ENOMEM without memory.
 */
int app_ctx_create(app_ctx **out);
/* Frees *p and sets it to null. 0; -EINVAL if p or *p is null (a second destroy does nothing). */
int app_ctx_destroy(app_ctx **p);

#endif
