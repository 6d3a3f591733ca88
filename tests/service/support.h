/*
 * Helpers of the service unit tests: a fresh context and argument lists that
 * getopt_long may permute.
 */
#ifndef KESTROW_TESTS_SERVICE_SUPPORT_H
#define KESTROW_TESTS_SERVICE_SUPPORT_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "service/app_ctx.h"
#include "lib/test_support.h"

namespace st {

/* A zero-filled context, freed at scope end. */
struct App {
    app_ctx *ctx = nullptr;
    App() { EXPECT_EQ(0, app_ctx_create(&ctx)); }
    ~App() { app_ctx_destroy(&ctx); }
    app_ctx *operator->() { return ctx; }
};

/* An argv built from strings: program name first, writable copies, null end. */
struct Args {
    std::vector<std::string> text;
    std::vector<char *> ptrs;
    explicit Args(std::vector<std::string> args) : text(std::move(args))
    {
        text.insert(text.begin(), "KestrowApp");
        for (auto &s : text)
            ptrs.push_back(s.data());
        ptrs.push_back(nullptr);
    }
    int argc() const { return (int)text.size(); }
    char **argv() { return ptrs.data(); }
};

} // namespace st

#endif
