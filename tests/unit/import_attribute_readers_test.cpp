// The readers of a part's clone attributes: the eight import attributes, the
// relation, the related part name and the context codes.
#include "import/attribute_readers.h"
#include "session/session_state.h"
#include "test_support.h"

#include <optional>
#include <string>
#include <vector>

namespace {

using kxtest::library_test;

constexpr const char* part_spec = "/in/4711.prt";

class attribute_readers : public library_test {
protected:
    sim::clone_part& add_part(std::vector<sim::attribute> attributes)
    {
        sim::clone_part part;
        part.name = part_spec;
        part.attributes = std::move(attributes);
        host().parts.push_back(part);
        return host().parts.back();
    }

    std::optional<std::string> relation()
    {
        kx::host_text text;
        EXPECT_EQ(kx::read_part_relation(part_spec, text), 0);
        if (!text) return std::nullopt;
        EXPECT_STRNE(text.get(), "") << "an empty relation must read as absent";
        return std::string(text.get());
    }

    std::optional<std::string> related_name()
    {
        kx::host_text text;
        EXPECT_EQ(kx::build_related_part_name(part_spec, text), 0);
        if (!text) return std::nullopt;
        return std::string(text.get());
    }
};

std::optional<std::string> field(const kx::host_text& text)
{
    return text ? std::optional<std::string>(text.get()) : std::nullopt;
}

TEST_F(attribute_readers, import_attributes_take_exact_titles_later_duplicates_and_skip_empty_values)
{
    add_part({
        {"DB_PART_NO", "first"},
        {"DB_PART_NO", "4711"},  // later wins
        {"DB_PART_REV", "B"},
        {"DB_PART_REV", ""},     // a later empty value makes the field absent
        {"DB_PART_TYPE", "Part"},
        {"DB_PART_NAME", "Bracket"},
        {"DB_PART_DESC", "Bracket, steel"},
        {"TOOL_ID", "T1"},
        {"TOOL_LEVEL", "L2"},
        {"CONTEXT", "CTX"},
        {"db_part_name", "lower case is another title"},
        {"DB_PART_NAME ", "trailing blank is another title"},
        {"OTHER", "ignored"},
    });
    kx::host_object<kx::import_attributes> attributes;
    ASSERT_EQ(kx::read_import_attributes(part_spec, attributes), 0);
    ASSERT_TRUE(attributes);
    EXPECT_EQ(field(attributes->part_no), "4711");
    EXPECT_EQ(field(attributes->part_rev), std::nullopt);
    EXPECT_EQ(field(attributes->part_type), "Part");
    EXPECT_EQ(field(attributes->part_name), "Bracket");
    EXPECT_EQ(field(attributes->part_desc), "Bracket, steel");
    EXPECT_EQ(field(attributes->tool_id), "T1");
    EXPECT_EQ(field(attributes->tool_level), "L2");
    EXPECT_EQ(field(attributes->context), "CTX");
    attributes.reset();
    expect_no_leaks();
}

TEST_F(attribute_readers, a_part_without_attributes_gives_nothing_anywhere)
{
    add_part({});
    kx::host_object<kx::import_attributes> attributes;
    ASSERT_EQ(kx::read_import_attributes(part_spec, attributes), 0);
    ASSERT_TRUE(attributes);
    for (const kx::host_text* f : {&attributes->part_no, &attributes->part_rev, &attributes->part_type,
                                   &attributes->part_name, &attributes->part_desc, &attributes->tool_id,
                                   &attributes->tool_level, &attributes->context})
        EXPECT_FALSE(*f);
    EXPECT_EQ(relation(), std::nullopt);
    EXPECT_EQ(related_name(), std::nullopt);
}

TEST_F(attribute_readers, host_failures_return_the_host_status_and_keep_the_record)
{
    add_part({{"DB_PART_NO", "4711"}, {"RELATION", "altrep"}});
    host().faults = {{"HOST_CLONE_ask_attribute_values", 1, true, 77}};

    kx::host_object<kx::import_attributes> attributes;
    EXPECT_EQ(kx::read_import_attributes(part_spec, attributes), 77);
    ASSERT_TRUE(attributes) << "the record is handed over before the host is asked";
    EXPECT_FALSE(attributes->part_no);

    kx::host_text text;
    EXPECT_EQ(kx::read_part_relation(part_spec, text), 77);
    EXPECT_FALSE(text);
    EXPECT_EQ(kx::build_related_part_name(part_spec, text), 77);
    EXPECT_FALSE(text);
}

// Every allocation of the import-attribute reader can fail; nothing leaks.
TEST_F(attribute_readers, allocation_failures_are_returned_and_release_everything)
{
    add_part({{"DB_PART_NO", "4711"}, {"DB_PART_REV", "A"}, {"CONTEXT", "C"}});
    bool completed = false;
    for (int n = 1; n <= 8 && !completed; ++n) {
        SCOPED_TRACE(n);
        host().faults = {{"HOST_allocate_memory", n, false, 55}};
        kx::host_object<kx::import_attributes> attributes;
        const int status = kx::read_import_attributes(part_spec, attributes);
        completed = status == 0;
        if (!completed) {
            EXPECT_EQ(status, 55);
        }
        attributes.reset();
        expect_no_leaks();
        host().call_counts.clear();
    }
    EXPECT_TRUE(completed);
}

TEST_F(attribute_readers, relation_rules)
{
    struct row {
        const char* what;
        std::vector<sim::attribute> attributes;
        std::optional<std::string> expected;
    };
    const row rows[] = {
        {"first RELATION wins", {{"RELATION", "scenario"}, {"RELATION", "altrep"}}, "scenario"},
        {"empty RELATION falls to F_CLASS", {{"RELATION", ""}, {"F_CLASS", "DWGFMT"}}, "manifestation"},
        {"empty first RELATION ends the search", {{"RELATION", ""}, {"RELATION", "altrep"}}, std::nullopt},
        {"LYTFMT", {{"F_CLASS", "LYTFMT"}}, "manifestation"},
        {"RELATION beats F_CLASS", {{"F_CLASS", "DWGFMT"}, {"RELATION", "altrep"}}, "altrep"},
        {"F_CLASS is case-sensitive", {{"F_CLASS", "dwgfmt"}}, std::nullopt},
        {"other F_CLASS", {{"F_CLASS", "SOLID"}}, std::nullopt},
        {"first F_CLASS decides", {{"F_CLASS", "SOLID"}, {"F_CLASS", "DWGFMT"}}, std::nullopt},
        {"title is case-sensitive", {{"relation", "altrep"}}, std::nullopt},
        {"none", {{"CONTEXT", "DRW"}}, std::nullopt},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        host().parts.clear();
        add_part(r.attributes);
        EXPECT_EQ(relation(), r.expected);
    }
    expect_no_leaks();
}

TEST_F(attribute_readers, related_part_name_table)
{
    struct row {
        const char* relation;
        const char* context;
        const char* expected;
    };
    const row rows[] = {
        {"manifestation", "DRW", "4711.001.DRW"},
        {"altrep", "DRW", "4711.DRW"},
        {"scenario", "SIMULAT_01", "4711.001.SM01"},
        {"simulation", "BOM_SNAPSHOT-03", "4711.001.BS03"},
        {"scenario", "XYZ_01", "4711.001.XYZ_01"},
        {"scenario", "IMAGE", "4711.001.IMAGE"},
        {"manifestation", "GEO_FIN_01", "4711.001.GEO_FIN_01"},
        {"simulation", "IMAGE_07", "4711.001.IM07"},
        {"scenario", "PAD_FMT_12", "4711.001.PF12"},
        {"Scenario", "SIMULAT_01", "4711.001.SIMULAT_01"},  // relation compared exactly
    };
    for (const row& r : rows) {
        SCOPED_TRACE(std::string(r.relation) + " " + r.context);
        host().parts.clear();
        add_part({{"DB_PART_NO", "4711"}, {"DB_PART_REV", "001"}, {"CONTEXT", r.context}, {"RELATION", r.relation}});
        EXPECT_EQ(related_name(), r.expected);
    }
    expect_no_leaks();
}

TEST_F(attribute_readers, related_part_name_needs_all_four_values_and_takes_later_duplicates)
{
    const std::vector<sim::attribute> complete = {
        {"DB_PART_NO", "4711"}, {"DB_PART_REV", "001"}, {"CONTEXT", "DRW"}, {"RELATION", "manifestation"}};
    for (std::size_t missing = 0; missing < complete.size(); ++missing) {
        SCOPED_TRACE(complete[missing].first);
        std::vector<sim::attribute> without = complete;
        without.erase(without.begin() + static_cast<long>(missing));
        host().parts.clear();
        add_part(without);
        EXPECT_EQ(related_name(), std::nullopt);

        std::vector<sim::attribute> emptied = complete;
        emptied[missing].second = "";
        host().parts.clear();
        add_part(emptied);
        EXPECT_EQ(related_name(), std::nullopt);
    }

    // altrep still needs a revision even though it leaves it out.
    host().parts.clear();
    add_part({{"DB_PART_NO", "4711"}, {"CONTEXT", "DRW"}, {"RELATION", "altrep"}});
    EXPECT_EQ(related_name(), std::nullopt);

    // A relation from F_CLASS alone builds no name.
    host().parts.clear();
    add_part({{"DB_PART_NO", "4711"}, {"DB_PART_REV", "001"}, {"CONTEXT", "DRW"}, {"F_CLASS", "DWGFMT"}});
    EXPECT_EQ(relation(), "manifestation");
    EXPECT_EQ(related_name(), std::nullopt);

    host().parts.clear();
    add_part({{"DB_PART_NO", "1"},
              {"DB_PART_NO", "4711"},
              {"DB_PART_REV", "001"},
              {"CONTEXT", "DRW"},
              {"RELATION", "altrep"},
              {"RELATION", "manifestation"}});
    EXPECT_EQ(related_name(), "4711.001.DRW");

    host().parts.clear();
    add_part({{"DB_PART_NO", "4711"}, {"DB_PART_REV", "001"}, {"CONTEXT", "DRW"}, {"RELATION", "x"},
              {"DB_PART_NO", ""}});
    EXPECT_EQ(related_name(), std::nullopt) << "a later empty value makes the kept value absent";
    expect_no_leaks();
}

TEST_F(attribute_readers, context_code_table)
{
    struct row {
        const char* context;
        const char* code;
    };
    const row rows[] = {
        {"SIMULAT_01", "SM01"},   {"GEO_FIN_02", "GF02"},     {"GEO_PAD_03", "GP03"},
        {"GEO_ENV_04", "GE04"},   {"DRAWING_05", "DR05"},     {"INSPECT_06", "IN06"},
        {"PR_STAT_07", "PS07"},   {"IMAGE_08", "IM08"},       {"BOM_SNAPSHOT_09", "BS09"},
        {"NCDATA_10", "ND10"},    {"REPORT_11", "RE11"},      {"PAD_FMT_12", "PF12"},
        {"IMAGEx34", "IM34"},     // the third-last character is not looked at
        {"image_08", ""},         // case-sensitive
        {"IMAGE", ""},            // prefix "IM"
        {"SIMULATE_01", ""},      // prefix "SIMULATE" is not "SIMULAT"
        {"XYZ_01", ""},
        {"", ""},
        {"AB", ""},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.context);
        EXPECT_EQ(kx::context_code(r.context), r.code);
    }
    // A long context simply matches nothing; nothing is cut to fit.
    EXPECT_EQ(kx::context_code(std::string(40, 'S') + "_01"), "");
}

}  // namespace
