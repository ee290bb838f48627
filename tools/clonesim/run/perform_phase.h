// What the simulated host does with a translated part when the perform
// phase reaches it: an import or clone creates the item, its revision and
// the part file in the database; an export writes the part file into the
// export directory.
#pragma once

#include "server/item_store.h"
#include "server/pdm_server.h"
#include "sim_host.h"

#include <string>

namespace clonesim {

class perform_phase {
public:
    perform_phase(item_store& store, pdm_server& server) : store_(store), server_(server) {}

    void operator()(sim::clone_part& part) const;

private:
    void create_in_database(const sim::clone_part& part) const;
    void write_export_file(const sim::clone_part& part) const;

    item_store& store_;
    pdm_server& server_;
};

// The name under which the library opens a file of the export directory.
std::string export_path(const std::string& directory, const std::string& name);

// The export directory of the session: the host's default directory, else
// the current one.
std::string export_directory(const sim::host_model& h);

}  // namespace clonesim
