// Capturing the library's standard output: the lines the library prints and
// those of the site programs it runs go to file descriptor 1, which the run
// sends into a temporary file for the length of the session.
#pragma once

#include <cstdio>
#include <string>

namespace clonesim {

// Sends file descriptor 1 into a temporary file for as long as it lives.
// Throws run_error when it cannot.
class stdout_capture {
public:
    stdout_capture();
    ~stdout_capture();
    stdout_capture(const stdout_capture&) = delete;
    stdout_capture& operator=(const stdout_capture&) = delete;

    // Puts standard output back and hands over what was written.
    std::string finish();

private:
    void restore();
    std::FILE* file_ = nullptr;
    int saved_ = -1;
};

}  // namespace clonesim
