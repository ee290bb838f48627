// Shared ground for the library's tests: a fixture that starts every test
// from a freshly loaded library and an empty simulated host, and a recording
// stand-in for the operating system.
#pragma once

#include "platform/platform.h"
#include "session/session_state.h"
#include "sim_host.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace kxtest {

// Records what the library asks of the operating system and answers from
// tables the test fills in.
class fake_system final : public kx::platform::system_interface {
public:
    std::map<std::string, std::string> env;
    // Variables of `env` whose values the platform could not hand over
    // exactly: read as set but unusable, shown as their `env` text.
    std::set<std::string> unusable;
    std::string stdout_text;
    std::vector<std::string> commands;
    // Exit code of a command; by default 0. When `run_for_real` is set the
    // command runs through the real command interpreter instead.
    std::function<int(const std::string&)> exit_code;
    bool run_for_real = false;
    std::string cwd = "/work/cwd";
    // The clock's time as the platform gives it ("2026-12-07T16:40:02Z");
    // empty: the real clock.
    std::string time;

    kx::platform::env_value get_env(const char* name) override;
    void write_stdout(std::string_view text) override;
    int run_command(const std::string& command_line) override;
    std::string current_directory() override;
    std::string utc_time_text() override;
};

// Host allocations the library keeps for its whole life (the exception list).
std::size_t library_lifetime_allocations();

class library_test : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Calls user_exit_start so that the library's callbacks are registered.
    void start_library();
    // Every allocation given back except what the library keeps for its life.
    void expect_no_leaks();
    // A fresh directory of the test's own, removed after the test.
    const std::filesystem::path& scratch_dir();

    sim::host_model& host() { return sim::host(); }
    fake_system system;

private:
    std::filesystem::path scratch_;
};

}  // namespace kxtest
