// The session recorder: when KXPDM_TRACE_DIR names a folder at Init_Clone,
// the session is written there as one JSON Lines trace (docs/trace-format.md):
// every callback the host made, every host operation, request, command,
// environment variable, file read and text printed. It stands in front of
// the host's table and on the platform's road, so no rule knows of it, and
// it never changes what the library does or returns: its own failures end
// the recording, never the session.
#pragma once

#include "host/host_table.h"
#include "platform/platform.h"
#include "session/settings.h"
#include "trace/json_line.h"

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace kx::trace {


inline constexpr int format_version = 2;
inline constexpr char library_version[] = "kxpdm_clone_userexit_v30 " KX_VERSION;
inline constexpr const char* directory_variable = setting::trace_directory;
inline constexpr const char* cap_variable = setting::trace_cap_mb;
inline constexpr unsigned long long default_cap_mb = 512;

class session_trace final : public platform::system_observer {
public:
    // At Init_Clone, before its work: ends a trace left unfinished and opens
    // a new one when the folder variable is set.
    void start() noexcept;
    // A callback of the host's. After an Init_Clone that stopped the
    // session only its Exit_Clone belongs to the trace: any other callback
    // first ends the trace, unrecorded and without the end mark.
    void callback_entered(int point, const char* part_name) noexcept;
    void translation_entered(const char* part_spec) noexcept;
    void callback_returned(int result) noexcept;
    // Init_Clone answered: a session it stopped has nothing more to record
    // but its Exit_Clone.
    void session_started(int result) noexcept { refused_at_start_ = active_ && result != 0; }
    void translation_returned(int result, const char* new_name) noexcept;
    // After Exit_Clone returned: the end mark, and the file is closed.
    void finish() noexcept;
    // Closes a trace without its end mark (a session the host never ended).
    void abandon() noexcept;

    bool active() const noexcept { return active_; }
    // The trace whose recording table stands on the host's road; null when
    // none does.
    static session_trace* recording() noexcept { return recording_; }
    // Adds one event; the recording table's functions build them.
    void record(json_line& line) noexcept;
    // A new event line: an array whose first member is its kind, its texts
    // numbered in this trace's table.
    json_line event_line(const char* kind);
    // A host call's line: `line` holds its inputs and outputs (and its
    // status when not 0); the operation's number goes first. A shape of
    // inputs and outputs not seen before is written first, under a new
    // number; a call that repeats the last of its number is written as the
    // number alone.
    json_line host_line();
    void record_host(const char* operation, json_line& line) noexcept;
    void note_session_class(int operation_class) noexcept { session_class_ = operation_class; }
    // An event could not be built: the recording ends, the session goes on.
    void record_failed() noexcept { give_up(); }
    const std::string& path() const noexcept { return path_; }

    void env_read(const char* name, const std::optional<std::string>& value) noexcept override;
    void printed(std::string_view text) noexcept override;
    void file_read(const std::string& path, const std::optional<std::string>& content) noexcept override;
    void command_run(const platform::command& c, const std::string& line, int exit_code) noexcept override;
    void file_deleted(std::string_view path, int exit_code) noexcept override;

private:
    template <typename Fill>
    void add(const char* kind, Fill&& fill, bool returning = false) noexcept;
    void flush(bool now = false);
    void append(const std::string& text);
    void cut();
    void give_up() noexcept;
    void take_off() noexcept;
    std::string header() const;
    bool belongs_to_session(bool exit_clone) noexcept;

    static inline session_trace* recording_ = nullptr;

    platform::output_file file_;
    std::string path_;
    std::string pending_;       // events since the last callback returned
    std::string state_at_start_;  // the header's "state", as the session began
    std::string time_;
    std::optional<int> session_class_;
    std::unique_ptr<text_table> texts_;
    // Operation and member names: its number. Looked up at every host call,
    // by keys that share long beginnings ("HOST_CLONE_ask_..."): hashed.
    std::unordered_map<std::string, std::size_t> shapes_;
    std::string shape_;  // the shape of the call at hand, its room kept from call to call
    std::vector<std::string> last_call_;        // by number, the last call written whole
    unsigned long long written_ = 0;
    unsigned long long cap_ = 0;
    unsigned long sessions_ = 0;
    bool active_ = false;
    bool header_written_ = false;
    bool refused_at_start_ = false;
};

// The table that records each host call and passes it to the bound one.
const host_operation_table& recording_operations() noexcept;

}  // namespace kx::trace
