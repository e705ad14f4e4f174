// qel: a command-line client of QEL services, built on libQelAccess.

#include "CliOptions.h"
#include "CommandLine.h"
#include "Commands.h"
#include "Logging.h"
#include "QelClient.h"

#include <iostream>

int main(int argc, char** argv) {
    qelcli::Options options;
    if (const auto status = qelcli::parseCommandLine(argc, argv, options)) return *status;
    qelcli::configureLogging(options.logLevel);
    try {
        qelcli::QelClient client(options);
        qelcli::runCommand(options, client, std::cin, std::cout);
        std::cout.flush();
        return qelcli::EXIT_SUCCESS_STATUS;
    } catch (const qelcli::CliError& e) {
        std::cerr << "qel: " << e.what() << std::endl;
        return e.status();
    } catch (const std::exception& e) {
        std::cerr << "qel: " << e.what() << std::endl;
        return qelcli::EXIT_TRANSPORT;
    }
}
