// A program built against an installed copy of the library that uses only
// QelAccess symbols, so that it starts only if libQelAccess finds
// libQelAccessUtility by itself.
#include <QelAccess/QelAccess.h>

#include <iostream>

int main() {
    const std::string version = qel::QelAccessVersion::getVersion();
    std::cout << version << '\n';
    return version == "R3.5.3" ? 0 : 1;
}
