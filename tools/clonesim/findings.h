// What clonesim found wrong or worth a look in one session, from what it
// observed: host calls and their statuses, requests and the server's answers,
// texts shown, database changes and files. It never decides by the library's
// own rules what the library should have done.
#pragma once

#include <string>
#include <vector>

namespace clonesim {

enum class severity { error, warning, note };

std::string severity_name(severity s);  // "error", "warning", "note"

// One finding: a stable kind for programs ("save_failed", "request_refused",
// ...), the part it concerns ("" for the session) and one line of text.
struct finding {
    severity level = severity::note;
    std::string kind;
    std::string part;
    std::string text;
};

struct finding_counts {
    std::size_t errors = 0;
    std::size_t warnings = 0;
    std::size_t notes = 0;
};

finding_counts count_findings(const std::vector<finding>& findings);

// "1 error, 2 warnings, no notes".
std::string counts_text(const finding_counts& counts);

}  // namespace clonesim
