// Apart from the other samples so that only tests that use it need the
// cleaner's marker at link time.
#include "clean/registry_cleanup.h"
#include "tests/support/samples.h"

namespace purgato {

std::string autoexecWithMarker(const std::string& body) { return body + kAutoexecMarker + "\r\n"; }

}  // namespace purgato
