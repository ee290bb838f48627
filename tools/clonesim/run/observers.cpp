#include "run/observers.h"

#include "host/host_codes.h"
#include "sim_host.h"

#include <array>
#include <utility>

namespace clonesim {

namespace {

constexpr const char* observer_name = "clonesim translation observer";
constexpr const char* step_observer_name = "clonesim step observer";
constexpr const char* part_observer_name = "clonesim part observer";

observations* observing = nullptr;

void mark_step(int point, const char* part_name)
{
    if (observing == nullptr || observing->steps == nullptr) return;
    const sim::host_model& h = sim::host();
    observing->steps->push_back(
        step_mark{point, part_name != nullptr ? part_name : "", h.call_counts, h.requests.size()});
}

int observe_translation(const char* part_name, char new_name[HOST_MAX_FSPEC_BUFSIZE])
{
    {
        const sim::host_code_scope observer;
        set_current_part(part_name);
    }
    const int status = observing->library_translator(part_name, new_name);
    const sim::host_code_scope observer;
    observing->translated.insert(part_name != nullptr ? part_name : "");
    set_current_part(nullptr);
    mark_step(translation_step, part_name);
    return status;
}

// Registered after the library's own Init_Clone hook, so the translation
// callback it installed is in place: wrapped, each part's messages can be
// told apart.
int observe_init_clone(int point, const char* part_name, void*)
{
    const sim::host_code_scope observer;
    sim::host_model& h = sim::host();
    if (point == kx::point_init_clone && observing != nullptr && h.translator != nullptr &&
        h.translator != observe_translation) {
        observing->library_translator = h.translator;
        h.translator = observe_translation;
    }
    set_current_part(nullptr);
    if (point == kx::point_init_clone) mark_step(point, part_name);
    return 0;
}

// Registered before every other callback: the part named at a point is the
// one the library's callbacks for that point work on.
int observe_part(int, const char* part_name, void*)
{
    const sim::host_code_scope observer;
    set_current_part(part_name);
    return 0;
}

// Registered after the library's callbacks for the other points: marks the
// end of each step.
int observe_step(int point, const char* part_name, void*)
{
    const sim::host_code_scope observer;
    set_current_part(nullptr);
    mark_step(point, part_name);
    return 0;
}

template <std::size_t N>
int record_host_callback(int point, const char* part_name, void*)
{
    const sim::host_code_scope host_callback;
    if (observing != nullptr && observing->host_callbacks != nullptr && N < observing->host_callbacks->size()) {
        std::string call = "point " + std::to_string(point);
        if (part_name != nullptr) call += " (" + std::string(part_name) + ")";
        (*observing->host_callbacks)[N].calls.push_back(std::move(call));
    }
    return 0;
}

constexpr std::array<host_clone_notify_cb, max_host_callbacks> recorders = {
    record_host_callback<0>, record_host_callback<1>, record_host_callback<2>, record_host_callback<3>,
    record_host_callback<4>, record_host_callback<5>, record_host_callback<6>, record_host_callback<7>,
};

}  // namespace

observation_scope::observation_scope(observations& seen) { observing = &seen; }
observation_scope::~observation_scope() { observing = nullptr; }

std::string current_part_name() { return observing != nullptr ? observing->current_part_name : std::string(); }

void set_current_part(const char* part_name)
{
    if (observing == nullptr) return;
    attribute_texts();
    observing->current_part_name = part_name != nullptr ? part_name : "";
}

void attribute_texts()
{
    if (observing == nullptr) return;
    const std::size_t boxes = sim::host().message_boxes.size();
    while (observing->box_parts.size() < boxes) observing->box_parts.push_back(observing->current_part_name);
    const std::size_t writes = listing_calls();
    while (observing->listing_parts.size() < writes) observing->listing_parts.push_back(observing->current_part_name);
}

std::size_t listing_calls() { return static_cast<std::size_t>(sim::calls_of(listing_operation)); }

void register_host_callbacks(const std::vector<host_callback>& callbacks, std::vector<callback_outcome>& outcomes)
{
    sim::host_model& h = sim::host();
    for (std::size_t i = 0; i < callbacks.size(); ++i) {
        const host_callback& cb = callbacks[i];
        outcomes.push_back(callback_outcome{cb.name, cb.point, {}, false});
        h.callbacks.push_back(sim::registered_callback{cb.point, recorders[i], cb.name, cb.description});
    }
}

void note_registered_host_callbacks(std::vector<callback_outcome>& outcomes)
{
    for (std::size_t index = 0; index < outcomes.size(); ++index) {
        callback_outcome& cb = outcomes[index];
        for (const sim::registered_callback& registered : sim::host().callbacks)
            if (registered.callback == recorders[index] && registered.point == cb.point && registered.name == cb.name)
                cb.registered_at_end = true;
    }
}

void surround_library_callbacks()
{
    sim::host_model& h = sim::host();
    for (const kx::notification_point point : kx::session_points)
        h.callbacks.insert(h.callbacks.begin(), sim::registered_callback{point, observe_part, part_observer_name, ""});
    h.callbacks.push_back(sim::registered_callback{kx::point_init_clone, observe_init_clone, observer_name, ""});
    for (const kx::notification_point point : kx::session_points)
        if (point != kx::point_init_clone)
            h.callbacks.push_back(sim::registered_callback{point, observe_step, step_observer_name, ""});
}

}  // namespace clonesim
