#include <QelAccess/QelAccessVersion.h>

namespace qel {
namespace detail {
extern const char* const kQelAccessVersionText;
}

const std::string& QelAccessVersion::getVersion() {
    // A function-local static is initialised exactly once, even when the
    // first calls race.
    static const std::string version(detail::kQelAccessVersionText);
    return version;
}

}  // namespace qel
