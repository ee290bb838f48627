// The simulated host between sessions and at scale: reset_model keeps the
// library's live allocations while everything else starts over, the call log
// can be switched off without losing counts or faults, and the lookups by
// part name, item ID and part-file name stay right when tests change the
// public vectors behind the indexes.
#include "host/host_codes.h"
#include "sim_host.h"
#include "sim_internal.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

sim::clone_part part_named(const char* name)
{
    sim::clone_part part;
    part.name = name;
    return part;
}

class sim_index : public ::testing::Test {
protected:
    void SetUp() override { sim::reset(); }
    void TearDown() override { sim::reset(); }
};

TEST_F(sim_index, reset_model_keeps_live_allocations_tracked_and_starts_everything_else_over)
{
    int status = -1;
    void* kept = HOST_allocate_memory(16, &status);
    ASSERT_NE(kept, nullptr);
    const std::filesystem::path file = std::filesystem::path(::testing::TempDir()) / "sim_index_channel.txt";
    std::ofstream(file) << "line\n";
    ASSERT_GE(HOST_TEXT_open(file.string().c_str(), kx::text_read_access, kx::text_format), 0);
    sim::host().parts.push_back(part_named("/in/a.prt"));
    sim::host().faults.push_back(sim::fault{"HOST_PART_save", 1, true, 7});
    sim::host().misuse.push_back("earlier");

    sim::reset_model();
    EXPECT_EQ(sim::outstanding_allocations(), 1u);
    EXPECT_EQ(sim::open_text_channels(), 0u);
    EXPECT_TRUE(sim::host().parts.empty());
    EXPECT_TRUE(sim::host().faults.empty());
    EXPECT_TRUE(sim::host().calls.empty());
    EXPECT_TRUE(sim::host().call_counts.empty());
    EXPECT_TRUE(sim::host().misuse.empty());
    EXPECT_EQ(sim::find_part("/in/a.prt"), nullptr);

    // Still the host's own block: given back without a misuse.
    HOST_free(kept);
    EXPECT_EQ(sim::outstanding_allocations(), 0u);
    EXPECT_TRUE(sim::host().misuse.empty());
    std::filesystem::remove(file);
}

TEST_F(sim_index, without_the_call_log_calls_are_still_counted_and_faults_still_fire)
{
    sim::host().log_calls = false;
    sim::host().faults.push_back(sim::fault{"HOST_UNDO_delete_all_marks", 2, false, 9});
    EXPECT_EQ(HOST_UNDO_delete_all_marks(), 0);
    EXPECT_EQ(HOST_UNDO_delete_all_marks(), 9);
    EXPECT_EQ(HOST_UNDO_delete_all_marks(), 0);
    EXPECT_TRUE(sim::host().calls.empty());
    EXPECT_EQ(sim::calls_of("HOST_UNDO_delete_all_marks"), 3);
    EXPECT_EQ(sim::host().faults_fired, std::vector<std::string>{"HOST_UNDO_delete_all_marks #2"});

    sim::host().log_calls = true;
    HOST_UNDO_delete_all_marks();
    EXPECT_EQ(sim::host().calls, std::vector<std::string>{"HOST_UNDO_delete_all_marks()"});
}

TEST_F(sim_index, parts_are_found_after_the_vector_is_replaced_renamed_or_holds_a_name_twice)
{
    auto& parts = sim::host().parts;
    parts = {part_named("/in/a.prt"), part_named("/in/b.prt")};
    parts[1].state = 2;
    ASSERT_NE(sim::find_part("/in/b.prt"), nullptr);
    EXPECT_EQ(sim::find_part("/in/b.prt")->state, 2);

    // Same size, same storage, other names.
    parts = {part_named("/in/c.prt"), part_named("/in/d.prt")};
    EXPECT_EQ(sim::find_part("/in/b.prt"), nullptr);
    ASSERT_NE(sim::find_part("/in/d.prt"), nullptr);
    EXPECT_EQ(sim::find_part("/in/d.prt"), &parts[1]);

    parts[0].name = "/in/renamed.prt";
    EXPECT_EQ(sim::find_part("/in/renamed.prt"), &parts[0]);
    EXPECT_EQ(sim::find_part("/in/c.prt"), nullptr);

    parts.push_back(part_named("/in/d.prt"));
    EXPECT_EQ(sim::find_part("/in/d.prt"), &parts[1]) << "the first part of a name";

    int state = -1;
    parts[1].state = kx::part_state_referenced_loaded;
    EXPECT_EQ(HOST_CLONE_ask_part_state("/in/d.prt", &state), 0);
    EXPECT_EQ(state, kx::part_state_referenced_loaded);
}

TEST_F(sim_index, items_are_found_by_id_as_they_are_added_replaced_or_reindexed)
{
    host_tag_t tag = 99;
    for (int i = 0; i < 1000; ++i) sim::add_item({"I" + std::to_string(i), "Part", "n", "d"});
    EXPECT_EQ(HOST_PDM_ask_part_tag("I0", &tag), 0);
    EXPECT_EQ(tag, 1u);
    EXPECT_EQ(HOST_PDM_ask_part_tag("I999", &tag), 0);
    EXPECT_EQ(tag, 1000u);
    EXPECT_EQ(HOST_PDM_ask_part_tag("I1000", &tag), 0);
    EXPECT_EQ(tag, HOST_NULL_TAG);

    sim::add_item({"I5", "Part", "second", "d"});
    EXPECT_EQ(HOST_PDM_ask_part_tag("I5", &tag), 0);
    EXPECT_EQ(tag, 6u) << "the first item of an ID";

    // A vector of another size is seen at once.
    sim::host().items = {sim::pdm_item{"X1", "Part", "", ""}, sim::pdm_item{"I0", "Part", "", ""}};
    EXPECT_EQ(HOST_PDM_ask_part_tag("I0", &tag), 0);
    EXPECT_EQ(tag, 2u);
    EXPECT_EQ(HOST_PDM_ask_part_tag("I999", &tag), 0);
    EXPECT_EQ(tag, HOST_NULL_TAG);

    // A stale hit is noticed by itself; a rename in place to a new ID is
    // seen once the indexes are rebuilt, as every session start does.
    sim::host().items[1].item_id = "Y2";
    EXPECT_EQ(HOST_PDM_ask_part_tag("I0", &tag), 0);
    EXPECT_EQ(tag, HOST_NULL_TAG);
    EXPECT_EQ(HOST_PDM_ask_part_tag("Y2", &tag), 0);
    EXPECT_EQ(tag, 2u);
    sim::host().items[0].item_id = "Z3";
    sim::reindex();
    EXPECT_EQ(HOST_PDM_ask_part_tag("Z3", &tag), 0);
    EXPECT_EQ(tag, 1u);
}

TEST_F(sim_index, part_file_tags_stay_stable_and_start_over_with_the_model)
{
    const host_tag_t a = sim::part_tag("/x/a.prt");
    const host_tag_t b = sim::part_tag("/x/b.prt");
    EXPECT_NE(a, b);
    EXPECT_EQ(sim::part_tag("/x/a.prt"), a);
    EXPECT_EQ(sim::host().part_tags.size(), 2u);
    sim::reset_model();
    EXPECT_TRUE(sim::host().part_tags.empty());
    EXPECT_EQ(sim::part_tag("/x/b.prt"), a) << "numbering starts over";
}

}  // namespace
