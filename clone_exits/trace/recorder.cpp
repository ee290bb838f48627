#include "trace/recorder.h"

#include "import/import_attr_map.h"
#include "host/host_codes.h"
#include "session/messages.h"
#include "session/session_state.h"
#include "trace/json_line.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <ios>

namespace kx::trace {

namespace {

constexpr unsigned long long megabyte = 1024ULL * 1024ULL;
// Beyond a mebibyte of mebibytes the variable holds a typing error.
constexpr unsigned long long largest_cap_mb = 1024ULL * 1024ULL;
// Room kept below the cap for the line that says the trace was cut.
constexpr unsigned long long cut_line_room = 64;
// Room kept for the header until it is written, besides the state it carries.
constexpr unsigned long long header_room = 512;

unsigned long long cap_from_environment()
{
    const auto value = platform::get_env(cap_variable).shown();
    if (!value.has_value() || value->empty()) return default_cap_mb;
    const bool digits_only = value->size() <= 7 && std::all_of(value->begin(), value->end(), [](char c) {
                                 return std::isdigit(static_cast<unsigned char>(c)) != 0;
                             });
    if (digits_only) {
        const unsigned long long megabytes = std::stoull(*value);
        if (megabytes >= 1 && megabytes <= largest_cap_mb) return megabytes;
    }
    platform::print(msg::trace_cap_ignored(*value, default_cap_mb));
    return default_cap_mb;
}

// "kxpdm-trace-20261207-164002-<process>-<n>.jsonl": sorted by time, and
// never the same name twice in one process.
std::string file_name(std::string_view time, unsigned long session)
{
    std::string stamp;
    for (const char c : time) {
        if (c == 'T')
            stamp += '-';
        else if (std::isdigit(static_cast<unsigned char>(c)) != 0)
            stamp += c;
    }
    return "kxpdm-trace-" + stamp + "-" + std::to_string(platform::process_id()) + "-" + std::to_string(session) +
           ".jsonl";
}

// What the library keeps across sessions, as it stands now.
std::string state_snapshot()
{
    const library_state& s = state();
    json_line line;
    line.key("exception_list");
    if (s.exception_list.held()) {
        line.open_array();
        for (int i = 0; i < s.exception_list.count(); ++i) line.text(s.exception_list.data()[i]);
        line.close_array();
    } else {
        line.null();
    }
    line.key("import_attr_map").open_object().key("loaded").boolean(s.import_map.loaded).key("path");
    const import_map_setting path = read_import_map_setting();
    if (path.has_value())
        line.text(*path);
    else
        line.null();
    line.key("entries").open_array();
    for (const import_map_entry& entry : s.import_map.entries) line.open_array().text(entry.key).text(entry.title).close_array();
    line.close_array().close_object();
    line.key("family_instance_check").boolean(s.family_instance_check);
    line.key("import_item_list");
    if (s.import_item_list.held())
        line.text(s.import_item_list.view());
    else
        line.null();
    std::string text = line.finish();
    text.pop_back();  // the newline: this is a value inside the header
    return text;
}

}  // namespace

json_line session_trace::event_line(const char* kind)
{
    json_line line(json_line::array_line{}, texts_.get());
    line.word(kind);
    return line;
}

json_line session_trace::host_line() { return json_line(json_line::array_line{}, texts_.get()); }

void session_trace::start() noexcept
{
    abandon();
    try {
        // Read before the recorder stands on the road: its own settings are
        // not part of the session.
        const auto directory = platform::get_env(directory_variable);
        if (!directory.is_set_non_empty()) return;
        cap_ = cap_from_environment() * megabyte;
        ++sessions_;
        time_ = platform::utc_time_text();
        state_at_start_ = state_snapshot();
        pending_.clear();
        written_ = 0;
        texts_ = std::make_unique<text_table>();
        shapes_.clear();
        last_call_.clear();
        header_written_ = false;
        session_class_.reset();
        // A library loaded again in the same process and second counts its
        // sessions from 1 again: each name is created in one step, and one
        // in use (a file, a folder, a planted link) is passed over, never
        // written through. A folder the platform cannot hand over names
        // nothing, so no name in it is tried.
        auto created = platform::file_creation::failed;
        for (unsigned long n = sessions_; n < sessions_ + 1000; ++n) {
            path_ = platform::join_path(*directory.shown(), file_name(time_, n));
            if (!directory.usable()) break;
            created = platform::create_new_file(path_, file_);
            if (created != platform::file_creation::name_taken) break;
        }
        if (created != platform::file_creation::created) {
            give_up();
            return;
        }
        active_ = true;
        refused_at_start_ = false;
        recording_ = this;
        host_table_in_use = &recording_operations();
        platform::observe(this);
    } catch (...) {
        give_up();
    }
}

std::string session_trace::header() const
{
    json_line line;
    line.key("trace").text("kxpdm-clone-trace").key("format").number(format_version);
    line.key("library").text(library_version).key("platform").text(platform::system_name());
    line.key("code_page").text(platform::code_page()).key("time").text(time_).key("session_class");
    if (session_class_.has_value())
        line.number(*session_class_);
    else
        line.null();
    line.key("state").raw(state_at_start_);
    return line.finish();
}

void session_trace::record(json_line& line) noexcept
{
    if (!active_) return;
    try {
        append(line.finish());
    } catch (...) {
        give_up();
    }
}

void session_trace::record_host(const char* operation, json_line& line) noexcept
{
    if (!active_) return;
    try {
        shape_.assign(operation);
        shape_ += ';';
        shape_ += line.names();
        auto known = shapes_.find(shape_);
        if (known == shapes_.end()) {
            known = shapes_.emplace(shape_, shapes_.size() + 1).first;
            last_call_.emplace_back();
            json_line definition(json_line::array_line{}, nullptr);
            definition.word("op").number(static_cast<long long>(known->second)).word(operation);
            // The names, as the line's arrays gave them.
            std::string_view names = line.names();
            for (int group = 0; group < 2; ++group) {
                definition.open_array();
                const std::size_t end = names.find(';');
                std::string_view members = names.substr(0, end);
                for (std::size_t comma; (comma = members.find(',')) != std::string_view::npos; members.remove_prefix(comma + 1))
                    definition.word(members.substr(0, comma));
                definition.close_array();
                names.remove_prefix(end == std::string_view::npos ? names.size() : end + 1);
            }
            append(definition.finish());
            if (!active_) return;
        }
        const std::string number = std::to_string(known->second);
        std::string& last = last_call_[known->second - 1];
        // A call whose texts took numbers is written whole, so that the
        // reader numbers them too.
        const bool fresh = line.numbered();
        std::string text = line.finish_with_first(number);
        if (!fresh && text == last) {
            append("[" + number + "]\n");
            return;
        }
        append(text);
        last = std::move(text);
    } catch (...) {
        give_up();
    }
}

void session_trace::append(const std::string& text)
{
    const unsigned long long header_left = header_written_ ? 0 : state_at_start_.size() + header_room;
    if (written_ + header_left + pending_.size() + text.size() + cut_line_room > cap_) {
        cut();
        return;
    }
    pending_ += text;
}

// The header names the session's class, which the library asks for after
// Init_Clone: until it has, the events wait with the header, unless the
// trace must be written now (its end, its cap, a session left unfinished).
void session_trace::flush(bool now)
{
    if (!header_written_) {
        if (!now && !session_class_.has_value()) return;
        const std::string text = header();
        if (!file_.write(text)) throw std::ios_base::failure("session trace not written");
        written_ += text.size();
        header_written_ = true;
    }
    if (!file_.write(pending_)) throw std::ios_base::failure("session trace not written");
    written_ += pending_.size();
    pending_.clear();
}

void session_trace::cut()
{
    flush(true);
    json_line line = event_line("cut");
    line.key("bytes").number(static_cast<long long>(written_));
    file_.write(line.finish());
    file_.close();
    take_off();
    active_ = false;
    platform::print(msg::trace_cut(path_, cap_ / megabyte));
}

void session_trace::take_off() noexcept
{
    if (recording_ == this) recording_ = nullptr;
    host_table_in_use = &bound_host_operations();
    platform::observe(nullptr);
}

void session_trace::give_up() noexcept
{
    take_off();
    active_ = false;
    pending_.clear();
    file_.close();
    try {
        platform::print(msg::trace_given_up(path_));
    } catch (...) {
        // Nothing is left to say it with; the session goes on.
    }
}

void session_trace::abandon() noexcept
{
    if (!active_) return;
    try {
        flush(true);
    } catch (...) {
        // What could not be written is lost with the trace's end.
    }
    take_off();
    active_ = false;
    pending_.clear();
    file_.close();
}

void session_trace::finish() noexcept
{
    if (!active_) return;
    try {
        json_line line = event_line("end");
        record(line);
        if (!active_) return;  // cut at the cap
        flush(true);
        file_.close();
        take_off();
        active_ = false;
    } catch (...) {
        give_up();
    }
}

// One event: its kind, then what `fill` writes. An event that cannot be
// built ends the recording, never the session.
template <typename Fill>
void session_trace::add(const char* kind, Fill&& fill, bool returning) noexcept
{
    if (!active_) return;
    try {
        json_line line = event_line(kind);
        fill(line);
        record(line);
        // Written at every return to the host: a host that goes down leaves
        // the session up to its last callback.
        if (returning && active_) flush();
    } catch (...) {
        give_up();
    }
}

namespace {

void optional_text(json_line& line, const std::optional<std::string>& text)
{
    if (text.has_value())
        line.text(*text);
    else
        line.null();
}

}  // namespace

// The host never ended a session that does not go on to its Exit_Clone: its
// trace ends as such a trace does, without the end mark.
bool session_trace::belongs_to_session(bool exit_clone) noexcept
{
    if (!active_ || !refused_at_start_ || exit_clone) return active_;
    abandon();
    return false;
}

void session_trace::callback_entered(int point, const char* part_name) noexcept
{
    if (!belongs_to_session(point == point_exit_clone)) return;
    add("call", [&](json_line& line) {
        line.key("callback").text("notify").key("point").number(point).key("part").text(part_name);
    });
}

void session_trace::translation_entered(const char* part_spec) noexcept
{
    if (!belongs_to_session(false)) return;
    add("call", [&](json_line& line) { line.key("callback").text("translate").key("part").text(part_spec); });
}

void session_trace::callback_returned(int result) noexcept
{
    add("return", [&](json_line& line) { line.key("result").number(result); }, true);
}

void session_trace::translation_returned(int result, const char* new_name) noexcept
{
    add("return", [&](json_line& line) {
        line.key("result").number(result).key("new_name");
        // The host's buffer holds a name only when the translation succeeded.
        if (result == 0 && new_name != nullptr)
            line.text(std::string_view(new_name, strnlen(new_name, HOST_MAX_FSPEC_BUFSIZE)));
        else
            line.null();
    }, true);
}

void session_trace::env_read(const char* name, const std::optional<std::string>& value) noexcept
{
    add("env", [&](json_line& line) {
        line.key("name").text(name).key("value");
        optional_text(line, value);
    });
}

void session_trace::printed(std::string_view text) noexcept
{
    add("stdout", [&](json_line& line) { line.key("text").text(text); });
}

void session_trace::file_read(const std::string& path, const std::optional<std::string>& content) noexcept
{
    add("file", [&](json_line& line) {
        line.key("path").text(path).key("content");
        optional_text(line, content);
    });
}

void session_trace::command_run(const platform::command& c, const std::string& command_line, int exit_code) noexcept
{
    add("command", [&](json_line& line) {
        line.key("program").text(c.program).key("arguments").open_array();
        for (const std::string& argument : c.file_arguments) line.text(argument);
        line.close_array().key("line").text(command_line).key("exit").number(exit_code);
    });
}

void session_trace::file_deleted(std::string_view path, int exit_code) noexcept
{
    add("delete", [&](json_line& line) { line.key("path").text(path).key("exit").number(exit_code); });
}

}  // namespace kx::trace
