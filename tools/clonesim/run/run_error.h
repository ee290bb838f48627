// The error of a run that cannot start.
#pragma once

#include <stdexcept>

namespace clonesim {

// The run could not start (the library cannot be loaded, the item store
// cannot be opened, ...): a usage error, not a refused session.
class run_error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

}  // namespace clonesim
