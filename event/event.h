/*
 * What the relay loop and the splice rules report: typed events handed to a
 * sink that the program gives. Nothing below the programs prints; the program's
 * sink words the events (log lines, console lines), counts them or acts on
 * them. A new kind of event is one more entry in event_type (and, when it
 * needs one, a reason enum); sinks ignore the types they do not know.
 */
#ifndef KESTROW_EVENT_EVENT_H
#define KESTROW_EVENT_EVENT_H

#include <cstdint>

enum event_type {
    /* Splice rules. */
    EVENT_CUE_DECODED = 0,   // data, size: the cue; pts_time, pts_adjustment, flags as carried; the cue's
                             // own id (a time_signal: its first segmentation_event_id), point and duration
    EVENT_CUE_FAILED,        // data, size: the cue; result: the parser's
    EVENT_CUE_IGNORED,       // reason: event_ignore_reason; the cue's id; nothing changed; delta_ticks: remain
                             // from the cue packet to the splice point (negative: late), AV_NOPTS_VALUE unknown
    EVENT_ARMED,             // reason: event_arm_reason; delta_ticks: remain from the cue packet to the splice point
    EVENT_BREAK_STARTED,     // pts: start key frame; delta_ticks: pts - splice point; pts_shift
    EVENT_STREAM_SWITCHED,   // stream; reason: event_switch_reason; delta_ticks: offset (to the filler: splice
                             // point - the first packet's pts, < 0 when the packet holding it went by unseen); pts,
                             // end_pts
    EVENT_BREAK_ENDED,       // reason: event_end_reason; pts, delta_ticks, end_pts, aired
    EVENT_IDLE,              // every stream back on the programme
    EVENT_CUE_REPEATED,      // the cue repeats the armed, running, kept or last event: nothing changed
    EVENT_CANCELLED,         // reason: event_cancel_reason; the event will not air
    EVENT_RETURN_SCHEDULED,  // a return cue: the running break ends at the key frame at pts (flags: immediate)
    EVENT_NEXT_KEPT,         // reason: event_keep_reason; the event waits in the pending list for its turn;
                             // count: events pending
    EVENT_BREAK_SKIPPED,     // reason: event_skip_reason; pts: the key frame; nothing replaced
    EVENT_DROPPED,           // reason: event_drop_reason; count: the pending list's bound; the event will not air
    EVENT_EXPIRED,           // reason: event_expire_reason; pts: the key frame when passed; the event will not air
    /* Relay loop and output set-up. */
    EVENT_RELAY_STARTED,     // the packet loop begins
    EVENT_FIRST_TIMESTAMP,   // pts: the session's first dts
    EVENT_TIME_JUMP,         // delta_ticks: dts - highest dts of its time line; a file: a new time line follows
    EVENT_STREAM_ATTACHED,   // stream: output index; input_index (added by the demuxer later)
    EVENT_STREAM_ADDED,      // stream: output index; pid: stream id
    EVENT_STREAM_UNKNOWN,    // input_index; pid; reason: ts_stream_plan (filled or left out)
    EVENT_LEADING_DROPPED,   // stream: output index; pts: the switch's key frame; count: pictures left out
    EVENT_EPG_ADDED,         // stream: output index of the added EPG track
    EVENT_OUTPUT_OPENING,    // text: the output's URL
    EVENT_SETUP_FAILED,      // reason: event_setup_step; stream (the output's, the input's for a copy); result;
                             // text: URL when relevant
    EVENT_QUEUE_REFUSED,     // result: the queue's; the loop ends
    EVENT_WRITE_FAILED,      // result: the muxer's; the loop ends
    EVENT_READ_FAILED,       // result: the demuxer's (not the end of input, not a stop); the loop ends
    EVENT_PROGRESS,          // bytes_in, bytes_out: totals so far; pts: the highest dts read; every few
                             // packets and at the end
    /* Spots of a break's content (a traffic schedule). */
    EVENT_SPOT_STARTED,      // spot; pts: where its first picture airs (the programme's clock)
    EVENT_SPOT_ENDED,        // spot; reason: event_spot_reason; pts: where it started (none when it did
                             // not); aired: ticks of its video aired. One per spot of the plan, in order,
                             // when the break ends, before EVENT_BREAK_ENDED
    EVENT_PROGRAMME_CHOSEN,  // program_number; pid: its PMT's; reason: ts_choice; count: other programmes;
                             // flags: 1 when they are left out (a single programme goes out)
    EVENT_PASS_DROPPED,      // count: packets passing through dropped since the last report (no room out)
    EVENT_OUTPUT_CHECK,      // one of the output's own checks failed: reason: the check (ts_out_check), text: its
                             // name; count: failures since its last report (at most one a second)
    EVENT_PROGRAMME_UNSPLICEABLE, // reason: event_unspliceable_reason; program_number; pid: the PID that says
                             // why; stream_type: that PID's. Once per session, at set-up
    /* Live input's time line (relay_live). */
    EVENT_INPUT_LOST,        // elapsed_us: since the last packet read
    EVENT_INPUT_BACK,        // elapsed_us: without input
    EVENT_TIMELINE_MOVED,    // reason: event_timeline_reason; pts: the key frame (output time); delta_ticks: what
                             // the input's times now get in addition
    EVENT_INPUT_FAST,        // rate_milli: the input's rate against the wall clock; count: packets dropped since
                             // the last such event
    EVENT_SLATE_STARTED,     // pts: the filler's first key frame on the output's clock
    EVENT_INPUT_CONTINUITY,  // pid: a PID passing through; count: continuity breaks the input brought on it
                             // since its last report (at most one a second), passed as they came
    /* A channel's traffic (traffic/): its schedule, spots and verification file. */
    EVENT_BREAK_PLANNED,     // reason: event_plan_reason; traffic: window_ms (outside: the break's own time),
                             // break_number, spots (what each record airs: why set when it does not)
    EVENT_SCHEDULE_IN_FORCE, // traffic: schedule, file (its verification file); count: its spots
    EVENT_SCHEDULE_WARNING,  // traffic: schedule; text: what its reader says of a record
    EVENT_SCHEDULE_MISSING,  // traffic: file (the day's, looked for), schedule (the one in force, "" none)
    EVENT_SCHEDULE_OTHER_DAY, // traffic: schedule, month and day (its records'), today_month and today_day
    EVENT_SCHEDULE_REFUSED,  // traffic: file (it cannot be used), schedule (the one in force, "" none); result:
                             // the reader's (-ENODATA: no record can be read)
    EVENT_WINDOWS_CLOSED,    // traffic: schedule; count: records of ended windows whose break never came
    EVENT_SPOT_WILL_NOT_AIR, // spot: id; text: why; traffic: window_ms, break_number, status (the one it will get);
                             // once for each record and status, for a window within the hour
    EVENT_SPOT_CHECKED,      // reason: event_spot_check; spot: id, file, length; text: why; traffic: file (the
                             // spots folder). Once a spot read
    EVENT_VERIFICATION_FAILED, // traffic: file; result: the write's; at its first failure, then once a minute
    EVENT_VERIFICATION_BACK, // traffic: file: written again after failing
    EVENT_TRAFFIC_NO_MEMORY, // reason: event_memory_step; said once: what falls back
    /* Splice rules, frame-accurate work off the packet path. */
    EVENT_RUN_LEFT_OUT,      // a frame-accurate start's re-encoded pictures did not air: count: pictures;
                             // fallback: late (elapsed_us: waited) or error (result); pts: the first one's
};

enum event_end_reason {
    EVENT_END_DURATION = 0,  // key frame at splice point + duration
    EVENT_END_FILLER_END,    // the filler's video ran out first
    EVENT_END_SESSION_END,   // the input ended during the break
    EVENT_END_RETURN_CUE,    // key frame at a return cue's point (or a segmentation end)
    EVENT_END_NEXT_EVENT,    // key frame at the next event's point: that event starts there
    EVENT_END_MAX_BREAK,     // key frame at the longest an open break may run (--max-break)
    EVENT_END_INPUT_LOST,    // the input was lost during the break: aired up to the outage
};

enum event_arm_reason {
    EVENT_ARM_CUE = 0,       // a new event from a cue
    EVENT_ARM_UPDATED,       // the armed event's id with another splice point
    EVENT_ARM_KEPT,          // a pending event, armed when its turn came
    EVENT_ARM_LATE_JOIN,     // a cue after its splice point, within the late-join window: ends at its announced end
};

enum event_keep_reason {
    EVENT_KEEP_AFTER_ARMED = 0,  // an earlier event is armed
    EVENT_KEEP_AFTER_BREAK,      // a break is running
    EVENT_KEEP_DISPLACED,        // it was armed; an earlier event took its place
    EVENT_KEEP_UPDATED,          // a pending event's id with another splice point: moved to its new place
};

enum event_drop_reason {
    EVENT_DROP_MAX_PENDING = 0,  // the pending list was full: the farthest event is left out
};

enum event_expire_reason {
    EVENT_EXPIRE_PASSED = 0,     // its announced end, or the next event's point, came before a key frame started it
    EVENT_EXPIRE_SESSION_END,    // the session ended before its turn
};

enum event_cancel_reason {
    EVENT_CANCEL_ARMED = 0,  // the armed event: disarmed
    EVENT_CANCEL_KEPT,       // the event kept for after the running break: dropped
    EVENT_CANCEL_SOURCE_RESTART,  // the source restarted on a new time line: its splice point is gone
};

enum event_timeline_reason {
    EVENT_TIMELINE_START = 0,  // the output starts on this key frame
    EVENT_TIMELINE_RESUMED,    // the input came back on its own time line
    EVENT_TIMELINE_LATE,       // the input came back late (paused): re-based onto the output's clock
    EVENT_TIMELINE_EARLY,      // the input runs ahead of the wall clock: the excess left out
    EVENT_TIMELINE_RESTART,    // the source restarted on a new time line
};

enum event_skip_reason {
    EVENT_SKIP_NO_FILLER_VIDEO = 0,  // the filler has no usable stream for the programme's video PID
    EVENT_SKIP_SCHEDULE,             // the schedule leaves this break alone (a NUL record)
    EVENT_SKIP_NO_VIDEO,             // the relay carries no video of the programme: nothing starts a break
};

/* Why the chosen programme cannot be spliced (none of its video can be relayed): its streams pass as TS packets. */
enum event_unspliceable_reason {
    EVENT_UNSPLICEABLE_SCRAMBLED = 0,  // a stream of it is scrambled (a video stream's PID first)
    EVENT_UNSPLICEABLE_UNREAD,         // the demuxer reads no codec from a stream's type: a video type, or no
                                       // audio of it can be read either
};

enum event_spot_reason {
    EVENT_SPOT_AIRED = 0,    // aired in full
    EVENT_SPOT_CUT_SHORT,    // the break ended before its end (return cue, input lost, session ended)
    EVENT_SPOT_TOO_SHORT,    // not started: it would have run past the break's end
    EVENT_SPOT_UNUSABLE,     // not started: its file is missing or unfit for the programme
    EVENT_SPOT_SKIPPED,      // not started: the break was skipped
};

/* What a break of the schedule airs (EVENT_BREAK_PLANNED). */
enum event_plan_reason {
    EVENT_PLAN_SPOTS = 0,    // its records' spots (none: the filler)
    EVENT_PLAN_NUL,          // a NUL record: the programme stays on air
    EVENT_PLAN_OUTSIDE,      // outside every window of the schedule: the filler
};

/* What a spot read turned out to be (EVENT_SPOT_CHECKED). */
enum event_spot_check {
    EVENT_SPOT_CHECK_READY = 0,   // fit to air
    EVENT_SPOT_CHECK_SHORT,       // shorter than a record sells it: why
    EVENT_SPOT_CHECK_MISSING,     // no file of its id in the spots folder
    EVENT_SPOT_CHECK_UNUSABLE,    // its file cannot air: why
};

/* What fell back for want of memory (EVENT_TRAFFIC_NO_MEMORY). */
enum event_memory_step {
    EVENT_MEMORY_PLAN = 0,   // a break could not be planned: the filler airs
    EVENT_MEMORY_EVENTS,     // events not taken into the schedule's records
    EVENT_MEMORY_FILES,      // the file work waits for the next turn
};

enum event_switch_reason {
    EVENT_SWITCH_TO_FILLER = 0,  // delta_ticks: splice point - packet pts (the part kept)
    EVENT_SWITCH_BACK_AT_END,    // last filler packet trimmed to the programme's boundary
    EVENT_SWITCH_BACK_FILLER_END,// the stream's filler ran out
};

enum event_ignore_reason {
    EVENT_IGNORE_NO_SPLICE_TIME = 0,  // a program splice_insert without time and not immediate
    EVENT_IGNORE_CRC,                 // the section's CRC_32 does not match
    EVENT_IGNORE_STARTED,             // a cancel for the break already running
    EVENT_IGNORE_NOT_IN_BREAK,        // a return (or segmentation end) with no break running
    EVENT_IGNORE_UNKNOWN_EVENT,       // a cancel for no armed or kept event
    EVENT_IGNORE_TIME_SIGNAL_OFF,     // a time_signal while time_signal breaks are off
    EVENT_IGNORE_SEGMENTATION_TYPE,   // a segmentation type that neither starts nor ends a break
    EVENT_IGNORE_RUNNING_MOVED,       // the running event's id with another splice point
    EVENT_IGNORE_TOO_FAR,             // the splice point lies further ahead than the cue lead allowed
    EVENT_IGNORE_LATE,                // the cue came after its splice point, past the late-join window
    EVENT_IGNORE_ENCRYPTED,           // encrypted_packet set: the command cannot be read
    EVENT_IGNORE_COMPONENT_MODE,      // a splice_insert per component (program_splice_flag 0)
    EVENT_IGNORE_SPLICE_SCHEDULE,     // splice_schedule (one record per event it carries)
    EVENT_IGNORE_BANDWIDTH_RESERVATION,
    EVENT_IGNORE_PRIVATE_COMMAND,
    EVENT_IGNORE_SPLICE_NULL,
    EVENT_IGNORE_RESERVED_COMMAND,    // a splice_command_type SCTE 35 reserves
};

enum event_setup_step {
    EVENT_STEP_OUTPUT_CONTEXT = 0,
    EVENT_STEP_NEW_STREAM,
    EVENT_STEP_CODEC_PARAMETERS,
    EVENT_STEP_METADATA,
    EVENT_STEP_OPEN_OUTPUT,
    EVENT_STEP_WRITE_HEADER,
    EVENT_STEP_LAYOUT,       // result: -EINVAL a PMT PID on a stream's PID, -ERANGE out of range; text: why
    EVENT_STEP_PROGRAMME,    // the programme asked for is not in the input; text: which and what is
};

#define EVENT_CUE_DURATION_FLAG 1  // flags: the cue carries a break_duration
#define EVENT_CUE_TIME_FLAG     2  // flags: the cue carries a splice time
#define EVENT_CUE_IMMEDIATE_FLAG 4     // flags: splice at the next video key frame read
#define EVENT_CUE_SEGMENTATION_FLAG 8  // flags: a time_signal's segmentation descriptor; id: its segmentation_event_id
#define EVENT_CUE_NO_ID_FLAG 16        // flags: the cue carries no event id (the id field is 0)

#define EVENT_SPOT_ID_SIZE   12   // spot identification: 11 characters and the terminator
#define EVENT_SPOT_FILE_SIZE 32   // the spot file's name in its folder
#define EVENT_SPOT_WHY_SIZE  128  // why a spot cannot air, in the planner's words

/* A spot of a break, as its schedule names it. */
struct event_spot {
    char id[EVENT_SPOT_ID_SIZE];
    char file[EVENT_SPOT_FILE_SIZE];  // "" when no file was found
    char why[EVENT_SPOT_WHY_SIZE];    // the planner's reason when it gave no media; "" otherwise
    int status;                       // the verification status it then gets (1002, 1006, 1007); 0 otherwise
    int break_number;                 // the break's number in its window
    int position;                     // in the break, as scheduled
    int64_t length;                   // ticks of its video; 0 when not known
    int64_t tag;                      // the planner's own (which record it is)
};

/* What a traffic event names beside its spot (EVENT_BREAK_PLANNED ... EVENT_TRAFFIC_NO_MEMORY). */
struct event_traffic {
    const char *schedule;      // the schedule file; "" none
    const char *file;          // the other file or folder the type names; "" none
    int64_t window_ms;         // wall ms (local time) of the window's start
    int break_number;          // in its window
    int status;                // a record's verification status
    int month, day;            // the date of the schedule's records
    int today_month, today_day;
    const event_spot *spots;   // a break's records, in position order
    int spot_count;
};

/*
 * One event. The first three fields describe the break the event belongs
 * to (the last cue that armed one); the rest depend on the type (see
 * event_type), each field with one meaning and one unit, its name's. Times
 * are 90 kHz ticks, AV_NOPTS_VALUE when not given.
 */
struct event {
    event_type type;
    uint32_t splice_event_id;  // 0 before any cue
    int64_t splice_time;       // effective splice point of the cue
    int64_t duration;          // announced break duration; 0 without one
    int reason;                // the type's reason enum
    int stream;                // output stream index; -1: none
    int input_index;           // input stream index; -1: none
    int pid;                   // a stream's or a PMT's PID; -1: none
    int program_number;        // 0: none
    int stream_type;           // as the PMT gives it; 0: none
    int result;                // a library's or the parser's result: 0 or a negative error code
    int flags;                 // EVENT_CUE_* flags
    int64_t pts;
    int64_t delta_ticks;       // a difference of two 90 kHz times, as noted per type
    int64_t elapsed_us;        // microseconds of the wall clock
    int64_t rate_milli;        // a rate against the wall clock, in thousandths
    int64_t count;             // how many, of what the type says
    int64_t end_pts;           // where the video returned
    int64_t pts_shift;         // ticks added to the filler video's pts
    int64_t aired;             // break end: ticks of programme video replaced: from the start key frame to the
                               // return key frame by pts; filler_end and session_end by dts, to the packet at
                               // hand or the end of the filler sent
    int64_t pts_time;          // cue: splice time as carried
    uint64_t pts_adjustment;   // cue: as carried
    const uint8_t *data;       // cue bytes; valid during the call only
    int size;
    const char *text;          // URL; valid during the call only
    int64_t bytes_in;          // progress: bytes read from the input
    int64_t bytes_out;         // progress: bytes the output stage handed to the destination
    const event_spot *spot;    // spot events; valid during the call only
    const event_traffic *traffic;  // traffic events; valid during the call only
    int reencoded;             // break start and end: programme pictures re-encoded for a frame-accurate start or
                               // return; -1: not tried
    int fallback;              // break start and end: event_fallback, why the start or return stayed on the key frame
};

/* Why a frame-accurate start or return fell back to the programme's key frame. */
enum event_fallback {
    EVENT_FALLBACK_NONE = 0,
    EVENT_FALLBACK_UNMATCHED,      // the programme's codec or profile has no matching encoder here
    EVENT_FALLBACK_NO_GOP,         // the pictures around the point were not held (no key frame, GOP too long)
    EVENT_FALLBACK_OPEN_GOP,       // the key frame's leading pictures are not read yet
    EVENT_FALLBACK_ERROR,          // decoding or encoding failed
    EVENT_FALLBACK_TIMELINE,       // the input's time line broke while the run was fed (restart, loss)
    EVENT_FALLBACK_FIELDS,         // start: the programme codes its fields as pictures of their own
    EVENT_FALLBACK_LATE_CUE,       // start: the cue came after pictures shown from its point on had gone out
    EVENT_FALLBACK_LATE,           // the re-encoded pictures were not ready within the time the video may wait
                                   //   (a start: left out; a return: its run ended where it was)
};

/* "unmatched", "no_gop", ...; "" for EVENT_FALLBACK_NONE. */
const char *event_fallback_name(int fallback);

/* Called on the loop's thread; must not throw. */
struct event_sink {
    void (*fn)(void *opaque, const event *ev);
    void *opaque;
};

/* A blank event of type t: no stream, every time AV_NOPTS_VALUE. */
event event_make(event_type t);

/*
 * The name of ev's reason ("duration", "return_cue", "crc_mismatch", ...),
 * for records and log lines; "" for a type without reasons.
 */
const char *event_reason_name(const event *ev);

/* Hands ev to sink (nothing without a sink or function). */
void event_emit(const event_sink *sink, const event *ev);

#endif
