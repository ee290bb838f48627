#include "run/stdout_capture.h"

#include "run/run_error.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace clonesim {

stdout_capture::stdout_capture()
{
    std::fflush(stdout);
    file_ = std::tmpfile();
    if (file_ == nullptr) throw run_error(std::string("cannot capture standard output: ") + std::strerror(errno));
    saved_ = dup(1);
    if (saved_ < 0 || dup2(fileno(file_), 1) < 0) {
        std::fclose(file_);
        throw run_error(std::string("cannot capture standard output: ") + std::strerror(errno));
    }
}

stdout_capture::~stdout_capture()
{
    restore();
    if (file_ != nullptr) std::fclose(file_);
}

std::string stdout_capture::finish()
{
    restore();
    std::string text;
    if (file_ == nullptr) return text;
    std::rewind(file_);
    char buffer[4096];
    std::size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, file_)) > 0) text.append(buffer, n);
    std::fclose(file_);
    file_ = nullptr;
    return text;
}

void stdout_capture::restore()
{
    if (saved_ < 0) return;
    std::fflush(stdout);
    dup2(saved_, 1);
    close(saved_);
    saved_ = -1;
}

}  // namespace clonesim
