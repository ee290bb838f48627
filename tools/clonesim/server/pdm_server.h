// The simulated PDM server: the site's request handlers behind the host's
// request channel, answering every request code the library sends, over the
// item store. It also keeps the host's PDM-manager view of the items
// (sim::host().items) in step with the store.
#pragma once

#include "server/item_store.h"
#include "scenario/scenario.h"
#include "sim_host.h"

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace clonesim {

// A database part name "@DB/item/rev" or "@DB/item/rev/relation/related".
struct db_name {
    std::string item_id;
    std::string rev_id;
    std::string relation;
    std::string related_name;
};
std::optional<db_name> parse_db_name(const std::string& name);

// An export log mapping file that the server wrote for get_export_attributes.
struct mapping_file {
    std::filesystem::path path;
    std::string part_name;
    std::string content;
};

// The name of a request code ("get_exceptions" for
// kx::request_get_exceptions); "unknown" otherwise.
std::string request_name(int code);

class pdm_server {
public:
    // Mapping files are written into `mapping_directory`, which must exist.
    pdm_server(item_store& store, const scenario& scene, std::filesystem::path mapping_directory);

    sim::pdm_response handle(int code, const char* input);

    // How the server took the request it handled last: a refusal is the
    // server's own, whatever the status number says.
    enum class answer { given, refused, malformed, unanswered };
    answer last_answer() const { return last_answer_; }

    // The file name the server gives an exported part (get_export_file_name).
    std::optional<std::string> export_file_name(const db_name& name) const;
    // The host tells the server under which file name it wrote an exported
    // part, so that the export log names the file as written.
    void note_exported(const std::string& part_name, const std::string& file_name);

    // The owner name of an item (get_owner_name): its owner, else its item ID.
    std::optional<std::string> owner_name(const std::string& item_id) const;

    // Builds the host's PDM-manager view from the store once, before the
    // session; item tags stay stable because items are only ever appended.
    void sync_host_items() const;
    // Keeps the view in step, one item at a time, so that a session costs
    // the same for each part however many parts it has.
    void host_item_added(const item_record& item) const;

    const std::vector<mapping_file>& mapping_files() const { return mapping_files_; }

private:
    std::optional<sim::pdm_response> scripted(int code);
    sim::pdm_response recorded(int code, const char* input);
    sim::pdm_response refuse(std::string reply);
    sim::pdm_response reject_malformed(std::string reply);
    sim::pdm_response get_export_file_name(const std::string& input);
    sim::pdm_response get_export_attributes(const std::string& input);
    sim::pdm_response pdi_backfill(const std::string& input);
    sim::pdm_response fill_import_filename(const std::string& input);
    sim::pdm_response get_item_type(const std::string& input);
    sim::pdm_response auto_publish(const std::string& input);
    sim::pdm_response prepare_new_items(const std::string& input);
    sim::pdm_response check_revision(const std::string& input);
    sim::pdm_response get_related_name(const std::string& input);
    sim::pdm_response set_name_description(const std::string& input);
    sim::pdm_response get_owner_name(const std::string& input);
    sim::pdm_response get_exceptions();

    item_store& store_;
    const scenario& scene_;
    std::filesystem::path mapping_directory_;
    std::map<int, int> request_counts_;
    // A request by its code and input (none: no input).
    using question = std::pair<int, std::optional<std::string>>;
    struct question_hash {
        std::size_t operator()(const question& q) const noexcept
        {
            const std::size_t text = q.second.has_value() ? std::hash<std::string>{}(*q.second) : 0x9e3779b97f4a7c15u;
            return text ^ (static_cast<std::size_t>(q.first) * 0x100000001b3u);
        }
    };
    std::unordered_map<question, std::size_t, question_hash> answers_given_;
    // The recorded answers by their question, in their order: a session of
    // many parts asks thousands of questions.
    std::unordered_map<question, std::vector<const recorded_answer*>, question_hash> answers_by_question_;
    bool answers_indexed_ = false;
    std::vector<mapping_file> mapping_files_;
    std::map<std::string, std::string> exported_files_;
    answer last_answer_ = answer::given;
};

// A request text read as the server reads it: every field counts, empty
// ones too.
std::vector<std::string> fields(const std::string& text, const std::string& separator);

}  // namespace clonesim
