// The report of one run as a single HTML page that a site's administrator
// can open in a browser and pass on: the verdict, every part in a table that
// stays quick at tens of thousands of rows, each part's story, the requests
// as a timeline and the site's files and programs. The page is one file
// with its styles, script and data inline and fetches nothing.
#pragma once

#include "session_run.h"

#include <filesystem>
#include <string>

namespace clonesim {

// `strict` judges the session as `--strict` does.
std::string html_report(const run_outcome& run, bool strict = false);

// Throws run_error when the file cannot be written.
void write_html_report(const run_outcome& run, const std::filesystem::path& file, bool strict = false);

// A text as a JSON string literal that is safe inside an HTML script
// element: only ASCII is written, "<", ">" and "&" are escaped so that no
// "</script>" or "<!--" can appear, U+2028 and U+2029 are escaped, and each
// byte that is not part of a valid UTF-8 sequence becomes the character
// U+10FF00 + byte, as in the JSON report, so the page can show it as \xHH.
// A character of U+10FF00..U+10FFFF in the text is written byte by byte
// the same way, which keeps the escape reversible.
std::string script_json_string(const std::string& bytes);

// The page's style sheet and script (html_page.cpp).
const char* html_page_style();
const char* html_page_script();

}  // namespace clonesim
