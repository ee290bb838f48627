// The page's style sheet and script: report/page.css and report/page.js as
// they were when clonesim was built, embedded by cmake/embed_page.cmake in a
// C++ source it generates.
#pragma once

namespace clonesim {

const char* page_style();
const char* page_script();

}  // namespace clonesim
