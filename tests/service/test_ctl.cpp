/*
 * Control server functions outside the running service: argument checks,
 * the default method's fault, UTF-8 validation, the metrics text and a port
 * already in use.
 */
#include <gtest/gtest.h>

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "service/ctl.h"
#include "service/status.h"
#include "support.h"

TEST(Ctl, MissingRecordIsRefused)
{
    ctl_ctx *none = nullptr;
    EXPECT_EQ(-22, ctl_init(nullptr));
    EXPECT_EQ(-22, ctl_run(nullptr));
    EXPECT_EQ(-22, ctl_run(&none));
    EXPECT_EQ(-22, ctl_destroy(nullptr));
    EXPECT_EQ(-22, ctl_terminate(nullptr));
    EXPECT_EQ(-22, ctl_terminate(&none));
    app_ctx *app = nullptr;  // the context the control server hangs on: a second destroy does nothing
    EXPECT_EQ(0, app_ctx_create(&app));
    EXPECT_EQ(0, app_ctx_destroy(&app));
    EXPECT_EQ(-22, app_ctx_destroy(&app));
}

TEST(Ctl, DefaultMethodFaultNamesTheMethod)
{
    xmlrpc_env env;
    xmlrpc_env_init(&env);
    EXPECT_EQ(nullptr, ctl_method_default(&env, "127.0.0.1", "splice.now", nullptr, nullptr));
    ASSERT_TRUE(env.fault_occurred);
    EXPECT_EQ(1, env.fault_code);
    EXPECT_STREQ("ctl_method_default: method splice.now not bypassed", env.fault_string);
    xmlrpc_env_clean(&env);
}

TEST(Ctl, Utf8Validation)
{
    EXPECT_EQ(0, ctl_check_utf8(""));
    EXPECT_EQ(0, ctl_check_utf8("plain"));
    EXPECT_EQ(0, ctl_check_utf8("caf\xc3\xa9 \xe2\x82\xac"));
    // xmlrpc-c handles the Basic Multilingual Plane only: a 4-byte sequence
    // and surrogates are refused by its validator.
    EXPECT_EQ(-22, ctl_check_utf8("\xf0\x9f\x8e\xac"));
    EXPECT_EQ(-22, ctl_check_utf8("\xed\xa0\x80"));
    EXPECT_EQ(-22, ctl_check_utf8("\xc3\x28"));          // bad continuation
    EXPECT_EQ(-22, ctl_check_utf8("\xff"));              // never valid
    EXPECT_EQ(-22, ctl_check_utf8("\xc0\xaf"));          // overlong "/"
    EXPECT_EQ(-22, ctl_check_utf8("abc\xe2\x82"));       // cut sequence
    EXPECT_EQ(-22, ctl_check_utf8(nullptr));
}

TEST(Ctl, MetricsTextCarriesEveryFigure)
{
    st::App app;
    channel_status *s = &app->status;
    status_set_state(s, STATE_IN_BREAK);
    status_count_in(s, 7, 1316, 1000000);
    status_count_in(s, 3, 1250, 2000000);  // closes a one-second window: 2566 bytes
    status_count_out(s, 5, 940, 1000000);
    status_add_overruns(s, 2);
    status_add_pass_dropped(s, 3);
    status_add_fast_dropped(s, 4);
    status_add_output_errors(s, TS_OUT_CHECK_PMT_INTERVAL, 6);
    status_add_output_errors(s, STATUS_CHECK_COUNT, 1);  // no such check: nothing
    status_add_input_cc(s, 0x101, 2);
    // Two batches sent: two datagrams on time and one 45 ms late each, two refused; one late spell.
    udp_out_report sent = {};
    sent.now_us = 2000000;
    sent.bytes = 3 * 1316;
    sent.late_max_us = 45000;
    sent.late_sum_us = 45500;
    sent.steady = 1;
    sent.late[0] = 2;
    sent.late[5] = 1;
    sent.errors[UDP_OUT_ERR_REFUSED] = 2;
    EXPECT_EQ(1, status_sent(s, &sent));
    EXPECT_EQ(0, status_sent(s, &sent));  // the same spell
    asrun_record r = asrun_record_make(ASRUN_CUE, 0);
    status_event(s, &r);
    r.event = ASRUN_BREAK_SKIPPED;
    status_event(s, &r);
    r.event = ASRUN_BREAK_END;
    r.reencoded = 24;
    status_event(s, &r);
    strcpy(r.fallback, "unmatched");
    r.reencoded = 0;
    status_event(s, &r);
    status_input_back(s, 1000000);
    status_input_lost(s, 1250000);  // lost 1.25 s at the query
    status_set_schedule(s, "/srv/301AB123.SCH", 12, 3, 1);

    char buf[CTL_METRICS_SIZE];
    int len = ctl_metrics_text(s, 2500000, buf, sizeof(buf));
    ASSERT_GT(len, 0);
    std::string text(buf, (size_t)len);
    const char *want[] = {
        "# TYPE kestrow_packets_in_total counter\nkestrow_packets_in_total 10\n",
        "# TYPE kestrow_packets_out_total counter\nkestrow_packets_out_total 47\n",
        "# TYPE kestrow_cues_total counter\nkestrow_cues_total 1\n",
        "# TYPE kestrow_breaks_aired_total counter\nkestrow_breaks_aired_total 2\n",
        "# TYPE kestrow_reencoded_pictures_total counter\nkestrow_reencoded_pictures_total 24\n",
        "# TYPE kestrow_frame_accurate_fallbacks_total counter\nkestrow_frame_accurate_fallbacks_total 1\n",
        "# TYPE kestrow_breaks_skipped_total counter\nkestrow_breaks_skipped_total 1\n",
        "# TYPE kestrow_input_overruns_total counter\nkestrow_input_overruns_total 2\n",
        "# TYPE kestrow_input_bitrate gauge\nkestrow_input_bitrate 20528\n",
        "# TYPE kestrow_output_bitrate gauge\nkestrow_output_bitrate 39104\n",
        "# TYPE kestrow_state gauge\nkestrow_state 5\n",
        "# TYPE kestrow_input_up gauge\nkestrow_input_up 0\n",
        "# TYPE kestrow_input_backup_active gauge\nkestrow_input_backup_active 0\n",
        "# TYPE kestrow_input_losses_total counter\nkestrow_input_losses_total 1\n",
        "# TYPE kestrow_input_lost_seconds_total counter\nkestrow_input_lost_seconds_total 1.25\n",
        "# TYPE kestrow_schedule_spots gauge\nkestrow_schedule_spots 12\n",
        "# TYPE kestrow_spots_aired_total counter\nkestrow_spots_aired_total 3\n",
        "# TYPE kestrow_spots_missed_total counter\nkestrow_spots_missed_total 1\n",
        "# TYPE kestrow_passthrough_dropped_total counter\nkestrow_passthrough_dropped_total 3\n",
        "# TYPE kestrow_input_fast_dropped_total counter\nkestrow_input_fast_dropped_total 4\n",
        "# TYPE kestrow_output_errors_total counter\nkestrow_output_errors_total{check=\"pat_interval\"} 0\n"
        "kestrow_output_errors_total{check=\"pmt_interval\"} 6\n",
        "kestrow_output_errors_total{check=\"continuity\"} 0\nkestrow_output_errors_total{check=\"late\"} 1\n"
        "kestrow_output_errors_total{check=\"send\"} 4\n",
        "# TYPE kestrow_input_continuity_errors_total counter\nkestrow_input_continuity_errors_total{pid=\"0x101\"} 2\n#",
        "kestrow_output_send_errors_total{cause=\"refused\"} 4\nkestrow_output_send_errors_total{cause=\"buffer_full\"} 0\n",
        "kestrow_output_lateness_seconds_bucket{le=\"0.001\"} 4\n",
        "kestrow_output_lateness_seconds_bucket{le=\"0.02\"} 4\nkestrow_output_lateness_seconds_bucket{le=\"0.05\"} 6\n",
        "kestrow_output_lateness_seconds_bucket{le=\"+Inf\"} 6\nkestrow_output_lateness_seconds_sum 0.091000\n"
        "kestrow_output_lateness_seconds_count 6\n",
        "# TYPE kestrow_output_late_max_seconds gauge\nkestrow_output_late_max_seconds 0.045000\n",
        "# TYPE kestrow_log_lines_dropped_total counter\nkestrow_log_lines_dropped_total 0\n",
    };
    for (const char *w : want)
        EXPECT_NE(std::string::npos, text.find(w)) << w << "\n" << text;
    EXPECT_EQ(-28, ctl_metrics_text(s, 2500000, buf, (size_t)len));
    EXPECT_STREQ("", buf);
    EXPECT_EQ(-22, ctl_metrics_text(nullptr, 0, buf, sizeof(buf)));
}

TEST(Ctl, PortInUseFailsWithItsReasonAndDestroyFreesThePartialSetUp)
{
    st::App app;
    int port = 0;
    int s = kt::bound_socket(SOCK_STREAM, &port);
    ASSERT_LE(0, s);
    app->port = port;
    testing::internal::CaptureStderr();
    EXPECT_EQ(-EADDRINUSE, ctl_init(app.ctx));
    std::string err = testing::internal::GetCapturedStderr();
    std::string want = "ctl_init: cannot bind control port " + std::to_string(app->port) +
                       ": Address already in use";
    EXPECT_NE(std::string::npos, err.find(want)) << err;
    ASSERT_NE(nullptr, app->ctl);
    EXPECT_EQ(-22, ctl_run(&app->ctl));
    EXPECT_EQ(-22, ctl_terminate(&app->ctl));
    EXPECT_EQ(0, ctl_destroy(&app->ctl));
    EXPECT_EQ(nullptr, app->ctl);
    EXPECT_EQ(-22, ctl_destroy(&app->ctl));
    close(s);
}
