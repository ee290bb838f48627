// Every host operation of host_api.h, in its order, as
//   X(return type, name, (parameters), (arguments), (buffer sizes))
// for the places that must treat all of them alike: binding them by name in
// the Windows DLL, recording them. The buffer sizes bound each output buffer
// (a `char *` parameter) in turn: the size the host interface declares for
// it, or KX_SIZE_FOLLOWS where its size is the argument after it. Nothing
// promises a terminator inside such a buffer, so it is never read further;
// the recorder fails to compile for an operation whose buffers and sizes do
// not pair up. A test (cmake/check_host_operations.cmake) fails when this
// list and host_api.h disagree.
#pragma once

#include "host/host_api.h"

#define KX_SIZE_FOLLOWS (-1)

// clang-format off
#define KX_HOST_OPERATIONS(X) \
    X(int, HOST_initialize, (void), (), ()) \
    X(int, HOST_terminate, (void), (), ()) \
    X(int, HOST_CLONE_register_ntfy_callback, (int point, host_clone_notify_cb callback, const char *name, const char *description, int reserved1, int reserved2), (point, callback, name, description, reserved1, reserved2), ()) \
    X(int, HOST_CLONE_ask_ntfy_callbacks, (int *count, host_clone_notify_cb **callbacks, char ***names, char ***descriptions), (count, callbacks, names, descriptions), ()) \
    X(int, HOST_CLONE_remove_ntfy_callback, (int point, const char *name, host_clone_notify_cb *removed), (point, name, removed), ()) \
    X(int, HOST_PDM_set_clone_auto_trans, (host_clone_trans_cb callback), (callback), ()) \
    X(int, HOST_CLONE_ask_operation_class, (int *operation_class), (operation_class), ()) \
    X(int, HOST_CLONE_ask_dryrun, (int *dry_run), (dry_run), ()) \
    X(int, HOST_CLONE_ask_part_state, (const char *part_name, int *state), (part_name, state), ()) \
    X(int, HOST_CLONE_ask_action, (const char *part_name, int *action), (part_name, action), ()) \
    X(int, HOST_CLONE_ask_def_action, (int *action), (action), ()) \
    X(int, HOST_CLONE_ask_naming, (const char *part_name, int *naming_technique, char **output_name), (part_name, naming_technique, output_name), ()) \
    X(int, HOST_CLONE_ask_def_naming, (int *naming_technique), (naming_technique), ()) \
    X(int, HOST_CLONE_ask_item_type, (const char *part_name, char **item_type), (part_name, item_type), ()) \
    X(int, HOST_CLONE_ask_def_item_type, (char **item_type), (item_type), ()) \
    X(int, HOST_CLONE_ask_pdm_name, (const char *part_name, char **name), (part_name, name), ()) \
    X(int, HOST_CLONE_ask_def_pdm_name, (char **name), (name), ()) \
    X(int, HOST_CLONE_ask_pdm_desc, (const char *part_name, char **description), (part_name, description), ()) \
    X(int, HOST_CLONE_ask_def_pdm_desc, (char **description), (description), ()) \
    X(int, HOST_CLONE_ask_attribute_values, (const char *part_name, int *count, char ***titles, char ***values), (part_name, count, titles, values), ()) \
    X(int, HOST_CLONE_ask_def_directory, (char **directory), (directory), ()) \
    X(int, HOST_CLONE_start_iteration, (void), (), ()) \
    X(int, HOST_CLONE_iterate, (char **part_name), (part_name), ()) \
    X(int, HOST_CLONE_stop_iteration, (void), (), ()) \
    X(int, HOST_CLONE_set_def_naming, (int naming_technique), (naming_technique), ()) \
    X(int, HOST_CLONE_set_item_type, (const char *part_name, const char *item_type), (part_name, item_type), ()) \
    X(int, HOST_CLONE_set_pdm_name, (const char *part_name, const char *name), (part_name, name), ()) \
    X(int, HOST_CLONE_set_pdm_desc, (const char *part_name, const char *description), (part_name, description), ()) \
    X(int, HOST_PDM_ask_part_tag, (const char *part_number, host_tag_t *part), (part_number, part), ()) \
    X(int, HOST_PDM_ask_part_name_desc, (host_tag_t part, char name[HOST_PDM_NAME_BUFSIZE], char description[HOST_PDM_DESC_BUFSIZE]), (part, name, description), (HOST_PDM_NAME_BUFSIZE, HOST_PDM_DESC_BUFSIZE)) \
    X(int, HOST_PDM_assign_part_number, (const char *part_number, const char *item_type, char new_number[HOST_PDM_ID_BUFSIZE], int *modifiable), (part_number, item_type, new_number, modifiable), (HOST_PDM_ID_BUFSIZE)) \
    X(int, HOST_PDM_assign_part_rev, (const char *part_number, const char *item_type, char new_revision[HOST_PDM_ID_BUFSIZE], int *modifiable), (part_number, item_type, new_revision, modifiable), (HOST_PDM_ID_BUFSIZE)) \
    X(int, HOST_PDM_decode_part_filename, (const char *encoded_name, char part_number[HOST_PDM_FIELD_BUFSIZE], char part_revision[HOST_PDM_FIELD_BUFSIZE], char file_type[HOST_PDM_FIELD_BUFSIZE], char file_name[HOST_PDM_FIELD_BUFSIZE]), (encoded_name, part_number, part_revision, file_type, file_name), (HOST_PDM_FIELD_BUFSIZE, HOST_PDM_FIELD_BUFSIZE, HOST_PDM_FIELD_BUFSIZE, HOST_PDM_FIELD_BUFSIZE)) \
    X(int, HOST_PDM_encode_part_filename, (const char *part_number, const char *part_revision, const char *file_type, const char *file_name, char encoded_name[HOST_MAX_FSPEC_BUFSIZE]), (part_number, part_revision, file_type, file_name, encoded_name), (HOST_MAX_FSPEC_BUFSIZE)) \
    X(int, HOST_PDM_invoke_pdm_server, (int request_code, const char *input_text, int *status, char **reply_text), (request_code, input_text, status, reply_text), ()) \
    X(int, HOST_PART_open, (const char *part_name, host_tag_t *part, host_part_load_status_t *load_status), (part_name, part, load_status), ()) \
    X(int, HOST_PART_save, (void), (), ()) \
    X(int, HOST_PART_close, (host_tag_t part, int scope, int mode), (part, scope, mode), ()) \
    X(int, HOST_PART_is_family_instance, (host_tag_t part, int *is_instance), (part, is_instance), ()) \
    X(int, HOST_ASSEM_ask_assem_options, (host_assem_options_t *options), (options), ()) \
    X(int, HOST_ASSEM_set_assem_options, (const host_assem_options_t *options), (options), ()) \
    X(int, HOST_ASSEM_ask_save_trueshape, (int *on), (on), ()) \
    X(int, HOST_ASSEM_set_save_trueshape, (int on), (on), ()) \
    X(int, HOST_ATTR_ask_part_attribute, (host_tag_t *attribute_object), (attribute_object), ()) \
    X(int, HOST_ATTR_find_attribute, (host_tag_t object, int type, const char *title, int *title_type), (object, type, title, title_type), ()) \
    X(int, HOST_ATTR_assign, (host_tag_t object, const char *title, host_attr_value_t value), (object, title, value), ()) \
    X(int, HOST_UNDO_delete_all_marks, (void), (), ()) \
    X(int, HOST_FILE_exists, (const char *file_spec, int file_type), (file_spec, file_type), ()) \
    X(int, HOST_FILE_ask_name, (const char *file_spec, int file_type, char *name, int name_size), (file_spec, file_type, name, name_size), (KX_SIZE_FOLLOWS)) \
    X(int, HOST_TEXT_open, (const char *file_name, int access, int format), (file_name, access, format), ()) \
    X(int, HOST_TEXT_read_line, (int channel, char *line, int line_size), (channel, line, line_size), (KX_SIZE_FOLLOWS)) \
    X(int, HOST_TEXT_close, (int channel, int delete_file), (channel, delete_file), ()) \
    X(int, HOST_UI_display_nonmodal_msg, (const char *title, const char *message, int position), (title, message, position), ()) \
    X(int, HOST_UI_is_listing_window_open, (int *open), (open), ()) \
    X(int, HOST_UI_open_listing_window, (void), (), ()) \
    X(int, HOST_UI_write_listing_window, (const char *text), (text), ()) \
    X(int, HOST_get_fail_message, (int status, char message[HOST_FAIL_MESSAGE_BUFSIZE]), (status, message), (HOST_FAIL_MESSAGE_BUFSIZE)) \
    X(void *, HOST_allocate_memory, (unsigned int size, int *status), (size, status), ()) \
    X(void *, HOST_reallocate_memory, (void *data, unsigned int size, int *status), (data, size, status), ()) \
    X(void, HOST_free, (void *data), (data), ()) \
    X(void, HOST_free_string_array, (int count, char **array), (count, array), ())
// clang-format on
