#include "nerido/nerido.hpp"

// The build passes the project's version (one place: the top CMakeLists.txt,
// which the Python build reads too).
#if !defined(NERIDO_VERSION_MAJOR) || !defined(NERIDO_VERSION_MINOR) || \
    !defined(NERIDO_VERSION_PATCH)
#error "NERIDO_VERSION_MAJOR, _MINOR and _PATCH must be defined by the build"
#endif

#define NERIDO_STRINGIFY_(x) #x
#define NERIDO_STRINGIFY(x) NERIDO_STRINGIFY_(x)

namespace nerido {

const Version version{NERIDO_VERSION_MAJOR, NERIDO_VERSION_MINOR, NERIDO_VERSION_PATCH,
                      NERIDO_STRINGIFY(NERIDO_VERSION_MAJOR) "." NERIDO_STRINGIFY(
                          NERIDO_VERSION_MINOR) "." NERIDO_STRINGIFY(NERIDO_VERSION_PATCH)};

}  // namespace nerido
