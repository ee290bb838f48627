#include "server/item_store.h"

#include <sqlite3.h>

#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace clonesim {

namespace {

constexpr const char* schema = R"sql(
CREATE TABLE IF NOT EXISTS items(
  item_id TEXT PRIMARY KEY,
  item_type TEXT NOT NULL,
  name TEXT NOT NULL DEFAULT '',
  description TEXT NOT NULL DEFAULT '',
  owner TEXT);
CREATE TABLE IF NOT EXISTS revisions(
  item_id TEXT NOT NULL REFERENCES items(item_id),
  rev_id TEXT NOT NULL,
  release_status TEXT,
  released_date TEXT,
  context TEXT,
  PRIMARY KEY(item_id, rev_id));
CREATE TABLE IF NOT EXISTS design_log(
  item_id TEXT NOT NULL,
  rev_id TEXT NOT NULL,
  line INTEGER NOT NULL,
  key TEXT NOT NULL,
  value TEXT NOT NULL,
  PRIMARY KEY(item_id, rev_id, line));
CREATE TABLE IF NOT EXISTS native_files(
  item_id TEXT NOT NULL,
  rev_id TEXT NOT NULL,
  related_name TEXT NOT NULL DEFAULT '',
  native_file TEXT NOT NULL,
  PRIMARY KEY(item_id, rev_id, related_name));
CREATE TABLE IF NOT EXISTS journal(
  seq INTEGER PRIMARY KEY AUTOINCREMENT,
  kind TEXT NOT NULL,
  item_id TEXT NOT NULL,
  rev_id TEXT NOT NULL,
  detail TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS settings(
  key TEXT PRIMARY KEY,
  value TEXT NOT NULL);
)sql";

}  // namespace

// The store's prepared statements, kept for the life of the connection:
// a session asks the same few questions once or more per part, and
// preparing one costs more than running it. A statement still in use when
// its text is asked again (one query inside another's rows) is prepared
// anew and kept too.
class item_store_statements {
public:
    explicit item_store_statements(sqlite3* db) : db_(db) {}
    ~item_store_statements()
    {
        for (auto& [sql, idle] : idle_)
            for (sqlite3_stmt* stmt : idle) sqlite3_finalize(stmt);
    }
    item_store_statements(const item_store_statements&) = delete;
    item_store_statements& operator=(const item_store_statements&) = delete;

    sqlite3* db() const noexcept { return db_; }

    sqlite3_stmt* take(const char* sql)
    {
        std::vector<sqlite3_stmt*>& idle = idle_[sql];
        if (!idle.empty()) {
            sqlite3_stmt* stmt = idle.back();
            idle.pop_back();
            return stmt;
        }
        sqlite3_stmt* stmt = nullptr;
        if (sqlite3_prepare_v2(db_, sql, -1, &stmt, nullptr) != SQLITE_OK) {
            sqlite3_finalize(stmt);
            throw store_error(std::string("item store: ") + sqlite3_errmsg(db_));
        }
        return stmt;
    }

    // Ready for its next use: no row pending, no value bound.
    void give_back(const char* sql, sqlite3_stmt* stmt) noexcept
    {
        sqlite3_reset(stmt);
        sqlite3_clear_bindings(stmt);
        try {
            idle_[sql].push_back(stmt);
        } catch (...) {
            sqlite3_finalize(stmt);
        }
    }

private:
    sqlite3* db_;
    std::unordered_map<std::string, std::vector<sqlite3_stmt*>> idle_;
};

namespace {

// One prepared statement, handed back on every path.
class statement {
public:
    statement(item_store_statements& statements, const char* sql)
        : statements_(statements), sql_(sql), db_(statements.db()), stmt_(statements.take(sql))
    {
    }
    ~statement() { statements_.give_back(sql_, stmt_); }
    statement(const statement&) = delete;
    statement& operator=(const statement&) = delete;

    statement& bind(int index, const std::string& text)
    {
        sqlite3_bind_text(stmt_, index, text.c_str(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
        return *this;
    }
    statement& bind(int index, const std::optional<std::string>& text)
    {
        if (text.has_value()) return bind(index, *text);
        sqlite3_bind_null(stmt_, index);
        return *this;
    }
    statement& bind(int index, long long number)
    {
        sqlite3_bind_int64(stmt_, index, number);
        return *this;
    }

    // True while a row is there.
    bool step()
    {
        const int rc = sqlite3_step(stmt_);
        if (rc == SQLITE_ROW) return true;
        if (rc == SQLITE_DONE) return false;
        throw store_error(std::string("item store: ") + sqlite3_errmsg(db_));
    }
    void run()
    {
        while (step()) {
        }
    }

    std::string text(int column) const
    {
        const auto* value = sqlite3_column_text(stmt_, column);
        return value != nullptr ? std::string(reinterpret_cast<const char*>(value)) : std::string();
    }
    std::optional<std::string> optional_text(int column) const
    {
        if (sqlite3_column_type(stmt_, column) == SQLITE_NULL) return std::nullopt;
        return text(column);
    }
    long long number(int column) const { return sqlite3_column_int64(stmt_, column); }

private:
    item_store_statements& statements_;
    const char* sql_;
    sqlite3* db_;
    sqlite3_stmt* stmt_ = nullptr;
};

void exec(sqlite3* db, const char* sql)
{
    char* error = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &error) != SQLITE_OK) {
        std::string message = error != nullptr ? error : "unknown error";
        sqlite3_free(error);
        throw store_error("item store: " + message);
    }
}

item_record item_from(const statement& row)
{
    return item_record{row.text(0), row.text(1), row.text(2), row.text(3), row.optional_text(4)};
}

}  // namespace

item_store::item_store(const std::string& path)
{
    if (sqlite3_open(path.c_str(), &db_) != SQLITE_OK) {
        const std::string message = db_ != nullptr ? sqlite3_errmsg(db_) : "out of memory";
        sqlite3_close(db_);
        db_ = nullptr;
        throw store_error("item store " + path + ": " + message);
    }
    try {
        exec(db_, schema);
    } catch (const store_error& e) {
        sqlite3_close(db_);
        db_ = nullptr;
        throw store_error(std::string(e.what()) + " (" + path + ")");
    }
    statements_ = std::make_unique<item_store_statements>(db_);
}

item_store::~item_store()
{
    // The statements go before the connection they belong to.
    statements_.reset();
    sqlite3_close(db_);
}

void item_store::seed(const std::vector<item_seed>& items)
{
    exec(db_, "BEGIN");
    try {
        for (const item_seed& item : items) {
            statement upsert(*statements_,
                             "INSERT INTO items(item_id, item_type, name, description, owner) VALUES(?1,?2,?3,?4,?5) "
                             "ON CONFLICT(item_id) DO UPDATE SET item_type=?2, name=?3, description=?4, owner=?5");
            upsert.bind(1, item.item_id).bind(2, item.item_type).bind(3, item.name).bind(4, item.description);
            upsert.bind(5, item.owner).run();
            for (const revision_seed& rev : item.revisions) {
                statement r(*statements_,
                            "INSERT INTO revisions(item_id, rev_id, release_status, released_date, context) "
                            "VALUES(?1,?2,?3,?4,?5) ON CONFLICT(item_id, rev_id) DO UPDATE SET "
                            "release_status=?3, released_date=?4, context=?5");
                r.bind(1, item.item_id).bind(2, rev.rev_id).bind(3, rev.release_status);
                r.bind(4, rev.released_date).bind(5, rev.context).run();
                statement clear(*statements_, "DELETE FROM design_log WHERE item_id=?1 AND rev_id=?2");
                clear.bind(1, item.item_id).bind(2, rev.rev_id).run();
                for (std::size_t k = 0; k < rev.design_log.size(); ++k) {
                    statement line(*statements_, "INSERT INTO design_log(item_id, rev_id, line, key, value) VALUES(?1,?2,?3,?4,?5)");
                    line.bind(1, item.item_id).bind(2, rev.rev_id).bind(3, static_cast<long long>(k));
                    line.bind(4, rev.design_log[k].first).bind(5, rev.design_log[k].second).run();
                }
                if (rev.native_file.has_value()) set_native_file(item.item_id, rev.rev_id, "", *rev.native_file);
            }
        }
        exec(db_, "COMMIT");
    } catch (...) {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
}

std::vector<item_record> item_store::items() const
{
    statement q(*statements_, "SELECT item_id, item_type, name, description, owner FROM items ORDER BY rowid");
    std::vector<item_record> result;
    while (q.step()) result.push_back(item_from(q));
    return result;
}

std::optional<item_record> item_store::item(const std::string& item_id) const
{
    statement q(*statements_, "SELECT item_id, item_type, name, description, owner FROM items WHERE item_id=?1");
    q.bind(1, item_id);
    if (!q.step()) return std::nullopt;
    return item_from(q);
}

std::optional<revision_record> item_store::revision(const std::string& item_id, const std::string& rev_id) const
{
    statement q(*statements_,
                "SELECT release_status, released_date, context FROM revisions WHERE item_id=?1 AND rev_id=?2");
    q.bind(1, item_id).bind(2, rev_id);
    if (!q.step()) return std::nullopt;
    return revision_record{item_id, rev_id, q.optional_text(0), q.optional_text(1), q.optional_text(2)};
}

bool item_store::has_released_revision(const std::string& item_id) const
{
    statement q(*statements_,
                "SELECT 1 FROM revisions WHERE item_id=?1 AND release_status IS NOT NULL AND release_status <> ''");
    q.bind(1, item_id);
    return q.step();
}

std::vector<revision_record> item_store::released_revisions(const std::string& item_id) const
{
    statement q(*statements_, "SELECT rev_id, release_status, released_date, context FROM revisions "
                     "WHERE item_id=?1 AND release_status IS NOT NULL AND release_status <> '' ORDER BY rowid");
    q.bind(1, item_id);
    std::vector<revision_record> revisions;
    while (q.step()) revisions.push_back(revision_record{item_id, q.text(0), q.optional_text(1), q.optional_text(2), q.optional_text(3)});
    return revisions;
}

std::vector<text_pair> item_store::design_log(const std::string& item_id, const std::string& rev_id) const
{
    statement q(*statements_, "SELECT key, value FROM design_log WHERE item_id=?1 AND rev_id=?2 ORDER BY line");
    q.bind(1, item_id).bind(2, rev_id);
    std::vector<text_pair> lines;
    while (q.step()) lines.emplace_back(q.text(0), q.text(1));
    return lines;
}

std::optional<std::string> item_store::native_file(const std::string& item_id, const std::string& rev_id,
                                                   const std::string& related_name) const
{
    statement q(*statements_,
                "SELECT native_file FROM native_files WHERE item_id=?1 AND rev_id=?2 AND related_name=?3");
    q.bind(1, item_id).bind(2, rev_id).bind(3, related_name);
    if (!q.step()) return std::nullopt;
    return q.text(0);
}

bool item_store::create_item(const item_record& item)
{
    if (this->item(item.item_id).has_value()) return false;
    statement q(*statements_, "INSERT INTO items(item_id, item_type, name, description, owner) VALUES(?1,?2,?3,?4,?5)");
    q.bind(1, item.item_id).bind(2, item.item_type).bind(3, item.name).bind(4, item.description).bind(5, item.owner);
    q.run();
    return true;
}

bool item_store::create_revision(const std::string& item_id, const std::string& rev_id)
{
    if (revision(item_id, rev_id).has_value()) return false;
    statement q(*statements_, "INSERT INTO revisions(item_id, rev_id) VALUES(?1,?2)");
    q.bind(1, item_id).bind(2, rev_id).run();
    return true;
}

void item_store::set_name_description(const std::string& item_id, const std::string& name,
                                      const std::string& description)
{
    statement q(*statements_, "UPDATE items SET name=?2, description=?3 WHERE item_id=?1");
    q.bind(1, item_id).bind(2, name).bind(3, description).run();
}

void item_store::set_native_file(const std::string& item_id, const std::string& rev_id,
                                 const std::string& related_name, const std::string& file)
{
    statement q(*statements_,
                "INSERT INTO native_files(item_id, rev_id, related_name, native_file) VALUES(?1,?2,?3,?4) "
                "ON CONFLICT(item_id, rev_id, related_name) DO UPDATE SET native_file=?4");
    q.bind(1, item_id).bind(2, rev_id).bind(3, related_name).bind(4, file).run();
}

void item_store::journal(const std::string& kind, const std::string& item_id, const std::string& rev_id,
                         const std::string& detail)
{
    statement q(*statements_, "INSERT INTO journal(kind, item_id, rev_id, detail) VALUES(?1,?2,?3,?4)");
    q.bind(1, kind).bind(2, item_id).bind(3, rev_id).bind(4, detail).run();
}

long long item_store::last_journal_seq() const
{
    statement q(*statements_, "SELECT COALESCE(MAX(seq), 0) FROM journal");
    return q.step() ? q.number(0) : 0;
}

std::vector<journal_entry> item_store::journal_since(long long seq) const
{
    statement q(*statements_, "SELECT seq, kind, item_id, rev_id, detail FROM journal WHERE seq > ?1 ORDER BY seq");
    q.bind(1, seq);
    std::vector<journal_entry> entries;
    while (q.step()) entries.push_back(journal_entry{q.number(0), q.text(1), q.text(2), q.text(3), q.text(4)});
    return entries;
}

std::optional<int> item_store::next_item_number() const
{
    statement q(*statements_, "SELECT value FROM settings WHERE key='next_item_number'");
    if (!q.step()) return std::nullopt;
    try {
        return std::stoi(q.text(0));
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

void item_store::set_next_item_number(int number)
{
    statement q(*statements_,
                "INSERT INTO settings(key, value) VALUES('next_item_number', ?1) "
                "ON CONFLICT(key) DO UPDATE SET value=?1");
    q.bind(1, std::to_string(number)).run();
}

}  // namespace clonesim
