/* The CAD host's C interface: the only operations through which the library
 * reaches the host. Names, argument orders and buffer sizes are the host's own
 * and must not change. Every operation returning int returns a host status,
 * 0 for success. Texts and arrays handed out belong to the caller, who releases
 * them with HOST_free / HOST_free_string_array. */
#ifndef KXPDM_HOST_API_H
#define KXPDM_HOST_API_H

#ifdef __cplusplus
extern "C" {
#endif

typedef unsigned int host_tag_t;            /* 0 (HOST_NULL_TAG): no such object */
#define HOST_NULL_TAG 0u
#define HOST_MAX_FSPEC_BUFSIZE 257          /* part specifications and database part names */
#define HOST_FAIL_MESSAGE_BUFSIZE 133
#define HOST_PDM_ID_BUFSIZE 33              /* item IDs and revision IDs the host assigns */
#define HOST_PDM_NAME_BUFSIZE 33
#define HOST_PDM_DESC_BUFSIZE 241
#define HOST_PDM_FIELD_BUFSIZE 133          /* each field decoded from a database part name */

typedef int (*host_clone_notify_cb)(int point, const char *part_name, void *data);
typedef int (*host_clone_trans_cb)(const char *part_spec, char new_name[HOST_MAX_FSPEC_BUFSIZE]);

typedef struct { int member[12]; } host_assem_options_t;   /* member[8]: 0 = reduced component loading */
typedef struct { int failed; int n_parts; char **file_names; int *statuses; } host_part_load_status_t;
typedef struct { int type; const char *string; } host_attr_value_t;   /* type 5: string */

/* start and end */
int HOST_initialize(void);
int HOST_terminate(void);

/* notifications and auto-translation */
int HOST_CLONE_register_ntfy_callback(int point, host_clone_notify_cb callback, const char *name,
                                      const char *description, int reserved1, int reserved2);
int HOST_CLONE_ask_ntfy_callbacks(int *count, host_clone_notify_cb **callbacks, char ***names,
                                  char ***descriptions);
int HOST_CLONE_remove_ntfy_callback(int point, const char *name, host_clone_notify_cb *removed);
int HOST_PDM_set_clone_auto_trans(host_clone_trans_cb callback);

/* clone queries: texts out are host allocations and may be NULL */
int HOST_CLONE_ask_operation_class(int *operation_class);
int HOST_CLONE_ask_dryrun(int *dry_run);
int HOST_CLONE_ask_part_state(const char *part_name, int *state);
int HOST_CLONE_ask_action(const char *part_name, int *action);
int HOST_CLONE_ask_def_action(int *action);
int HOST_CLONE_ask_naming(const char *part_name, int *naming_technique, char **output_name);
int HOST_CLONE_ask_def_naming(int *naming_technique);
int HOST_CLONE_ask_item_type(const char *part_name, char **item_type);
int HOST_CLONE_ask_def_item_type(char **item_type);
int HOST_CLONE_ask_pdm_name(const char *part_name, char **name);
int HOST_CLONE_ask_def_pdm_name(char **name);
int HOST_CLONE_ask_pdm_desc(const char *part_name, char **description);
int HOST_CLONE_ask_def_pdm_desc(char **description);
int HOST_CLONE_ask_attribute_values(const char *part_name, int *count, char ***titles, char ***values);
int HOST_CLONE_ask_def_directory(char **directory);
int HOST_CLONE_start_iteration(void);
int HOST_CLONE_iterate(char **part_name);            /* *part_name NULL after the last part */
int HOST_CLONE_stop_iteration(void);

/* clone settings */
int HOST_CLONE_set_def_naming(int naming_technique);
int HOST_CLONE_set_item_type(const char *part_name, const char *item_type);
int HOST_CLONE_set_pdm_name(const char *part_name, const char *name);
int HOST_CLONE_set_pdm_desc(const char *part_name, const char *description);

/* PDM manager */
int HOST_PDM_ask_part_tag(const char *part_number, host_tag_t *part);
int HOST_PDM_ask_part_name_desc(host_tag_t part, char name[HOST_PDM_NAME_BUFSIZE],
                                char description[HOST_PDM_DESC_BUFSIZE]);
int HOST_PDM_assign_part_number(const char *part_number, const char *item_type,
                                char new_number[HOST_PDM_ID_BUFSIZE], int *modifiable);
int HOST_PDM_assign_part_rev(const char *part_number, const char *item_type,
                             char new_revision[HOST_PDM_ID_BUFSIZE], int *modifiable);
int HOST_PDM_decode_part_filename(const char *encoded_name, char part_number[HOST_PDM_FIELD_BUFSIZE],
                                  char part_revision[HOST_PDM_FIELD_BUFSIZE],
                                  char file_type[HOST_PDM_FIELD_BUFSIZE],
                                  char file_name[HOST_PDM_FIELD_BUFSIZE]);
int HOST_PDM_encode_part_filename(const char *part_number, const char *part_revision,
                                  const char *file_type, const char *file_name,
                                  char encoded_name[HOST_MAX_FSPEC_BUFSIZE]);
/* the return value is the channel's own; the request's outcome is *status (0 success) */
int HOST_PDM_invoke_pdm_server(int request_code, const char *input_text, int *status, char **reply_text);

/* parts and attributes: HOST_PART_open makes the opened part the work part */
int HOST_PART_open(const char *part_name, host_tag_t *part, host_part_load_status_t *load_status);
int HOST_PART_save(void);                             /* saves the work part */
int HOST_PART_close(host_tag_t part, int scope, int mode);
int HOST_PART_is_family_instance(host_tag_t part, int *is_instance);
int HOST_ASSEM_ask_assem_options(host_assem_options_t *options);
int HOST_ASSEM_set_assem_options(const host_assem_options_t *options);
int HOST_ASSEM_ask_save_trueshape(int *on);
int HOST_ASSEM_set_save_trueshape(int on);
int HOST_ATTR_ask_part_attribute(host_tag_t *attribute_object);   /* of the work part */
int HOST_ATTR_find_attribute(host_tag_t object, int type, const char *title, int *title_type);
int HOST_ATTR_assign(host_tag_t object, const char *title, host_attr_value_t value);
int HOST_UNDO_delete_all_marks(void);

/* files */
int HOST_FILE_exists(const char *file_spec, int file_type);      /* 0 when the file exists */
int HOST_FILE_ask_name(const char *file_spec, int file_type, char *name, int name_size);
                                         /* non-zero when the name does not fit name_size */
int HOST_TEXT_open(const char *file_name, int access, int format);   /* channel, or < 0 */
int HOST_TEXT_read_line(int channel, char *line, int line_size);
      /* length read (0: empty line), -23 at end of file, another negative status on failure;
         a longer line is cut to line_size - 1 characters and its rest skipped */
int HOST_TEXT_close(int channel, int delete_file);

/* messages */
int HOST_UI_display_nonmodal_msg(const char *title, const char *message, int position);
int HOST_UI_is_listing_window_open(int *open);
int HOST_UI_open_listing_window(void);
int HOST_UI_write_listing_window(const char *text);
int HOST_get_fail_message(int status, char message[HOST_FAIL_MESSAGE_BUFSIZE]);

/* memory */
void *HOST_allocate_memory(unsigned int size, int *status);
void *HOST_reallocate_memory(void *data, unsigned int size, int *status);
void HOST_free(void *data);                           /* NULL is harmless */
void HOST_free_string_array(int count, char **array);

#ifdef __cplusplus
}
#endif

#endif /* KXPDM_HOST_API_H */
