#pragma once

#include <string>

namespace qel {

class QelAccessVersion {
public:
    /// The library version, "R" followed by the release number. Built once,
    /// on the first call (safe against concurrent first calls), and kept for
    /// the life of the process.
    static const std::string& getVersion();
};

}  // namespace qel
