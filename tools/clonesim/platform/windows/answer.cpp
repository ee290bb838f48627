// Stands in for the site's programs when a session is played as recorded,
// for Windows: `clonesim-answer LOG LABEL =PROGRAM-TEXT ARGUMENTS...` (the
// program text's bytes in hexadecimal after "=", so that no quote of its
// own is lost on the way through cmd) looks
// the program text and the arguments (one a line, "\" made "/") up in
// LOG.answers and exits with the code recorded there, 127 for none, logging
// the run as the wrapper does.
#include "stand_in.h"

#include <algorithm>

namespace {

std::string from_hex(const std::string& text)
{
    std::string out;
    for (std::size_t i = 1; i + 1 < text.size(); i += 2) out += static_cast<char>(std::stoi(text.substr(i, 2), nullptr, 16));
    return out;
}

}  // namespace

int main()
{
    std::vector<std::string> argv = stand_in::arguments();
    if (argv.size() < 4 || argv[3].empty() || argv[3][0] != '=') return 2;
    argv[3] = from_hex(argv[3]);
    std::string key = argv[3];
    for (std::size_t i = 4; i < argv.size(); ++i) key += "\n" + argv[i];
    std::replace(key.begin(), key.end(), '\\', '/');
    long status = 127;
    const std::vector<std::string> table = stand_in::fields(stand_in::read_file(argv[1] + ".answers"));
    for (std::size_t i = 0; i + 1 < table.size(); i += 2)
        if (table[i] == key) {
            status = std::stol(table[i + 1]);
            break;
        }
    std::vector<std::string> run;
    if (!argv[3].empty()) run.push_back(argv[3]);
    run.insert(run.end(), argv.begin() + 4, argv.end());
    stand_in::append_record(argv[1], argv[2], status, run, "");
    return static_cast<int>(status);
}
