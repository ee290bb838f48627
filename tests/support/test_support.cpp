#include "test_support.h"

#include "entry/callbacks.h"

#include <algorithm>
#include <cstdlib>
#include <random>
#include <stdexcept>

namespace kxtest {

kx::platform::env_value fake_system::get_env(const char* name)
{
    const auto found = env.find(name);
    if (found == env.end()) return std::nullopt;
    if (unusable.count(name) != 0) return kx::platform::env_value::unusable(found->second);
    return found->second;
}

void fake_system::write_stdout(std::string_view text) { stdout_text.append(text); }

int fake_system::run_command(const std::string& command_line)
{
    commands.push_back(command_line);
    if (run_for_real) return kx::platform::real_system().run_command(command_line);
    return exit_code ? exit_code(command_line) : 0;
}

std::string fake_system::current_directory() { return cwd; }

std::string fake_system::utc_time_text() { return time.empty() ? system_interface::utc_time_text() : time; }

std::size_t library_lifetime_allocations()
{
    const kx::host_string_array& list = kx::state().exception_list;
    return list.held() ? static_cast<std::size_t>(list.count()) + 1 : 0;
}

void library_test::SetUp()
{
    kx::reset_recorder();
    kx::reset_library_state();
    sim::reset();
    kx::platform::install(&system);
}

void library_test::TearDown()
{
    if (!scratch_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(scratch_, ignored);
        scratch_.clear();
    }
    // Releasing what is not held stays inside the library.
    const std::vector<std::string>& calls = sim::host().calls;
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "HOST_free(NULL)"), 0) << "a release reached the host with nothing";
    kx::reset_recorder();
    kx::reset_library_state();
    EXPECT_EQ(sim::outstanding_allocations(), 0u) << "host allocations left after the test";
    EXPECT_TRUE(sim::host().misuse.empty()) << (sim::host().misuse.empty() ? "" : sim::host().misuse.front());
    sim::reset();
    kx::platform::install(nullptr);
}

void library_test::start_library() { ASSERT_EQ(user_exit_start(), 0); }

void library_test::expect_no_leaks()
{
    EXPECT_EQ(sim::outstanding_allocations(), library_lifetime_allocations());
}

}  // namespace kxtest

namespace kxtest {

const std::filesystem::path& library_test::scratch_dir()
{
    if (scratch_.empty()) {
        // A name nobody else has: created here, so an existing one is skipped.
        std::random_device seed;
        std::mt19937_64 numbers(seed());
        const std::filesystem::path base = std::filesystem::temp_directory_path();
        for (int attempt = 0; attempt < 100 && scratch_.empty(); ++attempt) {
            const std::filesystem::path candidate = base / ("kx_test_" + std::to_string(numbers()));
            std::error_code error;
            if (std::filesystem::create_directory(candidate, error)) scratch_ = candidate;
        }
        if (scratch_.empty()) throw std::runtime_error("cannot make a scratch directory");
    }
    return scratch_;
}

}  // namespace kxtest
