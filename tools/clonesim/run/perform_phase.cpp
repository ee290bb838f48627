#include "run/perform_phase.h"

#include "host/host_codes.h"
#include "run/observers.h"

#include <filesystem>

namespace clonesim {

void perform_phase::operator()(sim::clone_part& part) const
{
    set_current_part(part.name.c_str());
    sim::host_model& h = sim::host();
    if (h.dry_run || !part.new_name.has_value()) return;
    if (h.operation_class == kx::class_clone || h.operation_class == kx::class_import) create_in_database(part);
    if (h.operation_class == kx::class_export) write_export_file(part);
}

void perform_phase::create_in_database(const sim::clone_part& part) const
{
    const auto name = parse_db_name(*part.new_name);
    if (!name.has_value()) return;
    sim::host_model& h = sim::host();
    std::string type = part.item_type.value_or("");
    if (type.empty()) type = h.def_item_type.value_or("");
    if (type.empty()) type = "Part";
    std::string pdm_name = part.pdm_name.value_or("");
    if (pdm_name.empty()) pdm_name = name->item_id;
    const item_record item{name->item_id, type, pdm_name, part.pdm_desc.value_or(""), std::nullopt};
    if (store_.create_item(item)) {
        store_.journal("created", name->item_id, "", "item of type " + type);
        server_.host_item_added(item);
    }
    if (store_.create_revision(name->item_id, name->rev_id))
        store_.journal("created", name->item_id, name->rev_id, "revision");
    if (!name->relation.empty())
        store_.journal("created", name->item_id, name->rev_id, name->relation + " part " + name->related_name);
    h.part_files.try_emplace(*part.new_name);
}

void perform_phase::write_export_file(const sim::clone_part& part) const
{
    sim::host_model& h = sim::host();
    const std::string directory = export_directory(h);
    server_.note_exported(part.name, *part.new_name);
    const auto name = parse_db_name(part.name);
    if (name.has_value() && (name->relation == "scenario" || name->relation == "simulation")) {
        // Scenario and simulation parts go into a folder named after the
        // owner, beside the owner's master part file.
        if (const auto owner = server_.owner_name(name->item_id)) {
            h.part_files.try_emplace(export_path(export_path(directory, *owner), *part.new_name));
            h.part_files.try_emplace(export_path(directory, *owner + ".prt"));
            return;
        }
    }
    h.part_files.try_emplace(export_path(directory, *part.new_name));
}

std::string export_path(const std::string& directory, const std::string& name) { return directory + "/" + name; }

std::string export_directory(const sim::host_model& h)
{
    if (h.def_directory.has_value() && !h.def_directory->empty()) return *h.def_directory;
    return std::filesystem::current_path().string();
}

}  // namespace clonesim
