#include "replay/replay.h"

#include "host/host_codes.h"
#include "platform/os.h"
#include "report/verdict.h"
#include "run/environment.h"
#include "run/session.h"
#include "texts/texts.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <map>
#include <set>
#include <unordered_map>
#include <unordered_set>

namespace clonesim {

namespace {

using json = nlohmann::json;

// Texts of one trace as they compare: the replay's own names put back to
// the recorded ones, one separator for a trace of another system.
class restorer {
public:
    restorer(const name_pairs& names, bool separators_as_one) : separators_as_one_(separators_as_one)
    {
        for (const auto& [recorded, used] : names) back_.emplace_back(used, recorded);
    }
    std::string operator()(const std::string& text) const
    {
        // Most texts hold none of the replay's own names.
        const bool holds = std::any_of(back_.begin(), back_.end(), [&](const auto& pair) {
            return !pair.first.empty() && text.find(pair.first) != std::string::npos;
        });
        std::string restored = holds ? replace_each(text, back_) : text;
        return separators_as_one_ ? same_separators(std::move(restored)) : restored;
    }

    // Whether the text compares as it stands: nothing in it to put back.
    bool leaves(std::string_view text) const
    {
        if (separators_as_one_ && text.find('\\') != std::string_view::npos) return false;
        return std::none_of(back_.begin(), back_.end(), [&](const auto& pair) {
            return !pair.first.empty() && text.find(pair.first) != std::string_view::npos;
        });
    }

private:
    name_pairs back_;  // the replay's name, the recorded one
    bool separators_as_one_;
};

constexpr std::size_t nowhere = static_cast<std::size_t>(-1);

struct part_result {
    std::string name;
    std::string outcome;
    std::vector<std::string> messages;
    std::optional<std::string> new_name;
    std::size_t at = nowhere;  // the event its callback returned at
};

// Where an item of a session happened: the part it concerns ("" the
// session's own) and its event's place in the trace.
struct origin {
    std::string part;
    std::size_t at = nowhere;
};
using origins = std::vector<origin>;

// The host queries of the recorded session. A session played again mostly
// asks what it asked, in the same order: each question is first held against
// the recorded one after the last it matched, and only one that differs looks
// through them all.
class asked_questions {
public:
    void add(std::string question) { order_.push_back(std::move(question)); }

    bool has(const std::string& question) const
    {
        // A question the recorded session asked a little later: those it
        // asked in between, the session played again leaves out.
        const std::size_t end = std::min(order_.size(), next_ + look_ahead);
        for (std::size_t i = next_; i < end; ++i)
            if (order_[i] == question) {
                next_ = i + 1;
                return true;
            }
        if (!all_.has_value()) all_.emplace(order_.begin(), order_.end());
        return all_->count(question) > 0;
    }

private:
    static constexpr std::size_t look_ahead = 64;
    std::vector<std::string> order_;
    mutable std::size_t next_ = 0;
    mutable std::optional<std::unordered_set<std::string>> all_;
};

// What a session came to, and what it asked, as one trace tells it.
struct session_outcome {
    std::vector<part_result> parts;
    std::vector<std::string> requests, texts, deletes, commands;
    std::vector<std::string> effects;  // the host calls that change the world, with their inputs and status
    std::vector<std::string> notifications;  // each notification callback with the result it gave back
    std::vector<std::string> request_keys, command_keys;  // one for each request and command
    std::vector<std::string> questions;                   // the host queries with their inputs
    asked_questions asked;                                // the same, of the recorded session
    origins request_at, text_at, delete_at, command_at, effect_at, question_at, notification_at;
    std::set<std::string> variables, files;
};

std::string shown(const std::optional<std::string>& text) { return text.has_value() ? quote(*text) : "(none)"; }

// The host's answers that make up the model, by operation and the input
// that selects the answer. Tags are named by what they were handed out for,
// since each host numbers its own.
const std::unordered_set<std::string>& model_questions()
{
    static const std::unordered_set<std::string> ops = {
        "HOST_CLONE_ask_part_state", "HOST_CLONE_ask_action",     "HOST_CLONE_ask_naming",
        "HOST_CLONE_ask_item_type",  "HOST_CLONE_ask_pdm_name",   "HOST_CLONE_ask_pdm_desc",
        "HOST_CLONE_ask_attribute_values", "HOST_PDM_ask_part_tag", "HOST_PDM_ask_part_name_desc",
        "HOST_PDM_assign_part_number", "HOST_PDM_assign_part_rev", "HOST_PART_open",
        "HOST_ATTR_find_attribute",  "HOST_PART_is_family_instance", "HOST_FILE_exists",
        "HOST_TEXT_open",            "HOST_CLONE_remove_ntfy_callback",
    };
    return ops;
}

// The host operations that change something (a part file, an attribute, the
// session's settings, the host's callbacks): each call is compared with its
// inputs and its status, since a save left out is as real as a name changed.
const std::unordered_set<std::string>& effect_operations()
{
    static const std::unordered_set<std::string> ops = {
        "HOST_PART_open", "HOST_PART_save", "HOST_PART_close", "HOST_ATTR_assign",
        "HOST_ASSEM_set_assem_options", "HOST_ASSEM_set_save_trueshape", "HOST_CLONE_register_ntfy_callback",
        "HOST_CLONE_remove_ntfy_callback", "HOST_CLONE_set_def_naming", "HOST_CLONE_set_item_type",
        "HOST_CLONE_set_pdm_desc", "HOST_CLONE_set_pdm_name", "HOST_PDM_set_clone_auto_trans",
        "HOST_UNDO_delete_all_marks", "HOST_UI_open_listing_window",
    };
    return ops;
}

class outcome_reader {
public:
    // `asked`: the recorded session's questions, when this is the session
    // played again: only the others are kept.
    outcome_reader(const restorer& restore, const asked_questions* asked = nullptr)
        : restore_(restore), asked_(asked)
    {
    }

    session_outcome read(const trace& t)
    {
        for (const trace_event& event : t.events) take(event);
        return result();
    }

    // The events one by one, in the trace's order.
    void take(const trace_event& event)
    {
        {
            const trace_value& d = event.data;
            // Where the event happened is worked out only for what is kept.
            at_ = taken_++;
            at_part_ = npos;
            for (auto p = open_parts.rbegin(); p != open_parts.rend(); ++p)
                if (*p != npos) {
                    at_part_ = *p;
                    break;
                }
            if (event.kind == "call") {
                open_calls.push_back(event);
                if (text_field(d, "callback").value_or("") != "translate") {
                    open_parts.push_back(npos);
                    return;
                }
                open_parts.push_back(out_.parts.size());
                out_.parts.push_back(part_result{restore_(text_field(d, "part").value_or("")), "", {}, std::nullopt, nowhere});
            } else if (event.kind == "return") {
                if (open_parts.empty()) return;
                const trace_event call_line = std::move(open_calls.back());
                open_calls.pop_back();
                const trace_value& call = call_line.data;
                if (open_parts.back() == npos) {
                    // What a notification gives back steers the host as much
                    // as a translation's result does.
                    out_.notifications.push_back(
                        quote(text_field(call, "callback").value_or("")) + " at the " +
                        point_name(static_cast<int>(number_field(call, "point").value_or(-1))) + " notification -> result " +
                        std::to_string(number_field(d, "result").value_or(-1)));
                    out_.notification_at.push_back(here());
                } else {
                    const long long result = number_field(d, "result").value_or(-1);
                    const auto name = text_field(d, "new_name");
                    part_result& part = out_.parts[open_parts.back()];
                    part.at = at_;
                    if (result == 0 && name.has_value()) part.new_name = restore_(*name);
                    part.outcome =
                        result == 0 ? "translated to " + shown(name.has_value() ? std::optional(restore_(*name)) : name)
                                    : "refused with result " + std::to_string(result);
                }
                open_parts.pop_back();
            } else if (event.kind == "host") {
                host(event, open_parts.empty() ? npos : open_parts.back());
            } else if (event.kind == "request") {
                const long long code = number_field(d, "code").value_or(0);
                const auto input = text_field(d, "input");
                const std::string in = input.has_value() ? quote(restore_(*input)) : "(no input)";
                out_.requests.push_back(std::to_string(code) + " " + in);
                out_.request_keys.push_back(out_.requests.back());
                out_.request_at.push_back(here());
            } else if (event.kind == "stdout") {
                out_.texts.push_back("standard output " + quote(restore_(text_field(d, "text").value_or(""))));
                out_.text_at.push_back(here());
            } else if (event.kind == "delete") {
                const long long exit = number_field(d, "exit").value_or(0);
                out_.deletes.push_back(quote(restore_(text_field(d, "path").value_or(""))) +
                                       (exit != 0 ? " (exit " + std::to_string(exit) + ")" : ""));
                out_.delete_at.push_back(here());
            } else if (event.kind == "command") {
                std::string key = quote(restore_(text_field(d, "program").value_or("")));
                for (const std::string& argument : texts_field(d, "arguments")) key += " " + quote(restore_(argument));
                out_.command_keys.push_back(key);
                out_.commands.push_back(key + " -> exit " + std::to_string(number_field(d, "exit").value_or(-1)));
                out_.command_at.push_back(here());
            } else if (event.kind == "env") {
                const std::string name = text_field(d, "name").value_or("");
                if (name.rfind("KXPDM_TRACE_", 0) != 0) out_.variables.insert(name);
            } else if (event.kind == "file") {
                out_.files.insert(restore_(text_field(d, "path").value_or("")));
            }
        }
    }

    session_outcome result()
    {
        attribute_to_parts();
        return std::move(out_);
    }

private:
    static constexpr std::size_t npos = static_cast<std::size_t>(-1);
    std::vector<std::size_t> open_parts;  // translations under way
    std::vector<trace_event> open_calls;  // the call line of each callback under way
    std::size_t taken_ = 0;

    // What the reader does with each call of an operation, worked out once
    // per operation rather than by its name at every call.
    struct op_kind {
        bool effect = false, question = false;
        bool message = false, box = false;  // shown to the user: an error box, or the listing window
        bool item_tag = false, part_open = false, attribute = false, save = false;
    };

    const op_kind& kind_of(std::string_view op)
    {
        const auto found = kinds_.find(op);
        if (found != kinds_.end()) return found->second;
        const std::string name(op);
        op_kind k;
        k.effect = effect_operations().count(name) > 0;
        k.question = model_questions().count(name) > 0;
        k.box = op == "HOST_UI_display_nonmodal_msg";
        k.message = k.box || op == "HOST_UI_write_listing_window";
        k.item_tag = op == "HOST_PDM_ask_part_tag";
        k.part_open = op == "HOST_PART_open";
        k.attribute = op == "HOST_ATTR_ask_part_attribute";
        k.save = op == "HOST_PART_save";
        return kinds_.emplace(name, k).first->second;
    }

    void host(const trace_event& event, std::size_t part)
    {
        // The event's fields in one pass: a big session makes hundreds of
        // thousands of host calls.
        std::string_view op;
        trace_value in, answer;
        long long status = 0;
        event.data.each_member([&](const trace_value& m) {
            const std::string_view name = m.name();
            if (name == "op") op = m.string();
            else if (name == "in") in = m;
            else if (name == "out") answer = m;
            else if (name == "status") status = m.integer().value_or(0);
        });
        const op_kind& kind = kind_of(op);
        if (kind.message) {
            const std::string text = restore_(text_field(in, kind.box ? "message" : "text").value_or(""));
            // A text shown while a part was translated is compared as that
            // part's message, the others in the session's order.
            (part != npos ? out_.parts[part].messages : out_.texts)
                .push_back((kind.box ? "error box " : "listing window ") + quote(text));
            if (part == npos) out_.text_at.push_back(here());
            return;
        }
        // Tags are named after what they were handed out for; a call that
        // repeats the last of its kind named its tag already.
        if (kind.item_tag && !event.repeated)
            name_tag(number_field(answer, "part"), "item " + quote(restore_(text_field(in, "part_number").value_or(""))));
        if (kind.part_open) {
            if (!event.repeated)
                name_tag(number_field(answer, "part"), "part file " + quote(restore_(text_field(in, "part_name").value_or(""))));
            work_part_ = number_field(answer, "part").value_or(0);
        }
        if (kind.attribute && tags_.count(work_part_))
            name_tag(number_field(answer, "attribute_object"), tags_[work_part_]);
        if (!kind.effect && !kind.question) return;
        // A repeated call reads as it did, unless a tag it names was
        // named since.
        last_call& last = last_[&event];
        const bool same = event.repeated && last.tags == tags_.size() && !last.text.empty();
        if (!same) {
            last.text = call_text(op, in);
            last.tags = tags_.size();
            last.known = kind.question && asked_ != nullptr && asked_->has(last.text);
        }
        if (kind.effect) {
            std::string effect;
            effect.reserve(last.text.size() + 32);
            effect += last.text;
            // A save takes no part: it saves the work part, the one opened last.
            if (kind.save) {
                const auto saved = tags_.find(work_part_);
                if (saved != tags_.end()) {
                    effect += " of ";
                    effect += saved->second;
                }
            }
            effect += " -> status ";
            effect += std::to_string(status);
            out_.effects.push_back(std::move(effect));
            out_.effect_at.push_back(here());
        }
        if (kind.question) {
            if (asked_ == nullptr) {
                if (!same) out_.asked.add(last.text);
            } else if (!last.known) {
                out_.questions.push_back(last.text);
                out_.question_at.push_back(here());
            }
        }
    }

    // What happened outside a part's translation (the end of an import
    // saving, naming and publishing each part) concerns the part whose
    // database name it quotes.
    void attribute_to_parts()
    {
        std::unordered_map<std::string, std::string> by_new_name;
        for (const part_result& p : out_.parts)
            if (p.new_name.has_value()) by_new_name.try_emplace(quote(*p.new_name), p.name);
        auto resolve = [&](const std::vector<std::string>& items, origins& where) {
            for (std::size_t i = 0; i < items.size() && i < where.size(); ++i) {
                if (!where[i].part.empty()) continue;
                for (std::size_t at = items[i].find("\"@DB/"); at != std::string::npos; at = items[i].find("\"@DB/", at + 1)) {
                    const std::size_t end = items[i].find('"', at + 1);
                    if (end == std::string::npos) break;
                    const auto found = by_new_name.find(items[i].substr(at, end - at + 1));
                    if (found == by_new_name.end()) continue;
                    where[i].part = found->second;
                    break;
                }
            }
        };
        resolve(out_.effects, out_.effect_at);
        resolve(out_.requests, out_.request_at);
        resolve(out_.texts, out_.text_at);
        resolve(out_.questions, out_.question_at);
    }

    // An operation with its inputs; tags named by what they were handed out
    // for, since each host numbers its own.
    std::string call_text(std::string_view op, const trace_value& in)
    {
        std::string key(op);
        key += '(';
        bool later = false;
        by_name(in, [&](const trace_value& value) {
            const std::string_view name = value.name();
            if (later) key += ", ";
            key += name;
            key += ' ';
            later = true;
            if ((name == "part" || name == "object") && value.is_integer()) {
                const auto tag = tags_.find(*value.integer());
                if (tag != tags_.end())
                    key += tag->second;
                else
                    key += "tag " + value.dump();
            } else {
                append_value_text(key, value);
            }
        });
        key += ')';
        return key;
    }

    // An object's members in the order of their names, as they have always
    // been shown. A call's inputs are a few: sorted where they stand, with
    // nothing allocated for them.
    template <class Visit>
    static void by_name(const trace_value& object, Visit&& visit)
    {
        constexpr std::size_t few = 16;
        std::array<trace_value, few> small;
        std::vector<trace_value> many;
        std::size_t n = 0;
        object.each_member([&](const trace_value& m) {
            if (n < few) small[n] = m;
            else {
                if (many.empty()) many.assign(small.begin(), small.end());
                many.push_back(m);
            }
            ++n;
        });
        const auto by = [](const trace_value& a, const trace_value& b) { return a.name() < b.name(); };
        trace_value* first = n <= few ? small.data() : many.data();
        if (n <= few) {
            for (std::size_t i = 1; i < n; ++i)  // insertion: stable, and nothing allocated
                for (std::size_t j = i; j > 0 && by(first[j], first[j - 1]); --j) std::swap(first[j], first[j - 1]);
        } else {
            std::stable_sort(first, first + n, by);
        }
        for (std::size_t i = 0; i < n; ++i) visit(first[i]);
    }

    // Written onto the end of the call's text: one text grows, rather than
    // one made for each value and copied into its container's.
    void append_value_text(std::string& out, const trace_value& value) const
    {
        if (value.is_null()) {
            out += "(none)";
        } else if (value.is_string()) {
            // Most texts are plain ones, held as they stand: no copy to decode.
            append_text(out, value.string());
        } else if (const auto text = trace_text(value)) {
            append_text(out, *text);
        } else if (value.is_array()) {
            out += '[';
            bool later = false;
            value.each_member([&](const trace_value& v) {
                if (later) out += ", ";
                later = true;
                append_value_text(out, v);
            });
            out += ']';
        } else if (value.is_object()) {
            out += '{';
            bool later = false;
            by_name(value, [&](const trace_value& v) {
                if (later) out += ", ";
                later = true;
                out += v.name();
                out += ' ';
                append_value_text(out, v);
            });
            out += '}';
        } else {
            out += value.dump();
        }
    }

    void append_text(std::string& out, std::string_view text) const
    {
        if (restore_.leaves(text))
            append_quoted(out, text);
        else
            append_quoted(out, restore_(std::string(text)));
    }

    void name_tag(std::optional<long long> tag, const std::string& origin)
    {
        if (tag.has_value() && *tag != 0) tags_.try_emplace(*tag, origin);
    }

    const restorer& restore_;
    const asked_questions* asked_;
    session_outcome out_;
    std::size_t at_ = 0;            // the event's place
    std::size_t at_part_ = npos;    // the part it concerns: none, the session's own
    struct op_hash {
        using is_transparent = void;
        std::size_t operator()(std::string_view op) const noexcept { return std::hash<std::string_view>{}(op); }
    };
    std::unordered_map<std::string, op_kind, op_hash, std::equal_to<>> kinds_;
    struct last_call {
        std::size_t tags = 0;  // how many tags were named when it was written
        std::string text;
        bool known = false;    // whether the recorded session asked it
    };
    std::unordered_map<const trace_event*, last_call> last_;

    origin here() const { return origin{at_part_ == npos ? std::string() : out_.parts[at_part_].name, at_}; }
    std::map<long long, std::string> tags_;
    long long work_part_ = 0;
};

// The two sequences compared in order: what both have in the same order is
// the same; the rest, gap by gap, is paired up as recorded vs now.
void compare_sequences(const std::string& kind, const std::string& what, const std::vector<std::string>& was,
                       const std::vector<std::string>& is, std::vector<difference>& out, const origins& was_at = {},
                       const origins& is_at = {})
{
    std::size_t head = 0;
    while (head < was.size() && head < is.size() && was[head] == is[head]) ++head;
    std::size_t tail = 0;
    while (tail < was.size() - head && tail < is.size() - head && was[was.size() - 1 - tail] == is[is.size() - 1 - tail])
        ++tail;
    const std::size_t n = was.size() - head - tail, m = is.size() - head - tail;
    // Matched pairs of the middle part: a longest common subsequence, when
    // it is small enough to find; otherwise nothing in it is matched.
    std::vector<std::pair<std::size_t, std::size_t>> matched;
    if (n > 0 && m > 0 && n * m <= 4'000'000) {
        std::vector<std::vector<std::uint32_t>> length(n + 1, std::vector<std::uint32_t>(m + 1, 0));
        for (std::size_t i = n; i-- > 0;)
            for (std::size_t j = m; j-- > 0;)
                length[i][j] = was[head + i] == is[head + j] ? length[i + 1][j + 1] + 1
                                                              : std::max(length[i + 1][j], length[i][j + 1]);
        for (std::size_t i = 0, j = 0; i < n && j < m;) {
            if (was[head + i] == is[head + j]) {
                matched.emplace_back(i++, j++);
            } else if (length[i + 1][j] >= length[i][j + 1]) {
                ++i;
            } else {
                ++j;
            }
        }
    }
    matched.emplace_back(n, m);
    std::size_t i = 0, j = 0;
    for (const auto& [mi, mj] : matched) {
        while (i < mi || j < mj) {
            const std::string recorded = i < mi ? was[head + i] : "(none)";
            const std::string now = j < mj ? is[head + j] : "(none)";
            difference d{kind, what + " " + std::to_string(head + (i < mi ? i : j) + 1), recorded, now, "", true, nowhere};
            if (j < mj && head + j < is_at.size()) {
                d.part = is_at[head + j].part;
                d.at = is_at[head + j].at;
            } else if (i < mi && head + i < was_at.size()) {
                d.part = was_at[head + i].part;
            }
            out.push_back(std::move(d));
            if (i < mi) ++i;
            if (j < mj) ++j;
        }
        i = mi + 1;
        j = mj + 1;
    }
}

void compare_parts(const session_outcome& was, const session_outcome& is, std::vector<difference>& out)
{
    std::unordered_map<std::string, const part_result*> now;
    for (const part_result& p : is.parts) now.try_emplace(p.name, &p);
    std::unordered_set<std::string> seen;
    for (const part_result& p : was.parts) {
        if (!seen.insert(p.name).second) continue;
        const auto found = now.find(p.name);
        const std::string what = "part " + quote(p.name);
        if (found == now.end()) {
            out.push_back(difference{"part", what, p.outcome, "not translated", p.name});
            continue;
        }
        const std::size_t from = out.size();
        if (found->second->outcome != p.outcome)
            out.push_back(difference{"part", what, p.outcome, found->second->outcome, p.name, true, found->second->at});
        compare_sequences("part", what + " message", p.messages, found->second->messages, out);
        for (std::size_t i = from; i < out.size(); ++i) {
            out[i].part = p.name;
            out[i].at = found->second->at;
        }
    }
    for (const part_result& p : is.parts)
        if (seen.insert(p.name).second)
            out.push_back(difference{"part", "part " + quote(p.name), "not translated", p.outcome, p.name, true, p.at});
}

// The items of `is` the recorded session has no answer for, by their text.
std::set<std::string> unanswerable(const std::vector<std::string>& is, const std::vector<std::string>& keys,
                                   const std::vector<std::string>& known_keys)
{
    const std::set<std::string> known(known_keys.begin(), known_keys.end());
    std::set<std::string> items;
    for (std::size_t i = 0; i < is.size(); ++i)
        if (!known.count(keys[i])) items.insert(is[i]);
    return items;
}

// A difference whose new side the recorded session cannot answer is an
// unanswered question.
void mark_unanswered(std::vector<difference>& out, std::size_t from, const std::set<std::string>& items)
{
    for (std::size_t i = from; i < out.size(); ++i) {
        if (!items.count(out[i].now)) continue;
        out[i].kind = "unanswered";
        out[i].now += " (unanswered)";
    }
}

void unanswered_questions(const asked_questions& known, const std::vector<std::string>& is, const origins& is_at,
                          std::vector<difference>& out)
{
    std::set<std::string> told;
    for (std::size_t i = 0; i < is.size(); ++i)
        if (!known.has(is[i]) && told.insert(is[i]).second)
            out.push_back(difference{"unanswered", "host question " + is[i], "", "", is_at[i].part, true, is_at[i].at});
}

// What a part did after the library asked something the recorded session
// never answered is not known: the answer could have changed it.
void mark_not_known(std::vector<difference>& out)
{
    std::map<std::string, std::size_t> first_unanswered;
    for (const difference& d : out)
        if (d.kind == "unanswered" && !d.part.empty() && d.at != nowhere) {
            const auto [at, inserted] = first_unanswered.emplace(d.part, d.at);
            if (!inserted) at->second = std::min(at->second, d.at);
        }
    for (difference& d : out) {
        if (d.kind == "unanswered" || d.part.empty()) continue;
        const auto first = first_unanswered.find(d.part);
        if (first != first_unanswered.end() && (d.at == nowhere || d.at > first->second)) d.known = false;
    }
}

void unanswered_names(const std::set<std::string>& was, const std::set<std::string>& is, const std::string& what,
                      const std::set<std::string>& given, std::vector<difference>& out)
{
    for (const std::string& name : is)
        if (!was.count(name) && !given.count(name)) out.push_back(difference{"unanswered", what + " " + quote(name), "", "", "", true, nowhere});
}

}  // namespace

namespace {

std::vector<difference> compare_read(const session_outcome& was, session_outcome is, const trace_model& model,
                                     const given_names& changed)
{
    // The fresh library asks for the exception list the recorded one held.
    if (model.exceptions_from_header) {
        const std::string asked = std::to_string(kx::request_get_exceptions) + " (no input)";
        for (std::size_t i = is.requests.size(); i-- > 0;)
            if (is.requests[i] == asked) {
                is.requests.erase(is.requests.begin() + static_cast<std::ptrdiff_t>(i));
                is.request_keys.erase(is.request_keys.begin() + static_cast<std::ptrdiff_t>(i));
                is.request_at.erase(is.request_at.begin() + static_cast<std::ptrdiff_t>(i));
            }
    }
    std::vector<difference> out;
    compare_parts(was, is, out);
    std::size_t from = out.size();
    compare_sequences("request", "request", was.requests, is.requests, out, was.request_at, is.request_at);
    mark_unanswered(out, from, unanswerable(is.requests, is.request_keys, was.request_keys));
    compare_sequences("text", "text", was.texts, is.texts, out, was.text_at, is.text_at);
    compare_sequences("delete", "deleted file", was.deletes, is.deletes, out, was.delete_at, is.delete_at);
    compare_sequences("host", "host call", was.effects, is.effects, out, was.effect_at, is.effect_at);
    compare_sequences("callback", "notification", was.notifications, is.notifications, out, was.notification_at,
                      is.notification_at);
    from = out.size();
    compare_sequences("command", "command", was.commands, is.commands, out, was.command_at, is.command_at);
    mark_unanswered(out, from, unanswerable(is.commands, is.command_keys, was.command_keys));

    unanswered_questions(was.asked, is.questions, is.question_at, out);
    unanswered_names(was.variables, is.variables, "environment variable",
                     std::set<std::string>(changed.variables.begin(), changed.variables.end()), out);
    std::set<std::string> given;
    const restorer as_given({}, model.separators_as_one);
    if (model.map_file_from_header.has_value()) given.insert(as_given(*model.map_file_from_header));
    for (const std::string& file : changed.files) given.insert(as_given(file));
    unanswered_names(was.files, is.files, "file", given, out);
    mark_not_known(out);
    return out;
}

}  // namespace

std::vector<difference> compare_outcomes(const trace& recorded, const trace& now, const trace_model& model,
                                         const name_pairs& stand_ins, const given_names& changed)
{
    const restorer as_recorded({}, model.separators_as_one), as_replayed(stand_ins, model.separators_as_one);
    const session_outcome was = outcome_reader(as_recorded).read(recorded);
    return compare_read(was, outcome_reader(as_replayed, &was.asked).read(now), model, changed);
}

std::string partial_text(const trace& t)
{
    if (!t.partial.has_value()) return "";
    const trace_cut& cut = *t.partial;
    std::string text = "the trace is partial: " + cut.why + "; ";
    if (cut.complete_line == 0) return text + "no callback of it is complete, so nothing of it is compared";
    const json& call = cut.last_call;
    const std::string callback =
        text_field(call, "callback").value_or("") == "translate"
            ? "the translation of " + quote(text_field(call, "part").value_or(""))
            : "the " + point_name(static_cast<int>(number_field(call, "point").value_or(-1))) + " notification";
    return text + "replayed up to line " + std::to_string(cut.complete_line) + ", the end of " + callback +
           ", the last callback it holds whole";
}

replay_result replay_trace(const std::filesystem::path& file, const std::string& library_path, const rule_changes& changes)
{
    // The recorded trace is read once, as it goes, into the model and the
    // recorded outcome; neither keeps its events.
    trace recorded;
    std::optional<restorer> as_recorded;  // knows the separators once the header is read
    std::optional<outcome_reader> recorded_reader;
    std::vector<std::string> recorded_callbacks;  // the outermost ones, by callback_key
    std::size_t depth = 0;
    trace_model model = model_from_trace_file(
        file, recorded,
        [&](const trace& head) {
            recorded_reader.reset();
            as_recorded.emplace(name_pairs{}, recorded_elsewhere(head));
            recorded_reader.emplace(*as_recorded);
            recorded_callbacks.clear();
            depth = 0;
        },
        [&](const trace_event& event) {
            recorded_reader->take(event);
            if (event.kind == "call" && depth++ == 0) recorded_callbacks.push_back(callback_key(event.data));
            if (event.kind == "return" && depth > 0) --depth;
        });
    const session_outcome was = recorded_reader->result();
    recorded_reader.reset();
    const applied_changes applied = apply_rule_changes(model, changes);
    const loaded_library library = load_library(library_path);

    replay_result result;
    result.trace_file = file;
    result.recorded_library = text_field(recorded.header, "library").value_or("?");
    result.library = library.path;
    result.changes = applied.named;
    result.parts_not_held = applied.parts_not_held;
    if (recorded.partial.has_value()) result.partial = partial_text(recorded);
    result.notes = model.notes;

    const std::filesystem::path folder = make_temp_directory("clonesim-replay");
    std::error_code ec;
    try {
        session_setup setup;
        setup.trace_directory = folder;
        setup.gather_outcome = false;
        std::optional<std::filesystem::path> replayed_trace;
        name_pairs stand_ins;
        {
            // Only the new trace is compared: the run's own report goes.
            run_outcome run = run_session(model.scene, library, setup);
            replayed_trace = std::move(run.trace_file);
            stand_ins = std::move(run.stand_ins);
        }
        if (!replayed_trace.has_value())
            throw run_error(library.path + " wrote no trace of the replayed session (does it record?)");
        const restorer as_replayed(stand_ins, model.separators_as_one);
        std::optional<outcome_reader> now_reader;
        try {
            // The session played again goes on past where the recorded one
            // stops; only the callbacks the recorded one holds whole are
            // compared.
            std::size_t limit = static_cast<std::size_t>(-1), taken = 0;
            if (recorded.partial.has_value()) {
                std::optional<callbacks_matcher> matcher;
                stream_trace(
                    *replayed_trace, [&](const trace&) { matcher.emplace(recorded_callbacks); },
                    [&](const trace_event& event) { matcher->see(event); });
                limit = matcher->kept();
            }
            stream_trace(
                *replayed_trace,
                [&](const trace&) {
                    now_reader.emplace(as_replayed, &was.asked);
                    taken = 0;
                },
                [&](const trace_event& event) {
                    if (taken++ < limit) now_reader->take(event);
                });
        } catch (const trace_error& e) {
            throw run_error(std::string("the replayed session's own trace: ") + e.what());
        }
        result.differences = compare_read(was, now_reader->result(), model, {applied.variables, applied.files});
    } catch (...) {
        std::filesystem::remove_all(folder, ec);
        throw;
    }
    std::filesystem::remove_all(folder, ec);
    return result;
}

std::string difference_line(const difference& d)
{
    if (d.kind == "unanswered" && d.recorded.empty() && d.now.empty()) return "unanswered: " + d.what;
    return d.what + ": recorded " + d.recorded + ", now " + d.now;
}

namespace {

// The comparison works on the host's bytes, as recorded; its lines quote
// them with "\xNN" for what is not UTF-8. Where the host's code page is not
// UTF-8, those bytes are its letters: shown as letters ("M\xfcller" as
// Muller with its umlaut), as run shows them. Control characters stay
// escaped, and so does everything on a system whose texts pass as they are.
std::string in_utf8(const std::string& line)
{
    if (os::host_code_page().empty()) return line;
    const auto hex = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    const auto escaped_high = [&](std::size_t at) {
        return at + 3 < line.size() && line[at] == '\\' && line[at + 1] == 'x' && hex(line[at + 2]) >= 8 &&
               hex(line[at + 3]) >= 0;
    };
    std::string out;
    for (std::size_t at = 0; at < line.size();) {
        if (escaped_high(at)) {
            std::string bytes;
            for (; escaped_high(at); at += 4) bytes += static_cast<char>(hex(line[at + 2]) * 16 + hex(line[at + 3]));
            out += os::from_host_text(bytes);
        } else if (line[at] == '\\' && at + 1 < line.size()) {
            out.append(line, at, 2);  // an escaped backslash is not the start of an escape
            at += 2;
        } else {
            out += line[at++];
        }
    }
    return out;
}

// Differences by the part they concern, in the order the parts first come
// up; the session's own last.
std::string by_part(const std::vector<const difference*>& list)
{
    std::vector<std::string> parts;
    std::map<std::string, std::vector<const difference*>> of;
    for (const difference* d : list) {
        if (!d->part.empty() && !of.count(d->part)) parts.push_back(d->part);
        of[d->part].push_back(d);
    }
    if (of.count("")) parts.push_back("");
    std::string text;
    for (const std::string& part : parts) {
        text += "  " + (part.empty() ? std::string("the session") : "part " + quote(part)) + "\n";
        for (const difference* d : of[part]) text += "    " + std::string(d->known ? "" : "not known: ") + difference_line(*d) + "\n";
    }
    return text;
}

}  // namespace

std::string replay_text(const replay_result& r)
{
    std::string text = "replay: " + r.trace_file.string() + "\n";
    text += "  recorded with   " + r.recorded_library + "\n";
    text += "  played against  " + r.library + "\n";
    for (const std::string& change : r.changes) text += "  changed         " + change + "\n";
    if (r.partial.has_value()) text += "  partial         " + *r.partial + "\n";
    // What the change causes comes first; what the recorded session cannot
    // answer, and what follows from that, apart.
    std::vector<const difference*> direct, open;
    for (const difference& d : r.differences) (d.known && d.kind != "unanswered" ? direct : open).push_back(&d);
    std::stable_partition(open.begin(), open.end(), [](const difference* d) { return d->kind == "unanswered"; });
    text += "\ndifferences, by part\n";
    text += direct.empty() ? "  (none)\n" : in_utf8(by_part(direct));
    if (!open.empty()) text += "\nunanswered, and what is not known after it, by part\n" + in_utf8(by_part(open));
    if (!r.notes.empty()) {
        text += "\nnotes\n";
        for (const std::string& note : r.notes) text += "  " + in_utf8(note) + "\n";
    }
    const auto unanswered = std::count_if(r.differences.begin(), r.differences.end(),
                                          [](const difference& d) { return d.kind == "unanswered"; });
    const auto not_known = std::count_if(r.differences.begin(), r.differences.end(),
                                         [](const difference& d) { return !d.known; });
    text += "\nverdict: ";
    if (r.differences.empty())
        text += r.partial.has_value() ? "same outcome as recorded, as far as the partial trace goes\n"
                                      : "same outcome as recorded\n";
    else
        text += count_of(r.differences.size(), "difference", "differences") + " from the recorded outcome (" +
                std::to_string(unanswered) + " unanswered, " + std::to_string(not_known) + " not known)\n";
    return text;
}

nlohmann::ordered_json replay_json(const replay_result& r)
{
    nlohmann::ordered_json out;
    out["trace"] = json_safe(r.trace_file.string());
    out["recorded_library"] = json_safe(r.recorded_library);
    out["library"] = json_safe(r.library);
    out["changes"] = r.changes;
    out["partial"] = r.partial.has_value() ? nlohmann::ordered_json(json_safe(*r.partial)) : nlohmann::ordered_json(nullptr);
    out["same"] = r.differences.empty();
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (const difference& d : r.differences)
        list.push_back({{"kind", d.kind}, {"what", json_safe(in_utf8(d.what))}, {"recorded", json_safe(in_utf8(d.recorded))},
                        {"now", json_safe(in_utf8(d.now))}, {"part", d.part.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(json_safe(os::from_host_text(d.part)))},
                        {"known", d.known}, {"line", json_safe(in_utf8(difference_line(d)))}});
    out["differences"] = std::move(list);
    out["notes"] = r.notes;
    out["exit_status"] = r.differences.empty() ? 0 : 1;
    return out;
}

}  // namespace clonesim
