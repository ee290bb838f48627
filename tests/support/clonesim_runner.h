// Runs the clonesim executable as a child process, as a site administrator
// would, for the end-to-end tests.
#pragma once

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace kxtest {

namespace fs = std::filesystem;

inline std::string read_file(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

inline void write_file(const fs::path& path, const std::string& content)
{
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary);
    out << content;
}

// A directory of its own for each test, removed afterwards.
class scratch {
public:
    explicit scratch(const std::string& prefix = "clonesim-e2e")
    {
        std::string pattern = (fs::path(::testing::TempDir()) / (prefix + "-XXXXXX")).string();
        if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~scratch()
    {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    scratch(const scratch&) = delete;
    scratch& operator=(const scratch&) = delete;
    const fs::path& path() const { return path_; }
    fs::path operator/(const std::string& name) const { return path_ / name; }

private:
    fs::path path_;
};

struct run_result {
    bool exited = false;  // false: ended by a signal
    int exit_status = -1;
    std::string out;
    std::string err;
};

// Runs clonesim with `args`; its temporary files go below `tmp`. `env` is
// set in the child only.
inline run_result run_clonesim(const std::vector<std::string>& args, const fs::path& tmp,
                               const std::map<std::string, std::string>& env = {})
{
    const fs::path out_file = tmp / "stdout.txt";
    const fs::path err_file = tmp / "stderr.txt";
    const pid_t pid = fork();
    if (pid == 0) {
        std::FILE* out = std::freopen(out_file.c_str(), "w", stdout);
        std::FILE* err = std::freopen(err_file.c_str(), "w", stderr);
        if (out == nullptr || err == nullptr) _exit(127);
        setenv("TMPDIR", tmp.c_str(), 1);
        for (const auto& [name, value] : env) setenv(name.c_str(), value.c_str(), 1);
        std::vector<std::string> copies = args;
        std::string program = KX_CLONESIM_PATH;
        std::vector<char*> argv{program.data()};
        for (std::string& a : copies) argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    run_result r;
    r.exited = WIFEXITED(status);
    r.exit_status = r.exited ? WEXITSTATUS(status) : -1;
    r.out = read_file(out_file);
    r.err = read_file(err_file);
    fs::remove(out_file);
    fs::remove(err_file);
    return r;
}

// The page's data, parsed as the page's script parses it: its long lists of
// records come as tables of keys and rows.
inline nlohmann::json page_data(const std::string& page)
{
    const std::string open = "<script type=\"application/json\" id=\"session-data\">";
    const std::size_t start = page.find(open);
    if (start == std::string::npos) return nullptr;
    const std::size_t end = page.find("</script>", start);
    auto data = nlohmann::json::parse(page.substr(start + open.size(), end - start - open.size()));
    for (const char* list : {"parts", "requests", "texts", "changes", "item_changes", "findings"}) {
        nlohmann::json records = nlohmann::json::array();
        for (const auto& row : data[list]["rows"]) {
            nlohmann::json record;
            for (std::size_t i = 0; i < row.size(); ++i) record[data[list]["keys"][i].get<std::string>()] = row[i];
            records.push_back(record);
        }
        data[list] = records;
    }
    return data;
}

}  // namespace kxtest
