// qel-devserver: the reference server as a program. Prints one ready line
// of JSON on stdout when it serves, and stops cleanly on SIGINT or SIGTERM.

#include <qeldev/DevServer.h>

#include <csignal>
#include <cstdlib>
#include <iostream>
#include <string>

namespace {

void usage(std::ostream& out) {
    out << "usage: qel-devserver [--data FILE] [--port N] [--unregistered NAME]... [--own-origin NAME]...\n"
           "                     [--print-example-data]\n"
           "  --data FILE             serve the data of FILE (see README.md) instead of the example data\n"
           "  --port N                port of the first origin; 0 picks a free port (default)\n"
           "  --unregistered NAME     serve the service NAME but leave it out of the registry until registered\n"
           "  --own-origin NAME       serve the service NAME on an origin of its own (named NAME, free port)\n"
           "  --print-example-data    print the built-in example data and exit\n";
}

bool parsePort(const std::string& text, uint16_t& port) {
    if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    const unsigned long value = std::stoul(text);
    if (value > 65535) return false;
    port = static_cast<uint16_t>(value);
    return true;
}

/// Blocks SIGINT and SIGTERM in this thread and every thread started later,
/// so that only the sigwait below receives them.
sigset_t blockTerminationSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    return signals;
}

}  // namespace

int main(int argc, char** argv) {
    qeldev::DevServerOptions options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--data" && i + 1 < argc) {
            options.dataFile = argv[++i];
        } else if (arg == "--port" && i + 1 < argc && parsePort(argv[i + 1], options.port)) {
            ++i;
        } else if (arg == "--own-origin" && i + 1 < argc) {
            options.ownOrigin.push_back(argv[++i]);
        } else if (arg == "--unregistered" && i + 1 < argc) {
            options.unregistered.push_back(argv[++i]);
        } else if (arg == "--print-example-data") {
            std::cout << qeldev::DevServer::exampleData()->toString() << std::endl;
            return EXIT_SUCCESS;
        } else if (arg == "--help" || arg == "-h") {
            usage(std::cout);
            return EXIT_SUCCESS;
        } else {
            usage(std::cerr);
            return 2;
        }
    }
    const sigset_t signals = blockTerminationSignals();
    try {
        qeldev::DevServer server(options);
        server.start();
        std::cout << server.readyLine() << std::endl;
        int received = 0;
        sigwait(&signals, &received);
        server.stop();
    } catch (const std::exception& e) {
        std::cerr << "qel-devserver: " << e.what() << std::endl;
        return EXIT_FAILURE;
    }
    return EXIT_SUCCESS;
}
