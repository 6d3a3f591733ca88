/*
 * Control server functions outside the running service: argument checks,
 * the default method's fault, UTF-8 validation and a port already in use.
 */
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "service/ctl.h"
#include "support.h"

/*
 * xmlrpc-c 1.33 leaks its 24-byte server record when
 * xmlrpc_server_abyss_create fails (here: port in use); nothing outside the
 * library can free it.
 */
extern "C" const char *__lsan_default_suppressions()
{
    return "leak:xmlrpc_server_abyss_create\n";
}

TEST(Ctl, MissingRecordIsRefused)
{
    ctl_ctx *none = nullptr;
    EXPECT_EQ(-22, ctl_init(nullptr));
    EXPECT_EQ(-22, ctl_run(nullptr));
    EXPECT_EQ(-22, ctl_run(&none));
    EXPECT_EQ(-22, ctl_destroy(nullptr));
    EXPECT_EQ(-22, ctl_destroy(&none));
    EXPECT_EQ(-22, ctl_terminate(nullptr));
    EXPECT_EQ(-22, ctl_terminate(&none));
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

TEST(Ctl, PortInUseFailsAtCreationAndDestroyFreesThePartialSetUp)
{
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    ASSERT_EQ(0, bind(s, (sockaddr *)&a, sizeof(a)));
    ASSERT_EQ(0, listen(s, 1));
    socklen_t len = sizeof(a);
    getsockname(s, (sockaddr *)&a, &len);

    st::App app;
    app->port = ntohs(a.sin_port);
    testing::internal::CaptureStderr();
    EXPECT_EQ(-14, ctl_init(app.ctx));
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(std::string::npos, err.find("ctl_init: xmlrpc_server_abyss_create failed")) << err;
    ASSERT_NE(nullptr, app->ctl);
    EXPECT_EQ(nullptr, app->ctl->server);
    EXPECT_EQ(-22, ctl_terminate(&app->ctl));
    EXPECT_EQ(0, ctl_destroy(&app->ctl));
    EXPECT_EQ(nullptr, app->ctl);
    EXPECT_EQ(-22, ctl_destroy(&app->ctl));
    close(s);
}
