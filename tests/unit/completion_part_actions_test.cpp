// Saving imported parts, reporting their native file names, and the listing
// window.
#include "completion/part_actions.h"
#include "host/host_codes.h"
#include "pdm/pdm_requests.h"
#include "session/messages.h"
#include "session/session_state.h"
#include "test_support.h"

#include <string>
#include <vector>

namespace {

using kxtest::library_test;

std::vector<std::string> calls_named(const std::string& prefix)
{
    std::vector<std::string> found;
    for (const std::string& call : sim::host().calls)
        if (call.rfind(prefix, 0) == 0) found.push_back(call);
    return found;
}

// The calls of the host operations that matter for one save, in order.
std::vector<std::string> save_sequence()
{
    std::vector<std::string> found;
    for (const std::string& call : sim::host().calls) {
        for (const char* op : {"HOST_PDM_encode_part_filename", "HOST_ASSEM_", "HOST_PART_"}) {
            if (call.rfind(op, 0) == 0) {
                found.push_back(call.substr(0, call.find('(')));
                break;
            }
        }
    }
    return found;
}

class save_imported_part : public library_test {
protected:
    void SetUp() override
    {
        library_test::SetUp();
        host().assem_options.member[8] = 1;
        host().assem_options.member[3] = 7;
    }
};

TEST_F(save_imported_part, opens_saves_and_closes_a_master_part_under_reduced_loading)
{
    host().part_files["@DB/A100/B"] = {};
    EXPECT_EQ(kx::save_imported_part("A100", "B", "", ""), 0);

    const sim::part_file& file = host().part_files["@DB/A100/B"];
    EXPECT_EQ(file.saves, 1);
    EXPECT_EQ(file.closes, 1);
    EXPECT_FALSE(file.open);
    EXPECT_EQ(file.assem_member8_at_open, std::vector<int>{0});
    EXPECT_EQ(host().assem_options.member[8], 1) << "options restored";
    EXPECT_EQ(host().assem_options.member[3], 7);
    EXPECT_EQ(save_sequence(), (std::vector<std::string>{
                                   "HOST_PDM_encode_part_filename", "HOST_ASSEM_ask_assem_options",
                                   "HOST_ASSEM_ask_assem_options", "HOST_ASSEM_set_assem_options", "HOST_PART_open",
                                   "HOST_PART_is_family_instance", "HOST_PART_save", "HOST_PART_close",
                                   "HOST_ASSEM_set_assem_options"}));
    EXPECT_EQ(calls_named("HOST_PART_close"), std::vector<std::string>{"HOST_PART_close(@DB/A100/B, 0, 1)"});
}

TEST_F(save_imported_part, a_part_under_a_relation_is_encoded_with_its_file_type_and_name)
{
    host().part_files["@DB/A100/B/manifestation/A100.B.DR01"] = {};
    kx::save_imported_part("A100", "B", "manifestation", "A100.B.DR01");
    EXPECT_EQ(host().part_files["@DB/A100/B/manifestation/A100.B.DR01"].saves, 1);
    EXPECT_EQ(calls_named("HOST_PDM_encode_part_filename"),
              std::vector<std::string>{"HOST_PDM_encode_part_filename(A100, B, manifestation, A100.B.DR01)"});
}

TEST_F(save_imported_part, a_family_instance_is_closed_unsaved)
{
    host().part_files["@DB/A100/B"].family_instance = true;
    kx::save_imported_part("A100", "B", "", "");
    const sim::part_file& file = host().part_files["@DB/A100/B"];
    EXPECT_EQ(file.saves, 0);
    EXPECT_EQ(file.closes, 1);
    EXPECT_EQ(host().assem_options.member[8], 1);
}

TEST_F(save_imported_part, a_failed_encoding_touches_nothing)
{
    host().part_files["@DB/A100/B"] = {};
    host().faults = {{"HOST_PDM_encode_part_filename", 1, false, 77}};
    EXPECT_EQ(kx::save_imported_part("A100", "B", "", ""), 77);
    EXPECT_EQ(sim::calls_of("HOST_ASSEM_ask_assem_options"), 0);
    EXPECT_EQ(sim::calls_of("HOST_ASSEM_set_assem_options"), 0);
    EXPECT_EQ(sim::calls_of("HOST_PART_open"), 0);
}

TEST_F(save_imported_part, a_part_that_cannot_be_opened_restores_the_options_quietly)
{
    host().faults = {{"HOST_ASSEM_set_assem_options", 2, false, 55}};
    EXPECT_EQ(kx::save_imported_part("A404", "B", "", ""), 55) << "the status of the restore";
    EXPECT_EQ(sim::calls_of("HOST_get_fail_message"), 1);
    EXPECT_EQ(sim::calls_of("HOST_PART_save"), 0);
    EXPECT_EQ(sim::calls_of("HOST_PART_close"), 0);
    EXPECT_TRUE(host().message_boxes.empty());
    EXPECT_TRUE(host().listing.empty());
}

// Options that could not be read are never applied: the host would get
// whatever the record held instead of its own settings.
TEST_F(save_imported_part, options_that_cannot_be_read_are_left_alone)
{
    for (int nth : {1, 2}) {
        SCOPED_TRACE(nth);
        sim::reset();
        host().assem_options.member[8] = 1;
        host().part_files["@DB/A100/B"] = {};
        host().faults = {{"HOST_ASSEM_ask_assem_options", nth, false, 31}};
        EXPECT_EQ(kx::save_imported_part("A100", "B", "", ""), 31);
        EXPECT_EQ(sim::calls_of("HOST_ASSEM_set_assem_options"), 0);
        EXPECT_EQ(host().part_files["@DB/A100/B"].saves, 1) << "the part is still saved";
        EXPECT_EQ(host().part_files["@DB/A100/B"].assem_member8_at_open, std::vector<int>{1});
        EXPECT_EQ(sim::outstanding_allocations(), 0u);
    }
}

class reset_native_filename : public library_test {
protected:
    void exceptions(const char* reply)
    {
        ASSERT_EQ(kx::split_text(reply, '?', kx::state().exception_list), 0);
    }
    std::vector<std::string> inputs_of(int code)
    {
        std::vector<std::string> found;
        for (const sim::pdm_request& r : host().requests)
            if (r.code == code) found.push_back(r.input.value_or("<null>"));
        return found;
    }
};

TEST_F(reset_native_filename, sends_nothing_unless_the_switch_is_in_force)
{
    struct row {
        const char* exceptions;
        std::size_t requests;
    };
    const row rows[] = {
        {nullptr, 0},
        {"KXPDM_AUTO_PUBLISH_AFTER_IMPORT?1", 0},
        {"KXPDM_IMPORT_FILL_ORIGINAL_FILENAME?999", 0},
        {"KXPDM_IMPORT_FILL_ORIGINAL_FILENAME?1", 1},
        {"X?999?KXPDM_IMPORT_FILL_ORIGINAL_FILENAME?Y", 1},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.exceptions != nullptr ? r.exceptions : "no list");
        host().requests.clear();
        kx::state().exception_list.reset();
        if (r.exceptions != nullptr) exceptions(r.exceptions);
        EXPECT_EQ(kx::reset_native_filename("A100", "B", "/data/in/bracket.prt", false, ""), 0);
        EXPECT_EQ(inputs_of(kx::request_fill_import_filename).size(), r.requests);
    }
}

TEST_F(reset_native_filename, request_texts)
{
    exceptions("KXPDM_IMPORT_FILL_ORIGINAL_FILENAME?1");
    kx::reset_native_filename("A100", "B", "/data/in/bracket.prt", false, "ignored");
    kx::reset_native_filename("A100", "B", "/data/in/bracket.prt", true, "A100.B.SM01");
    kx::reset_native_filename("A100", "B", "C:\\in\\bracket.prt", false, "");
    // "\\" ends a folder's name on Windows only.
    const std::string windows_name =
        kx::platform::path_separator() == '\\' ? "A100#B#bracket.prt" : "A100#B#C:\\in\\bracket.prt";
    EXPECT_EQ(inputs_of(kx::request_fill_import_filename),
              (std::vector<std::string>{"A100#B#bracket.prt", "A100#B#bracket.prt#A100.B.SM01", windows_name}));
    EXPECT_TRUE(host().listing.empty());
}

TEST_F(reset_native_filename, a_refusal_goes_to_the_listing_window_and_processing_goes_on)
{
    exceptions("KXPDM_IMPORT_FILL_ORIGINAL_FILENAME?1");
    host().server = [](int, const char*) { return sim::pdm_response{5, std::string("no such item")}; };
    EXPECT_EQ(kx::reset_native_filename("A100", "B", "/data/in/bracket.prt", false, ""), 0);
    EXPECT_EQ(host().listing, kx::msg::native_filename_failed("/data/in/bracket.prt"));
}

TEST_F(reset_native_filename, a_text_over_the_limit_is_not_sent_and_reads_as_a_refusal)
{
    exceptions("KXPDM_IMPORT_FILL_ORIGINAL_FILENAME?1");
    const std::string long_part_spec = "/in/" + std::string(1100, 'p') + ".prt";
    EXPECT_EQ(kx::reset_native_filename("A100", "B", long_part_spec, false, ""), 0);
    EXPECT_TRUE(inputs_of(kx::request_fill_import_filename).empty());
    // The frame's end is cut off here: the text is checked up to the cut part name.
    const std::string framed = kx::msg::native_filename_failed("/in/ppp");
    EXPECT_EQ(host().listing.rfind(framed.substr(0, framed.size() - 1), 0), 0u);
    EXPECT_EQ(host().listing.size(), kx::listing_message_limit);
    EXPECT_EQ(host().listing.back(), '\n');
}

class listing_window : public library_test {};

TEST_F(listing_window, opens_a_closed_window_and_writes_the_text_as_it_is)
{
    EXPECT_EQ(kx::write_listing_window("\nfirst\n"), 0);
    EXPECT_TRUE(host().listing_open);
    EXPECT_EQ(sim::calls_of("HOST_UI_open_listing_window"), 1);
    EXPECT_EQ(kx::write_listing_window("second"), 0);
    EXPECT_EQ(sim::calls_of("HOST_UI_open_listing_window"), 1) << "an open window is not opened again";
    EXPECT_EQ(host().listing, "\nfirst\nsecond");
}

TEST_F(listing_window, a_failed_query_writes_nothing_and_a_failed_open_still_writes)
{
    host().faults = {{"HOST_UI_is_listing_window_open", 1, false, 12}};
    EXPECT_EQ(kx::write_listing_window("lost"), 12);
    EXPECT_EQ(sim::calls_of("HOST_UI_write_listing_window"), 0);

    host().faults = {{"HOST_UI_open_listing_window", 1, false, 13}};
    EXPECT_EQ(kx::write_listing_window("kept"), 0);
    EXPECT_EQ(host().listing, "kept");

    host().faults = {{"HOST_UI_write_listing_window", 2, false, 14}};
    EXPECT_EQ(kx::write_listing_window("x"), 14);
}

TEST_F(listing_window, messages_are_cut_in_their_subject_and_keep_their_frame)
{
    EXPECT_EQ(kx::listing_message("\nA ", "b", "\n"), "\nA b\n");
    const std::string long_subject(2000, 's');
    const std::string message = kx::listing_message("\nFailed for ", long_subject, "\n");
    EXPECT_EQ(message.size(), kx::listing_message_limit);
    EXPECT_EQ(message.rfind("\nFailed for sss", 0), 0u);
    EXPECT_EQ(message.back(), '\n');
    EXPECT_EQ(kx::listing_message(std::string(1500, 'f'), "x").size(), kx::listing_message_limit);
}

}  // namespace
