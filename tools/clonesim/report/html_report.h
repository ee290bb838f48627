// The report of one run as a single HTML page that a site's administrator
// can open in a browser and pass on: the verdict, every part in a table that
// stays quick at tens of thousands of rows, each part's story, the requests
// as a timeline and the site's files and programs. The page is one file
// with its style sheet (page.css), script (page.js) and data inline and
// fetches nothing.
#pragma once

#include "report/verdict.h"
#include "run/outcome.h"

#include <filesystem>
#include <string>

namespace clonesim {

// `decided` is the run's one verdict (judge).
std::string html_report(const run_outcome& run, const verdict& decided);

// Throws run_error when the file cannot be written.
void write_html_report(const run_outcome& run, const verdict& decided, const std::filesystem::path& file);

// Throws run_error, with the system's reason, when `file` cannot be
// written; checked before a session runs, so that a long session is not
// played for a report that cannot be kept.
void check_writable(const std::filesystem::path& file, const std::string& what);

// Writes a report file whole; throws run_error naming `what` when it cannot.
void write_text_file(const std::filesystem::path& file, const std::string& text, const std::string& what);

// A text as a JSON string literal that is safe inside an HTML script
// element: only ASCII is written, "<", ">" and "&" are escaped so that no
// "</script>" or "<!--" can appear, U+2028 and U+2029 are escaped, and the
// bytes go through the JSON report's reversible byte escape (json_safe), so
// the page can show a byte that is not UTF-8 as \xHH.
std::string script_json_string(const std::string& bytes);

}  // namespace clonesim
