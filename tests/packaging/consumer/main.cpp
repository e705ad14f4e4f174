// A program built against an installed copy of the libraries.
#include <QelAccess/QelAccess.h>
#include <QelAccessUtility/QelAccessUtility.h>

#include <iostream>
#include <sstream>

int main() {
    auto object = qelutil::JsonFactory::createJsonObject();
    object->setString("version", qel::QelAccessVersion::getVersion());
    std::ostringstream text;
    object->writeTo(text);
    std::cout << text.str() << '\n';
    return text.str() == "{\"version\":\"R3.5.3\"}" ? 0 : 1;
}
