// clonesim's forwarding program, for Windows: a copy of it stands in for the
// interpreter of the site's item ID check, and the file beside it
// (NAME.forward) tells it what to run: the target, "drop" to leave out its
// own first argument, a prefix to swap in its own arguments and what for,
// then the arguments to put before its own.
#include "stand_in.h"

int main()
{
    const std::vector<std::string> argv = stand_in::arguments();
    const std::vector<std::string> how = stand_in::fields(stand_in::read_file(stand_in::own_path() + ".forward"));
    if (how.size() < 4) return 2;
    // Its own arguments go on in the form the library wrote them (quotes
    // and all), but for those whose folder is swapped back.
    const std::wstring own_line = GetCommandLineW();
    const std::vector<std::size_t> starts = stand_in::argument_starts(own_line);
    if (starts.size() != argv.size()) return 2;
    std::wstring line = stand_in::quoted(stand_in::wide(how[0]));
    for (auto at = how.begin() + 4; at != how.end(); ++at) line += L" " + stand_in::quoted(stand_in::wide(*at));
    const std::string& from = how[2];
    for (std::size_t i = how[1] == "drop" ? 2 : 1; i < argv.size(); ++i) {
        const std::string& argument = argv[i];
        if (!from.empty() && argument.compare(0, from.size(), from) == 0)
            line += L" " + stand_in::quoted(stand_in::wide(how[3] + argument.substr(from.size())));
        else
            line += L" " + stand_in::raw_argument(own_line, starts, i);
    }
    std::string why;
    const auto code = stand_in::run_line(line, how[0], nullptr, why);
    if (!code.has_value()) {
        WriteFile(GetStdHandle(STD_ERROR_HANDLE), why.data(), static_cast<DWORD>(why.size()), nullptr, nullptr);
        return 9009;
    }
    return static_cast<int>(*code);
}
