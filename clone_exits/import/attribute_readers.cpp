#include "import/attribute_readers.h"

#include <array>
#include <utility>

namespace kx {

namespace {

host_text* import_field(import_attributes& attributes, std::string_view title) noexcept
{
    if (title == "DB_PART_NO") return &attributes.part_no;
    if (title == "DB_PART_REV") return &attributes.part_rev;
    if (title == "DB_PART_TYPE") return &attributes.part_type;
    if (title == "DB_PART_NAME") return &attributes.part_name;
    if (title == "DB_PART_DESC") return &attributes.part_desc;
    if (title == "TOOL_ID") return &attributes.tool_id;
    if (title == "TOOL_LEVEL") return &attributes.tool_level;
    if (title == "CONTEXT") return &attributes.context;
    return nullptr;
}

// Looked up in this order; the first equal prefix wins.
constexpr std::array<std::pair<std::string_view, std::string_view>, 12> context_codes = {{
    {"SIMULAT", "SM"},
    {"GEO_FIN", "GF"},
    {"GEO_PAD", "GP"},
    {"GEO_ENV", "GE"},
    {"DRAWING", "DR"},
    {"INSPECT", "IN"},
    {"PR_STAT", "PS"},
    {"IMAGE", "IM"},
    {"BOM_SNAPSHOT", "BS"},
    {"NCDATA", "ND"},
    {"REPORT", "RE"},
    {"PAD_FMT", "PF"},
}};

}  // namespace

int read_import_attributes(const char* part_spec, host_object<import_attributes>& attributes)
{
    int status = make_host_object(attributes);
    if (status != 0) return status;

    host_attribute_list list;
    status = list.fetch(part_spec);
    if (status != 0) return status;

    for (int i = 0; i < list.count(); ++i) {
        host_text* field = import_field(*attributes, list.title(i));
        if (field == nullptr) continue;
        status = host_strdup_or_null(list.value(i), *field);
        if (status != 0) return status;
    }
    return 0;
}

int read_part_relation(const char* part_spec, host_text& relation)
{
    relation.reset();
    host_attribute_list list;
    int status = list.fetch(part_spec);
    if (status != 0) return status;

    for (int i = 0; i < list.count(); ++i) {
        if (list.title(i) != "RELATION") continue;
        status = host_strdup_or_null(list.value(i), relation);
        if (status != 0) return status;
        break;
    }
    if (relation) return 0;

    for (int i = 0; i < list.count(); ++i) {
        if (list.title(i) != "F_CLASS") continue;
        const std::string_view f_class = list.value(i);
        if (f_class == "DWGFMT" || f_class == "LYTFMT") return host_strdup("manifestation", relation);
        break;
    }
    return 0;
}

int build_related_part_name(const char* part_spec, host_text& related_name)
{
    related_name.reset();
    host_attribute_list list;
    const int status = list.fetch(part_spec);
    if (status != 0) return status;

    // Views into the list, which outlives them; empty means absent.
    std::string_view number, revision, context, relation;
    for (int i = 0; i < list.count(); ++i) {
        const std::string_view title = list.title(i);
        if (title == "DB_PART_NO")
            number = list.value(i);
        else if (title == "DB_PART_REV")
            revision = list.value(i);
        else if (title == "CONTEXT")
            context = list.value(i);
        else if (title == "RELATION")
            relation = list.value(i);
    }
    if (number.empty() || revision.empty() || context.empty() || relation.empty()) return 0;

    std::string name;
    name.reserve(number.size() + revision.size() + context.size() + 2);
    name.append(number);
    name += '.';
    if (relation != "altrep") {
        name.append(revision);
        name += '.';
    }
    std::string code;
    if ((relation == "scenario" || relation == "simulation") && context.size() > 4) code = context_code(context);
    name.append(code.empty() ? context : std::string_view(code));
    return host_strdup(name, related_name);
}

std::string context_code(std::string_view context)
{
    // Shorter contexts leave a prefix of at most one character, which no
    // entry of the table has.
    if (context.size() < 3) return {};
    const std::string_view prefix = context.substr(0, context.size() - 3);
    const std::string_view suffix = context.substr(context.size() - 2);
    for (const auto& [known, code] : context_codes) {
        if (prefix == known) return std::string(code).append(suffix);
    }
    return {};
}

int free_import_attributes(host_object<import_attributes>& attributes)
{
    attributes.reset();
    return 0;
}

}  // namespace kx
