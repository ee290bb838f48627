// A child's result read by the replay of many traces: only a whole replay
// report counts; anything else leaves its trace not replayed, never the same,
// and never stops the others.
#include "batch/batch.h"

#include <gtest/gtest.h>

namespace {

using nlohmann::ordered_json;

TEST(batch_result, anything_but_a_whole_report_is_not_replayed)
{
    const char* unreadable[] = {
        R"([])",
        R"({"partial": null, "exit_status": 0})",
        R"({"differences": {}, "partial": null, "exit_status": 0})",
        R"({"differences": [], "exit_status": 0})",
        R"({"differences": [], "partial": 7, "exit_status": 0})",
        R"({"differences": [{"kind": 3, "part": "a"}], "partial": null, "exit_status": 1})",
        R"({"differences": [{"part": "a"}], "partial": null, "exit_status": 1})",
        R"({"differences": [{"kind": "outcome", "part": 5}], "partial": null, "exit_status": 1})",
        R"({"differences": ["outcome"], "partial": null, "exit_status": 1})",
    };
    for (const char* text : unreadable) {
        const clonesim::batch_outcome o = clonesim::outcome_of({"t.jsonl", "t.jsonl"}, ordered_json::parse(text));
        EXPECT_EQ(o.status, clonesim::batch_status::not_replayed) << text;
        EXPECT_EQ(o.reason, "its result could not be read") << text;
        EXPECT_TRUE(o.replay.is_null()) << text;
    }

    // The seam's other side: a whole report still counts, and its page
    // is made without throwing.
    const auto whole = ordered_json::parse(
        R"({"differences": [{"kind": "unanswered", "part": "a", "line": "x", "known": "yes"}, {"kind": "outcome", "part": "b"}],
            "partial": null, "exit_status": 1})");
    const clonesim::batch_outcome o = clonesim::outcome_of({"t.jsonl", "t.jsonl"}, whole);
    EXPECT_EQ(o.status, clonesim::batch_status::differ);
    EXPECT_EQ(o.unanswered, 1u);
    EXPECT_EQ(o.parts_affected, 2u);
    EXPECT_NE(clonesim::batch_html({}, {o}).find("<pre>x\n\n</pre>"), std::string::npos);
}

}  // namespace
