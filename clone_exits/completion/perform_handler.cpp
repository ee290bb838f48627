// Placeholder until the perform handler lands.
#include "session/callbacks.h"
namespace kx {
int handle_perform_notification(int, const char*, void*) { return 0; }
}  // namespace kx
