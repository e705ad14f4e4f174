#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace qelcli {

/// Exit statuses of the program.
enum ExitStatus {
    EXIT_SUCCESS_STATUS = 0,
    /// The server answered with a status the operation does not accept.
    EXIT_SERVER_ERROR = 1,
    /// The command line or an argument is wrong; nothing was sent.
    EXIT_USAGE = 2,
    /// No usable answer: connection refused or lost, time-out, malformed reply.
    EXIT_TRANSPORT = 3
};

/// Ends the program: `what()` goes to stderr, `status()` is the exit status.
class CliError : public std::runtime_error {
public:
    CliError(ExitStatus status, const std::string& message) : std::runtime_error(message), m_status(status) {}
    ExitStatus status() const { return m_status; }

private:
    ExitStatus m_status;
};

/// Shapes of a read: query options and property filters.
struct QueryArguments {
    /// Negative when not given.
    int64_t limit = -1;
    /// A number or an element id; empty when not given.
    std::string offset;
    std::vector<std::string> fields;
    /// Names, "-" in front for descending order.
    std::vector<std::string> sort;
    /// "name=value" items; a value may be a comma list.
    std::vector<std::string> filters;
    /// Field names, optionally followed by a level 0 to 3.
    std::string expand;
};

/// Everything the command line says.
struct Options {
    std::string base;
    std::string basePath;
    std::string registry;
    bool compact = false;
    std::string logLevel = "warning";
    /// Connect and receive time-out of each request.
    int timeoutSeconds = 10;

    /// "services", "resolve", "read", "get", "create", "update", "delete" or "watch".
    std::string command;
    /// SERVICE[/RESOURCE[/ID]] or, for resolve, the service name.
    std::string target;
    /// The JSON body of create and update; "-" reads it from stdin.
    std::string body;
    QueryArguments query;
    /// watch: stop after this many updates (0: no limit) or seconds (0: no limit).
    std::size_t watchCount = 0;
    int watchSeconds = 0;
    /// watch through the registry: "name=value" items an element must match.
    std::vector<std::string> where;
};

}  // namespace qelcli
