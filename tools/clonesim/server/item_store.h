// The simulated PDM server's database: items, revisions, the native file
// names the server was told, design logs and a journal of what the server did
// (announced contexts, back-fills, publishing). SQLite, in memory by default or
// in a file that keeps it between runs.
#pragma once

#include "scenario/scenario.h"

#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

struct sqlite3;

namespace clonesim {

class item_store_statements;

class store_error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct item_record {
    std::string item_id;
    std::string item_type;
    std::string name;
    std::string description;
    std::optional<std::string> owner;
};

struct revision_record {
    std::string item_id;
    std::string rev_id;
    std::optional<std::string> release_status;
    std::optional<std::string> released_date;
    std::optional<std::string> context;
};

struct journal_entry {
    long long seq = 0;
    std::string kind;  // "created", "announced", "named", "native file", "back-filled", "published"
    std::string item_id;
    std::string rev_id;
    std::string detail;
};

class item_store {
public:
    // ":memory:" or a file name; throws store_error.
    explicit item_store(const std::string& path);
    ~item_store();
    item_store(const item_store&) = delete;
    item_store& operator=(const item_store&) = delete;

    // Puts the scenario's items in, replacing what the store held for them.
    void seed(const std::vector<item_seed>& items);

    std::vector<item_record> items() const;  // in the order they were first stored
    std::optional<item_record> item(const std::string& item_id) const;
    std::optional<revision_record> revision(const std::string& item_id, const std::string& rev_id) const;
    // Whether any revision of the item carries a release status.
    bool has_released_revision(const std::string& item_id) const;
    // The revisions of the item that carry a release status, in their order.
    std::vector<revision_record> released_revisions(const std::string& item_id) const;
    std::vector<text_pair> design_log(const std::string& item_id, const std::string& rev_id) const;
    std::optional<std::string> native_file(const std::string& item_id, const std::string& rev_id,
                                           const std::string& related_name) const;

    // Each returns true when it created something new.
    bool create_item(const item_record& item);
    bool create_revision(const std::string& item_id, const std::string& rev_id);
    void set_name_description(const std::string& item_id, const std::string& name, const std::string& description);
    void set_native_file(const std::string& item_id, const std::string& rev_id, const std::string& related_name,
                         const std::string& file);

    void journal(const std::string& kind, const std::string& item_id, const std::string& rev_id,
                 const std::string& detail);
    long long last_journal_seq() const;
    std::vector<journal_entry> journal_since(long long seq) const;

    // The host's numbering carries on where the last run stopped.
    std::optional<int> next_item_number() const;
    void set_next_item_number(int number);

private:
    sqlite3* db_ = nullptr;
    std::unique_ptr<item_store_statements> statements_;
};

}  // namespace clonesim
