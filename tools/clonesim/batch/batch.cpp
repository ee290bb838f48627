#include "batch/batch.h"

#include "platform/child_process.h"
#include "platform/os.h"
#include "platform/platform.h"
#include "report/html_report.h"
#include "run/environment.h"
#include "run/run_error.h"
#include "texts/texts.h"
#include "traces/trace.h"

#include <algorithm>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

namespace clonesim {

namespace {

using ordered_json = nlohmann::ordered_json;

std::string read_whole(const std::filesystem::path& file)
{
    std::ifstream in(file, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The last thing a child said on standard error, for a child that left no
// result: a sanitizer's report or clonesim's own one line.
std::string last_words(const std::filesystem::path& errors)
{
    const std::vector<std::string> lines = lines_of(read_whole(errors));
    for (auto line = lines.rbegin(); line != lines.rend(); ++line) {
        if (line->find_first_not_of(" \t\r") == std::string::npos) continue;
        constexpr std::size_t longest = 300;
        return "; its last line on standard error: " + escape_bytes(line->size() > longest ? line->substr(0, longest) + "..." : *line);
    }
    return "";
}

// A message of clonesim's that begins with the trace's own path says it
// once, in the line's head.
std::string without_path(const std::string& trace, const std::string& reason)
{
    const std::string head = trace + ": ";
    return reason.rfind(head, 0) == 0 ? reason.substr(head.size()) : reason;
}

// Removes the children's result files on every path, and stops the children
// still running when replay_each leaves early.
class child_work {
public:
    child_work() : folder_(make_temp_directory("clonesim-replays")) {}
    ~child_work()
    {
        for (const auto& [id, index] : running_) platform::stop_child(id);
        std::error_code ec;
        std::filesystem::remove_all(folder_, ec);
    }
    child_work(const child_work&) = delete;
    child_work& operator=(const child_work&) = delete;

    std::filesystem::path result_file(std::size_t index) const { return folder_ / (std::to_string(index) + ".json"); }
    std::filesystem::path error_file(std::size_t index) const { return folder_ / (std::to_string(index) + ".err"); }

    void start(std::size_t index, const std::vector<batch_trace>& traces, const batch_run& run)
    {
        platform::child_start start;
        start.program = run.clonesim;
        // The child's argv is in the ANSI code page on Windows, not in the
        // standard library's UTF-8.
        start.arguments = {"replay", "--result-file", os::text_of(result_file(index))};
        start.arguments.insert(start.arguments.end(), run.replay_options.begin(), run.replay_options.end());
        // A trace whose name begins with "-" is still a trace.
        start.arguments.push_back("--");
        start.arguments.push_back(os::text_of(traces[index].file));
        start.errors = error_file(index);
        // A child stopped mid-session cannot clear its own temporary
        // folders: they go in this one, which goes on every path.
        start.environment = {{"TMPDIR", folder_.string()}};
        try {
            running_.emplace(platform::start_child(start), index);
        } catch (const platform::process_error& e) {
            throw run_error(e.what());
        }
    }

    bool busy() const { return !running_.empty(); }
    std::size_t count() const { return running_.size(); }

    // Waits for a child and gives its trace's index and what it left.
    std::pair<std::size_t, batch_outcome> next(const std::vector<batch_trace>& traces)
    {
        platform::child_end end;
        try {
            end = platform::wait_any_child();
        } catch (const platform::process_error& e) {
            throw run_error(e.what());
        }
        const auto found = running_.find(end.id);
        if (found == running_.end()) throw run_error("a child process clonesim did not start ended");
        const std::size_t index = found->second;
        running_.erase(found);
        return {index, read(traces[index], end, index)};
    }

private:
    batch_outcome read(const batch_trace& trace, const platform::child_end& end, std::size_t index) const
    {
        batch_outcome out;
        out.trace = trace;
        if (!end.exited) {
            out.reason = "its clonesim was stopped by " + end.how + last_words(error_file(index));
            return out;
        }
        const ordered_json result = ordered_json::parse(read_whole(result_file(index)), nullptr, false);
        if (!result.is_object() || !result.contains("exit_status")) {
            out.reason = "its clonesim ended with " + end.how + " and left no result" + last_words(error_file(index));
            return out;
        }
        if (result["exit_status"] != end.exit_status) {
            out.reason = "its clonesim ended with " + end.how + " but its result gives exit status " + result["exit_status"].dump();
            return out;
        }
        return outcome_of(trace, result);
    }

    std::filesystem::path folder_;
    std::map<platform::child_id, std::size_t> running_;
};

std::string status_name(batch_status status)
{
    switch (status) {
    case batch_status::same: return "same";
    case batch_status::differ: return "differ";
    case batch_status::cannot_be_read: return "cannot be read";
    case batch_status::not_replayed: return "not replayed";
    }
    return "?";
}

struct tally {
    std::size_t same = 0, same_partial = 0, differ = 0, parts = 0, unreadable = 0, not_replayed = 0;
};

tally count(const std::vector<batch_outcome>& outcomes)
{
    tally t;
    for (const batch_outcome& o : outcomes) {
        switch (o.status) {
        case batch_status::same:
            ++t.same;
            if (o.partial) ++t.same_partial;
            break;
        case batch_status::differ:
            ++t.differ;
            t.parts += o.parts_affected;
            break;
        case batch_status::cannot_be_read: ++t.unreadable; break;
        case batch_status::not_replayed: ++t.not_replayed; break;
        }
    }
    return t;
}

std::string verdict_text(const std::vector<batch_outcome>& outcomes)
{
    const tally t = count(outcomes);
    std::string text;
    if (t.differ == 0 && t.unreadable == 0 && t.not_replayed == 0) {
        text = outcomes.size() == 1 ? "the session is the same as recorded" : "every session is the same as recorded";
        if (t.same_partial > 0) text += ", the partial ones as far as they go";
        return text;
    }
    auto add = [&](const std::string& part) { text += (text.empty() ? "" : "; ") + part; };
    if (t.differ > 0)
        add(std::to_string(t.differ) + " of " + count_of(outcomes.size(), "session", "sessions") + " " +
            (t.differ == 1 ? "differs" : "differ") + " from the recorded outcome");
    if (t.unreadable > 0) add(count_of(t.unreadable, "trace", "traces") + " cannot be read");
    if (t.not_replayed > 0) add(count_of(t.not_replayed, "trace was", "traces were") + " not replayed");
    return text;
}

// A text of the JSON results (UTF-8 already) for the page.
std::string html_text(const std::string& text)
{
    std::string out;
    for (const char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        default: out += c;
        }
    }
    return out;
}

// A name on a line of text: a line feed in it must not start a line of its
// own, nor a stray byte garble the terminal. Each piece between this system's
// separators is escaped on its own: the separator is the name's own, so a
// Windows path stays readable.
std::string shown(const std::string& name)
{
    const char separator = kx::platform::path_separator();
    std::string out;
    for (std::size_t from = 0;;) {
        const std::size_t at = name.find(separator, from);
        out += escape_bytes(name.substr(from, at == std::string::npos ? std::string::npos : at - from));
        if (at == std::string::npos) return out;
        out += separator;
        from = at + 1;
    }
}

// A text of bytes (a path) for the page, each byte that is no UTF-8 shown
// as \xHH as on the text lines.
std::string html_bytes(const std::string& bytes) { return html_text(shown(bytes)); }

}  // namespace

batch_inputs collect_traces(const std::vector<std::string>& paths)
{
    batch_inputs in;
    std::set<std::filesystem::path> seen;
    auto take = [&](const std::filesystem::path& file, const std::string& shown) {
        std::error_code ec;
        std::filesystem::path key = std::filesystem::weakly_canonical(file, ec);
        if (ec) key = file;
        // One session compared twice would count twice in the summary.
        if (!seen.insert(key).second) {
            in.notes.push_back(clonesim::shown(shown) + " is given more than once: it is replayed once");
            return;
        }
        in.traces.push_back(batch_trace{file, shown});
    };
    for (const std::string& path : paths) {
        // Named as the command line gives it (the ANSI code page on Windows).
        const std::filesystem::path given = os::path_of(path);
        std::error_code ec;
        if (!std::filesystem::is_directory(given, ec)) {
            take(given, path);
            continue;
        }
        const std::vector<std::filesystem::path> files = trace_files_in(given);
        // Most likely the wrong folder: stop before anything is replayed,
        // rather than sum up the other traces as if they were all.
        if (files.empty()) throw run_error(shown(path) + ": the folder holds no trace (no file named kxpdm-trace-*.jsonl)");
        const std::set<std::filesystem::path> taken(files.begin(), files.end());
        std::size_t others = 0, not_files = 0;
        for (const auto& entry : std::filesystem::directory_iterator(given, ec)) {
            if (taken.count(entry.path()) > 0) continue;
            if (entry.is_regular_file(ec))
                ++others;
            else if (is_trace_name(entry.path()))
                ++not_files;
        }
        // Only the library's own names are taken from a folder, so that the
        // reports and scenarios kept beside traces are not replayed as
        // broken traces; a trace renamed is replayed when named alone.
        if (others > 0)
            in.notes.push_back(shown(path) + ": " + count_of(others, "file", "files") +
                               " not named kxpdm-trace-*.jsonl skipped (name a trace to replay it whatever its name)");
        // A pipe would keep its child waiting for a writer, a device for
        // ever; a folder below is not looked into.
        if (not_files > 0)
            in.notes.push_back(shown(path) + ": " + count_of(not_files, "entry", "entries") +
                               " named like a trace but not a regular file skipped (a folder, pipe or device)");
        const std::string folder =
            path.empty() || kx::platform::ends_folder_name(path.back()) ? path : path + kx::platform::path_separator();
        for (const auto& file : files) take(file, folder + os::text_of(file.filename()));
    }
    // Lines by path, so that two runs list a folder alike whatever finishes
    // first.
    std::stable_sort(in.traces.begin(), in.traces.end(), [](const batch_trace& a, const batch_trace& b) { return a.shown < b.shown; });
    return in;
}

ordered_json cannot_be_read_result(const std::string& trace, const std::string& reason)
{
    return ordered_json{{"trace", json_safe(trace)}, {"cannot_be_read", json_safe(without_path(trace, reason))}, {"exit_status", 2}};
}

ordered_json not_replayed_result(const std::string& trace, const std::string& reason)
{
    return ordered_json{{"trace", json_safe(trace)}, {"not_replayed", json_safe(without_path(trace, reason))}, {"exit_status", 2}};
}

batch_outcome outcome_of(const batch_trace& trace, const ordered_json& result)
{
    batch_outcome out;
    out.trace = trace;
    auto text = [](const ordered_json& value) { return value.is_string() ? value.get<std::string>() : value.dump(); };
    if (!result.is_object()) {
        out.reason = "its result could not be read";
        return out;
    }
    if (result.contains("cannot_be_read")) {
        out.status = batch_status::cannot_be_read;
        out.reason = text(result["cannot_be_read"]);
        return out;
    }
    if (result.contains("not_replayed")) {
        out.reason = text(result["not_replayed"]);
        return out;
    }
    // Only a whole report counts: a result without its differences, or
    // with one of them not as a replay writes it, would otherwise pass for
    // the same outcome, or stop every other trace's.
    const auto whole_difference = [](const ordered_json& d) {
        return d.is_object() && d.contains("kind") && d["kind"].is_string() &&
               (!d.contains("part") || d["part"].is_string() || d["part"].is_null());
    };
    if (!result.is_object() || !result.contains("differences") || !result["differences"].is_array() ||
        !result.contains("partial") || !(result["partial"].is_null() || result["partial"].is_string()) ||
        !std::all_of(result["differences"].begin(), result["differences"].end(), whole_difference)) {
        out.reason = "its result could not be read";
        return out;
    }
    const ordered_json& differences = result["differences"];
    std::set<std::string> parts;
    for (const ordered_json& d : differences) {
        if (d["kind"] == "unanswered") ++out.unanswered;
        if (d.contains("part") && d["part"].is_string()) parts.insert(d["part"].get<std::string>());
    }
    out.differences = differences.size();
    out.parts_affected = parts.size();
    out.partial = !result["partial"].is_null();
    out.status = differences.empty() ? batch_status::same : batch_status::differ;
    out.replay = result;
    return out;
}

std::vector<batch_outcome> replay_each(const std::vector<batch_trace>& traces, const batch_run& run)
{
    std::vector<batch_outcome> outcomes(traces.size());
    std::vector<bool> done(traces.size(), false);
    child_work children;
    std::size_t next = 0, told = 0;
    const unsigned jobs = std::max(1u, run.jobs);
    while (next < traces.size() || children.busy()) {
        while (next < traces.size() && children.count() < jobs) children.start(next++, traces, run);
        auto [index, outcome] = children.next(traces);
        outcomes[index] = std::move(outcome);
        done[index] = true;
        while (told < traces.size() && done[told]) {
            if (run.on_outcome) run.on_outcome(outcomes[told]);
            ++told;
        }
    }
    return outcomes;
}

int batch_exit_status(const std::vector<batch_outcome>& outcomes)
{
    int status = 0;
    for (const batch_outcome& o : outcomes) {
        if (o.status == batch_status::cannot_be_read || o.status == batch_status::not_replayed) return 2;
        if (o.status == batch_status::differ) status = 1;
    }
    return status;
}

std::string batch_head_text(const batch_header& header, std::size_t traces)
{
    std::string text = "replay of " + count_of(traces, "trace", "traces") + " against " + header.library + ", " +
                       std::to_string(header.jobs) + " at a time\n";
    for (const std::string& change : header.changes) text += "  changed         " + change + "\n";
    return text + "\n";
}

std::string batch_line(const batch_outcome& o)
{
    std::string text = shown(o.trace.shown) + ": ";
    switch (o.status) {
    case batch_status::same: text += o.partial ? "same, as far as the partial trace goes" : "same"; break;
    case batch_status::differ:
        text += count_of(o.differences, "difference", "differences");
        if (o.unanswered > 0) text += " (" + std::to_string(o.unanswered) + " unanswered)";
        text += ", " + count_of(o.parts_affected, "part", "parts") + " affected";
        if (o.partial) text += ", as far as the partial trace goes";
        break;
    case batch_status::cannot_be_read: text += "cannot be read: " + o.reason; break;
    case batch_status::not_replayed: text += "not replayed: " + o.reason; break;
    }
    return text + "\n";
}

std::string batch_summary_text(const std::vector<batch_outcome>& outcomes)
{
    const tally t = count(outcomes);
    std::string text = "\nsummary\n";
    text += "  traces          " + std::to_string(outcomes.size()) + "\n";
    text += "  the same        " + count_of(t.same, "session", "sessions") +
            (t.same_partial > 0 ? " (" + std::to_string(t.same_partial) + " partial, as far as they go)" : "") + "\n";
    text += "  that differ     " + count_of(t.differ, "session", "sessions") + "\n";
    text += "  parts affected  " + std::to_string(t.parts) + "\n";
    if (t.unreadable > 0) text += "  cannot be read  " + count_of(t.unreadable, "trace", "traces") + "\n";
    if (t.not_replayed > 0) text += "  not replayed    " + count_of(t.not_replayed, "trace", "traces") + "\n";
    return text + "\nverdict: " + verdict_text(outcomes) + "\n";
}

ordered_json batch_json(const batch_header& header, const std::vector<batch_outcome>& outcomes)
{
    const tally t = count(outcomes);
    ordered_json out;
    out["library"] = json_safe(header.library);
    out["changes"] = ordered_json::array();
    for (const std::string& change : header.changes) out["changes"].push_back(json_safe(change));
    out["jobs"] = header.jobs;
    out["summary"] = {{"traces", outcomes.size()}, {"same", t.same},           {"differ", t.differ},
                      {"parts_affected", t.parts}, {"cannot_be_read", t.unreadable}, {"not_replayed", t.not_replayed}};
    ordered_json list = ordered_json::array();
    for (const batch_outcome& o : outcomes) {
        std::string line = batch_line(o);
        line.pop_back();
        list.push_back({{"trace", json_safe(o.trace.shown)},
                        {"outcome", status_name(o.status)},
                        {"line", json_safe(line)},
                        {"differences", o.differences},
                        {"unanswered", o.unanswered},
                        {"parts_affected", o.parts_affected},
                        {"partial", o.partial},
                        {"reason", o.reason.empty() ? ordered_json(nullptr) : ordered_json(json_safe(o.reason))},
                        {"replay", o.replay}});
    }
    out["traces"] = std::move(list);
    out["verdict"] = json_safe(verdict_text(outcomes));
    out["exit_status"] = batch_exit_status(outcomes);
    return out;
}

std::string batch_html(const batch_header& header, const std::vector<batch_outcome>& outcomes)
{
    std::string page =
        "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\"><title>clonesim replay of " +
        count_of(outcomes.size(), "trace", "traces") +
        "</title>\n<style>body{font:14px sans-serif;margin:1.5em}table{border-collapse:collapse}"
        "td,th{border:1px solid #ccc;padding:.2em .5em;text-align:left;vertical-align:top}"
        ".same{color:#176b1f}.differ{color:#9a5b00}.cannot-be-read,.not-replayed{color:#a31515}"
        "pre{margin:.3em 0;white-space:pre-wrap}</style></head><body>\n";
    page += "<h1>Replay of " + count_of(outcomes.size(), "trace", "traces") + "</h1>\n<p>against " + html_bytes(header.library) + "</p>\n";
    if (!header.changes.empty()) {
        page += "<p>rule changes:</p><ul>\n";
        for (const std::string& change : header.changes) page += "<li>" + html_bytes(change) + "</li>\n";
        page += "</ul>\n";
    }
    const tally t = count(outcomes);
    page += "<table id=\"summary\"><tr><th>traces</th><td>" + std::to_string(outcomes.size()) + "</td></tr>\n";
    page += "<tr><th>the same</th><td>" + std::to_string(t.same) + "</td></tr>\n";
    page += "<tr><th>that differ</th><td>" + std::to_string(t.differ) + "</td></tr>\n";
    page += "<tr><th>parts affected</th><td>" + std::to_string(t.parts) + "</td></tr>\n";
    page += "<tr><th>cannot be read</th><td>" + std::to_string(t.unreadable) + "</td></tr>\n";
    page += "<tr><th>not replayed</th><td>" + std::to_string(t.not_replayed) + "</td></tr></table>\n";
    page += "<p id=\"verdict\">verdict: " + html_text(verdict_text(outcomes)) + "</p>\n";
    page += "<table id=\"traces\"><tr><th>trace</th><th>outcome</th></tr>\n";
    for (const batch_outcome& o : outcomes) {
        std::string css = status_name(o.status);
        std::replace(css.begin(), css.end(), ' ', '-');
        std::string line = batch_line(o);
        const std::size_t name = shown(o.trace.shown).size() + 2;
        line = line.substr(name, line.size() - name - 1);
        page += "<tr class=\"" + css + "\"><td>" + html_bytes(o.trace.shown) + "</td><td>";
        if (o.replay.is_object() && (!o.replay["differences"].empty() || !o.replay["partial"].is_null())) {
            page += "<details><summary>" + html_bytes(line) + "</summary>";
            if (o.replay["partial"].is_string()) page += "<p>" + html_text(o.replay["partial"].get<std::string>()) + "</p>";
            page += "<pre>";
            for (const ordered_json& d : o.replay["differences"]) {
                const bool known = !d.contains("known") || !d["known"].is_boolean() || d["known"].get<bool>();
                const std::string text = d.contains("line") && d["line"].is_string() ? d["line"].get<std::string>() : "";
                page += html_text((known ? "" : "not known: ") + text) + "\n";
            }
            page += "</pre></details>";
        } else {
            page += html_bytes(line);
        }
        page += "</td></tr>\n";
    }
    return page + "</table>\n</body></html>\n";
}

}  // namespace clonesim
