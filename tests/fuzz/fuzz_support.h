// Shared ground for the fuzz targets: a quiet stand-in for the operating
// system, a scratch file that each input is written to, and a hard stop for a
// broken invariant that both libFuzzer and the replay driver report as a crash.
#pragma once

#include "platform/platform.h"
#include "sim_host.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include <unistd.h>

namespace kxfuzz {

[[noreturn]] inline void broken(const char* condition, const char* file, int line)
{
    std::fprintf(stderr, "%s:%d: invariant broken: %s\n", file, line, condition);
    std::abort();
}

// Answers from a table and swallows everything else: the parsers only read
// the environment and print the occasional line.
class quiet_system final : public kx::platform::system_interface {
public:
    std::map<std::string, std::string> env;

    kx::platform::env_value get_env(const char* name) override
    {
        const auto found = env.find(name);
        if (found == env.end()) return std::nullopt;
        return found->second;
    }
    void write_stdout(std::string_view) override {}
    int run_command(const std::string&) override { return -1; }
    std::string current_directory() override { return "/"; }
};

// One file per process, so parallel fuzzing jobs never share it. In memory
// where the system has such a directory: a file rewritten for every input on
// a disk file system is flushed on every close. Where the system reaches a
// process's open files by name, the file is unlinked at once and read through
// the process's own descriptor, so that a crash, which runs no destructor,
// leaves nothing behind; elsewhere it is removed at exit.
class scratch_file {
public:
    scratch_file()
    {
        std::error_code ignored;
        const std::filesystem::path dir = std::filesystem::is_directory("/dev/shm", ignored)
                                              ? std::filesystem::path("/dev/shm")
                                              : std::filesystem::temp_directory_path();
        std::string pattern = (dir / "kx_fuzz_XXXXXX").string();
        const int fd = mkstemp(pattern.data());
        if (fd < 0) broken("mkstemp", __FILE__, __LINE__);
        const std::string through_fd = "/proc/self/fd/" + std::to_string(fd);
        if (std::filesystem::exists(through_fd, ignored) && unlink(pattern.c_str()) == 0) {
            fd_ = fd;
            path_ = through_fd;
        } else {
            close(fd);
            path_ = pattern;
        }
    }
    ~scratch_file()
    {
        if (fd_ >= 0) close(fd_);
        else std::remove(path_.c_str());
    }
    scratch_file(const scratch_file&) = delete;
    scratch_file& operator=(const scratch_file&) = delete;

    const std::string& path() const noexcept { return path_; }

    // The input byte for byte: no line-end translation, NUL bytes kept.
    void write(const std::uint8_t* data, std::size_t size) const
    {
        std::FILE* file = std::fopen(path_.c_str(), "wb");
        if (file == nullptr) broken("fopen scratch file", __FILE__, __LINE__);
        if (size != 0 && std::fwrite(data, 1, size, file) != size) broken("fwrite scratch file", __FILE__, __LINE__);
        std::fclose(file);
    }

private:
    std::string path_;
    int fd_ = -1;
};

// Readies the simulated host for the next input. Every input must give back
// all it took (each target checks that), so between inputs only the logs that
// grow are cleared; a full reset also rebuilds the host's allocation account,
// which costs more than most inputs. The first input, any input after one
// that left something behind, and every few thousandth input (so that the
// account does not grow with every address the allocator ever handed out)
// get the full reset.
inline void next_input()
{
    static unsigned inputs = 0;
    sim::host_model& model = sim::host();
    if (inputs++ % 4096 == 0 || sim::outstanding_allocations() != 0 || !model.misuse.empty() ||
        sim::open_text_channels() != 0) {
        sim::reset();
        return;
    }
    model.calls.clear();
    model.call_counts.clear();
    model.requests.clear();
    model.message_boxes.clear();
    model.listing.clear();
}

}  // namespace kxfuzz

#define KX_FUZZ_CHECK(condition) \
    do { \
        if (!(condition)) ::kxfuzz::broken(#condition, __FILE__, __LINE__); \
    } while (0)

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
