// The recording table: one function per host operation that calls the bound
// operation and records what went in and what came back, by the parameter
// names of the host interface. The parameter's type says how it is recorded;
// outputs only where the host promises them (on success).
#include "trace/json_line.h"
#include "trace/recorder.h"

#include <array>
#include <cstring>
#include <string_view>
#include <tuple>
#include <type_traits>

namespace kx::trace {

namespace {

using std::string_view;

// "(part_name, state)" as the operation list spells its arguments.
template <std::size_t N>
std::array<string_view, N> parameter_names(string_view spelled)
{
    std::array<string_view, N> names{};
    std::size_t at = spelled.find('(') + 1;
    for (std::size_t i = 0; i < N; ++i) {
        while (at < spelled.size() && spelled[at] == ' ') ++at;
        std::size_t end = spelled.find_first_of(",)", at);
        names[i] = spelled.substr(at, end - at);
        at = end + 1;
    }
    return names;
}

// --- inputs ---
void write_input(json_line& line, string_view name, int value) { line.key(name).number(value); }
void write_input(json_line& line, string_view name, unsigned int value) { line.key(name).number(value); }
void write_input(json_line& line, string_view name, const char* value) { line.key(name).text(value); }
void write_input(json_line& line, string_view name, host_clone_notify_cb value)
{
    line.key(name).boolean(value != nullptr);
}
void write_input(json_line& line, string_view name, host_clone_trans_cb value)
{
    line.key(name).boolean(value != nullptr);
}
void write_options(json_line& line, string_view name, const host_assem_options_t& options)
{
    line.key(name).open_object().key("member").open_array();
    for (const int member : options.member) line.number(member);
    line.close_array().close_object();
}
void write_input(json_line& line, string_view name, const host_assem_options_t* value)
{
    if (value != nullptr) write_options(line, name, *value);
}
void write_input(json_line& line, string_view name, host_attr_value_t value)
{
    line.key(name).open_object().key("type").number(value.type).key("string").text(value.string).close_object();
}
// Every pointer the host writes through is an output.
template <typename T>
void write_input(json_line&, string_view, T*)
{
}

// --- outputs ---
struct output_context {
    int last_count = 0;           // the count an array that follows has
    std::size_t buffer_bound = 0;  // the size of the buffer being read
};

void write_output(json_line& line, output_context& context, string_view name, char* buffer)
{
    if (buffer != nullptr) line.key(name).text(string_view(buffer, strnlen(buffer, context.buffer_bound)));
}
void write_output(json_line& line, output_context& context, string_view name, int* value)
{
    if (value == nullptr) return;
    line.key(name).number(*value);
    context.last_count = *value;
}
void write_output(json_line& line, output_context&, string_view name, unsigned int* value)
{
    if (value != nullptr) line.key(name).number(*value);
}
void write_output(json_line& line, output_context&, string_view name, char** value)
{
    if (value != nullptr) line.key(name).text(*value);
}
void write_output(json_line& line, output_context& context, string_view name, char*** value)
{
    if (value == nullptr) return;
    line.key(name);
    if (*value == nullptr) {
        line.null();
        return;
    }
    line.open_array();
    for (int i = 0; i < context.last_count; ++i) line.text((*value)[i]);
    line.close_array();
}
void write_output(json_line& line, output_context&, string_view name, host_clone_notify_cb* value)
{
    if (value != nullptr) line.key(name).boolean(*value != nullptr);
}
void write_output(json_line& line, output_context&, string_view name, host_part_load_status_t* value)
{
    if (value == nullptr) return;
    line.key(name).open_object().key("failed").number(value->failed).key("n_parts").number(value->n_parts);
    line.key("file_names").open_array();
    for (int i = 0; value->file_names != nullptr && i < value->n_parts; ++i) line.text(value->file_names[i]);
    line.close_array().key("statuses").open_array();
    for (int i = 0; value->statuses != nullptr && i < value->n_parts; ++i) line.number(value->statuses[i]);
    line.close_array().close_object();
}
void write_output(json_line& line, output_context&, string_view name, host_assem_options_t* value)
{
    if (value != nullptr) write_options(line, name, *value);
}
// Inputs and what the host hands out no answer through (its callback array).
template <typename T>
void write_output(json_line&, output_context&, string_view, T)
{
}

template <typename Tuple, std::size_t... I>
void write_inputs(json_line& line, const std::array<string_view, sizeof...(I)>& names, const Tuple& args,
                  std::index_sequence<I...>)
{
    (write_input(line, names[I], std::get<I>(args)), ...);
}

// The sizes of an operation's output buffers, in the operation list's order.
template <int... Size>
struct buffer_sizes {};

// Each parameter's bound: its buffer's size, KX_SIZE_FOLLOWS, or 0 for a
// parameter that is no buffer.
template <typename... A, int... Size>
consteval std::array<int, sizeof...(A)> bounds_by_parameter(buffer_sizes<Size...>)
{
    constexpr bool is_buffer[] = {std::is_same_v<A, char*>..., false};
    constexpr bool is_int[] = {std::is_same_v<A, int>..., false};
    constexpr int sizes[] = {Size..., 0};
    std::array<int, sizeof...(A)> bounds{};
    std::size_t next = 0;
    for (std::size_t i = 0; i < sizeof...(A); ++i) {
        if (!is_buffer[i]) continue;
        if (next == sizeof...(Size)) throw "an output buffer has no size in the operation list";
        bounds[i] = sizes[next++];
        if (bounds[i] == 0 || bounds[i] < KX_SIZE_FOLLOWS) throw "a buffer size must be positive";
        if (bounds[i] == KX_SIZE_FOLLOWS && !is_int[i + 1]) throw "no size argument follows the buffer";
    }
    if (next != sizeof...(Size)) throw "more sizes than output buffers in the operation list";
    return bounds;
}

template <std::size_t I, typename Tuple>
std::size_t bound_of(const Tuple& args, int declared)
{
    if (declared != KX_SIZE_FOLLOWS) return static_cast<std::size_t>(declared);
    if constexpr (I + 1 < std::tuple_size_v<Tuple>) {
        if constexpr (std::is_same_v<std::tuple_element_t<I + 1, Tuple>, int>) {
            const int size = std::get<I + 1>(args);
            return size > 0 ? static_cast<std::size_t>(size) : 0;
        }
    }
    return 0;
}

template <typename Tuple, std::size_t N, std::size_t... I>
void write_outputs(json_line& line, const std::array<string_view, N>& names, const Tuple& args,
                   const std::array<int, N>& bounds, std::index_sequence<I...>)
{
    output_context context;
    ((context.buffer_bound = bound_of<I>(args, bounds[I]), write_output(line, context, names[I], std::get<I>(args))),
     ...);
}

// A text read from a file hands back its length; every other operation 0.
bool succeeded(string_view operation, int status)
{
    return status == 0 || (status > 0 && operation == "HOST_TEXT_read_line");
}

template <typename R, typename... A, int... Size>
R recorded_call(buffer_sizes<Size...> sizes, const char* operation, string_view spelled, R (*bound)(A...),
                std::type_identity_t<A>... args)
{
    static constexpr std::array<int, sizeof...(A)> bounds = bounds_by_parameter<A...>(sizes);
    const R result = bound(args...);
    // The memory operations carry no answer of the host's.
    if constexpr (std::is_same_v<R, int>) {
        session_trace* trace = session_trace::recording();
        if (trace == nullptr) return result;
        try {
            const auto names = parameter_names<sizeof...(A)>(spelled);
            const auto tuple = std::make_tuple(args...);
            json_line line = trace->host_line();
            line.open_positional();
            write_inputs(line, names, tuple, std::index_sequence_for<A...>{});
            line.close_array().open_positional();
            if (succeeded(operation, result))
                write_outputs(line, names, tuple, bounds, std::index_sequence_for<A...>{});
            line.close_array();
            if (result != 0) line.number(result);
            trace->record_host(operation, line);
        } catch (...) {
            trace->record_failed();
        }
    }
    return result;
}

template <typename... A, int... Size>
void recorded_call(buffer_sizes<Size...>, const char* operation, string_view spelled, void (*bound)(A...),
                   std::type_identity_t<A>... args)
{
    static_assert(sizeof...(Size) == 0, "a memory operation has no output buffer");
    (void)operation;
    (void)spelled;
    bound(args...);
}

#define KX_RECORDED(ret, name, params, args, sizes)                                                \
    ret recorded_##name params                                                                      \
    {                                                                                               \
        return recorded_call(buffer_sizes<KX_LIST sizes>{}, #name, #args,                           \
                             bound_host_operations().name KX_COMMA_ARGS args);                      \
    }
#define KX_COMMA_ARGS(...) __VA_OPT__(, ) __VA_ARGS__
#define KX_LIST(...) __VA_ARGS__
KX_HOST_OPERATIONS(KX_RECORDED)
#undef KX_RECORDED
#undef KX_LIST

// A PDM request is an event of its own: code, input, and the server's answer.
int recorded_request(int request_code, const char* input_text, int* status, char** reply_text)
{
    const int result = bound_host_operations().HOST_PDM_invoke_pdm_server(request_code, input_text, status, reply_text);
    session_trace* trace = session_trace::recording();
    if (trace == nullptr) return result;
    try {
        json_line line = trace->event_line("request");
        line.key("code").number(request_code).key("input").text(input_text);
        line.key("result").number(result);
        if (result == 0) {
            // Members go by their place: a status the library did not ask
            // for is null.
            if (status != nullptr)
                line.key("status").number(*status);
            else
                line.key("status").null();
            if (reply_text != nullptr) line.key("reply").text(*reply_text);
        }
        trace->record(line);
    } catch (...) {
        trace->record_failed();
    }
    return result;
}

// The session's class goes into the trace's header as well.
int recorded_operation_class(int* operation_class)
{
    const int result = recorded_HOST_CLONE_ask_operation_class(operation_class);
    session_trace* trace = session_trace::recording();
    if (result == 0 && operation_class != nullptr && trace != nullptr) trace->note_session_class(*operation_class);
    return result;
}

host_operation_table make_recording_table()
{
#define KX_RECORDED_ENTRY(ret, name, params, args, sizes) recorded_##name,
    host_operation_table table{KX_HOST_OPERATIONS(KX_RECORDED_ENTRY)};
#undef KX_RECORDED_ENTRY
    table.HOST_PDM_invoke_pdm_server = recorded_request;
    table.HOST_CLONE_ask_operation_class = recorded_operation_class;
    return table;
}

}  // namespace

const host_operation_table& recording_operations() noexcept
{
    static const host_operation_table table = make_recording_table();
    return table;
}

}  // namespace kx::trace
