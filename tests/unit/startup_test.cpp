// Start-up registration and the error box.
#include "entry/callbacks.h"
#include "session/messages.h"
#include "test_support.h"

#include <string>

namespace {

using kxtest::library_test;

struct expected_registration {
    int point;
    host_clone_notify_cb callback;
    const char* name;
};

const expected_registration registrations[] = {
    {kx::point_init_clone, kx::clone_session_hook, "Init_Clone"},
    {kx::point_assy_load, kx::load_naming_hook, "Assy Load"},
    {kx::point_part_load, kx::load_naming_hook, "Part Load"},
    {kx::point_begin_perform, kx::handle_perform_notification, "Begin_Perform"},
    {kx::point_begin_apply_defaults, kx::check_export_admission, "Begin_Apply_Defaults"},
    {kx::point_after_part, kx::handle_perform_notification, "End_Perform"},
    {kx::point_end_perform, kx::handle_perform_notification, "End_Perform"},
    {kx::point_exit_clone, kx::clone_session_hook, "Exit_Clone"},
};

class startup : public library_test {};

TEST_F(startup, registers_eight_callbacks_in_order_and_closes_the_api)
{
    ASSERT_EQ(user_exit_start(), 0);
    const auto& callbacks = host().callbacks;
    ASSERT_EQ(callbacks.size(), 8u);
    for (std::size_t i = 0; i < 8; ++i) {
        SCOPED_TRACE(registrations[i].name);
        EXPECT_EQ(callbacks[i].point, registrations[i].point);
        EXPECT_EQ(callbacks[i].callback, registrations[i].callback);
        EXPECT_EQ(callbacks[i].name, registrations[i].name);
        EXPECT_EQ(callbacks[i].description, "Testing");
    }
    EXPECT_EQ(sim::calls_of("HOST_initialize"), 1);
    EXPECT_EQ(sim::calls_of("HOST_terminate"), 1);
    EXPECT_FALSE(host().initialized);
    EXPECT_TRUE(host().message_boxes.empty());
}

// A failure of registration k leaves the k-1 earlier ones in force, shows one
// box with the host's text and returns the status; nothing later is tried.
TEST_F(startup, a_failed_registration_stops_start_up_where_it_failed)
{
    for (int k = 1; k <= 8; ++k) {
        SCOPED_TRACE("registration " + std::to_string(k));
        sim::reset();
        host().faults.push_back({"HOST_CLONE_register_ntfy_callback", k, false, 40 + k});
        EXPECT_EQ(user_exit_start(), 40 + k);
        EXPECT_EQ(host().callbacks.size(), static_cast<std::size_t>(k - 1));
        EXPECT_EQ(sim::calls_of("HOST_CLONE_register_ntfy_callback"), k);
        EXPECT_EQ(sim::calls_of("HOST_terminate"), 0);
        ASSERT_EQ(host().message_boxes.size(), 1u);
        EXPECT_EQ(host().message_boxes[0].title, "Error");
        EXPECT_EQ(host().message_boxes[0].message, sim::fail_message(40 + k));
    }
}

TEST_F(startup, failed_initialize_and_terminate_are_reported_with_their_status)
{
    host().faults.push_back({"HOST_initialize", 1, false, 7});
    EXPECT_EQ(user_exit_start(), 7);
    EXPECT_TRUE(host().callbacks.empty());
    ASSERT_EQ(host().message_boxes.size(), 1u);
    EXPECT_EQ(host().message_boxes[0].message, "host status 7");

    sim::reset();
    host().faults.push_back({"HOST_terminate", 1, false, 9});
    EXPECT_EQ(user_exit_start(), 9);
    EXPECT_EQ(host().callbacks.size(), 8u);  // all registrations stay in force
    ASSERT_EQ(host().message_boxes.size(), 1u);
    EXPECT_EQ(host().message_boxes[0].message, "host status 9");
}

class error_box : public library_test {};

TEST_F(error_box, shows_the_message_or_the_hosts_text_for_the_status)
{
    struct row {
        int code;
        const char* message;
        std::string shown;
        int result;
    };
    const row rows[] = {
        {12, "Something failed", "Something failed", 12},
        {0, "Shown with code 0", "Shown with code 0", 0},
        {12, nullptr, "host status 12", 0},
        {12, "", "host status 12", 0},
        {0, "", "host status 0", 0},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.shown);
        host().message_boxes.clear();
        EXPECT_EQ(kx::show_error(r.code, r.message), r.result);
        ASSERT_EQ(host().message_boxes.size(), 1u);
        EXPECT_EQ(host().message_boxes[0].title, "Error");
        EXPECT_EQ(host().message_boxes[0].message, r.shown);
        EXPECT_EQ(host().message_boxes[0].position, 0);
    }
}

TEST_F(error_box, cuts_a_long_message_at_132_characters)
{
    const std::string long_message = std::string(132, 'a') + "TAIL";
    EXPECT_EQ(kx::show_error(5, long_message.c_str()), 5);
    ASSERT_EQ(host().message_boxes.size(), 1u);
    EXPECT_EQ(host().message_boxes[0].message, std::string(132, 'a'));
}

TEST_F(error_box, a_failing_failure_text_lookup_shows_an_empty_box_and_returns_its_status)
{
    host().faults.push_back({"HOST_get_fail_message", 1, false, 77});
    EXPECT_EQ(kx::show_error(5, ""), 77);
    ASSERT_EQ(host().message_boxes.size(), 1u);
    EXPECT_EQ(host().message_boxes[0].message, "");
}

TEST_F(error_box, a_failing_message_box_is_not_reported)
{
    host().faults.push_back({"HOST_UI_display_nonmodal_msg", 1, false, 3});
    EXPECT_EQ(kx::show_error(5, "text"), 5);
}

}  // namespace
