// The host-side observers of a session: functions of clonesim's own that
// the simulated host calls around the library's callbacks and in place of
// the host's own callbacks. They tell which part the host is working on when
// a request is sent or a text is shown, where each step of the session
// ends, and which parts were translated. The host calls plain C functions,
// so they reach what they record through the one observation in force.
#pragma once

#include "run/outcome.h"
#include "scenario/scenario.h"

#include <cstddef>
#include <set>
#include <string>
#include <vector>

namespace clonesim {

struct observations {
    std::set<std::string> translated;  // the parts whose translation was called
    std::vector<callback_outcome>* host_callbacks = nullptr;
    std::vector<step_mark>* steps = nullptr;  // null: steps are not marked
    // The part the host is working on: what a request, a box or a listing
    // text of that moment concerns.
    std::string current_part_name;
    std::vector<std::string> box_parts;
    std::vector<std::string> listing_parts;
    host_clone_trans_cb library_translator = nullptr;
};

// Puts an observation in force for as long as it lives.
class observation_scope {
public:
    explicit observation_scope(observations& seen);
    ~observation_scope();
    observation_scope(const observation_scope&) = delete;
    observation_scope& operator=(const observation_scope&) = delete;
};

// The part the host is working on now; "" when none or nothing is observed.
std::string current_part_name();
// The host starts on a part (null: on none).
void set_current_part(const char* part_name);
// Gives the boxes and listing texts that appeared since the last look to the
// part the host is working on.
void attribute_texts();

// How many texts the host has been asked to write to the listing window.
std::size_t listing_calls();

// The host's own callbacks of the scenario, in place before the library is
// loaded: a recording function of clonesim's under each one's name.
void register_host_callbacks(const std::vector<host_callback>& callbacks, std::vector<callback_outcome>& outcomes);
// Which of them are registered as they were at the end of the session.
void note_registered_host_callbacks(std::vector<callback_outcome>& outcomes);

// Surrounds every point of the library's callbacks with the observers.
void surround_library_callbacks();

}  // namespace clonesim
