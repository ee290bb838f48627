// clonesim's trace reader on any bytes: the first input byte chooses whether
// the rest follows a trace header of format 2 (the lines of a session) or is
// the whole file (the header and format 1 too). A trace is either read or
// refused with a trace_error, never anything else; every name and string
// read is UTF-8, every value walks whole, every refusal names its line, and
// the reader that keeps the events agrees with the one that streams them.
#include "fuzz_support.h"

#include "trace/json_line.h"
#include "traces/trace.h"

#include <string>
#include <string_view>
#include <vector>

namespace {

const std::string header =
    "{\"trace\":\"kxpdm-clone-trace\",\"format\":2,\"library\":\"l\",\"platform\":\"linux\",\"code_page\":\"UTF-8\","
    "\"time\":\"t\",\"session_class\":2,\"state\":{\"exception_list\":null,\"import_attr_map\":{\"loaded\":false,"
    "\"path\":null,\"entries\":[]},\"family_instance_check\":false,\"import_item_list\":null}}\n";

// Walks a value to its leaves.
void walk(const clonesim::trace_value& value)
{
    KX_FUZZ_CHECK(kx::trace::is_valid_utf8(value.name()));
    if (value.is_string()) KX_FUZZ_CHECK(kx::trace::is_valid_utf8(value.string()));
    if (value.is_bytes()) (void)value.text();  // its characters decoded back to bytes
    value.each_member([](const clonesim::trace_value& member) { walk(member); });
}

// The file is there and readable, so every refusal names its line.
void check_refusal(const clonesim::trace_error& e)
{
    KX_FUZZ_CHECK(std::string_view(e.what()).find(": line ") != std::string_view::npos);
}

struct reading {
    bool refused = false;
    std::vector<std::string> kinds;
    std::size_t event_count = 0;
    bool partial = false;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0) return 0;
    static const kxfuzz::scratch_file file;
    const std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
    const std::string content = (data[0] & 1) ? std::string(rest) : header + std::string(rest);
    file.write(reinterpret_cast<const std::uint8_t*>(content.data()), content.size());

    reading streamed;
    try {
        const clonesim::trace t = clonesim::stream_trace(
            file.path(), [&](const clonesim::trace&) { streamed.kinds.clear(); },
            [&](const clonesim::trace_event& e) {
                walk(e.data);
                streamed.kinds.emplace_back(e.kind);
            });
        streamed.event_count = t.event_count;
        streamed.partial = t.partial.has_value();
    } catch (const clonesim::trace_error& e) {
        check_refusal(e);
        streamed.refused = true;
    }

    reading kept;
    try {
        const clonesim::trace t = clonesim::read_trace(file.path());
        for (const clonesim::trace_event& e : t.events) kept.kinds.emplace_back(e.kind);
        kept.event_count = t.event_count;
        kept.partial = t.partial.has_value();
    } catch (const clonesim::trace_error& e) {
        check_refusal(e);
        kept.refused = true;
    }
    // A refused trace has streamed its lines up to the refused one.
    KX_FUZZ_CHECK(streamed.refused == kept.refused);
    if (kept.refused) return 0;
    KX_FUZZ_CHECK(streamed.partial == kept.partial);
    KX_FUZZ_CHECK(streamed.event_count == kept.event_count);
    KX_FUZZ_CHECK(streamed.kinds == kept.kinds);
    return 0;
}
