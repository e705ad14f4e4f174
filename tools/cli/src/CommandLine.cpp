#include "CommandLine.h"

#include <CLI/CLI.hpp>

namespace qelcli {

namespace {

const char* const FOOTER = R"(Where the services are:
  --base URI [--base-path P]   one server; every service lives under P (default:
                               the path of URI, else "/")
  --registry URI               ask the service registry at URI where each service runs

Exit status: 0 success, 1 error status from the server, 2 usage error,
3 transport failure (connection refused or lost, time-out, malformed reply).

Examples:
  qel --registry http://127.0.0.1:8080/ services
  qel --registry http://127.0.0.1:8080/ read media/tracks --limit 5 --offset 10
  qel --base http://127.0.0.1:8080/api/ get media/tracks/t1
  qel --base http://127.0.0.1:8080/api/ create media/tracks '{"id":"t99","name":"New"}'
  qel --base http://127.0.0.1:8080/api/ watch media/tracks/t1 --count 3)";

const char* const SUBCOMMAND_FOOTER =
    "Where the services are (--base or --registry) and the options --compact, --log-level\n"
    "and --timeout: see qel --help.";

CLI::App* addTargetCommand(CLI::App& app, Options& options, const std::string& name, const std::string& description,
                           const std::string& targetName, const std::string& targetHelp) {
    CLI::App* command = app.add_subcommand(name, description);
    command->footer(SUBCOMMAND_FOOTER);
    command->add_option(targetName, options.target, targetHelp)->required();
    command->callback([&options, name] { options.command = name; });
    return command;
}

void addBody(CLI::App& command, Options& options) {
    command.add_option("JSON", options.body, "the element as a JSON object, or - to read it from stdin")->required();
}

void addReadShaping(CLI::App& command, QueryArguments& query) {
    command.add_option("--limit", query.limit, "at most N elements")->check(CLI::NonNegativeNumber);
    command.add_option("--offset", query.offset, "start at element number N, or at the element with id N");
    command.add_option("--filter", query.filters,
                       "only elements whose property NAME equals VALUE (NAME=VALUE; repeatable;\n"
                       "a comma list VALUE1,VALUE2 matches any of them)");
    command.add_option("--sort", query.sort, "sort by these properties, -NAME for descending")->delimiter(',');
}

void addFields(CLI::App& command, QueryArguments& query) {
    command.add_option("--fields", query.fields, "return only these properties (plus id, name, uri)")->delimiter(',');
    command.add_option("--expand", query.expand, "expand these linked properties: NAME,...[,LEVEL 0-3]");
}

void buildCommands(CLI::App& app, Options& options) {
    CLI::App* services = app.add_subcommand("services", "list the services (the registry's or the server's root)");
    services->footer(SUBCOMMAND_FOOTER);
    services->callback([&options] { options.command = "services"; });

    addTargetCommand(app, options, "resolve", "ask the registry where a service runs", "SERVICE", "the service name");

    CLI::App* read =
        addTargetCommand(app, options, "read", "list the resources of a service or the elements of a resource",
                         "SERVICE[/RESOURCE]", "what to list");
    addReadShaping(*read, options.query);
    addFields(*read, options.query);

    CLI::App* get = addTargetCommand(app, options, "get", "show one element", "SERVICE/RESOURCE/ID", "the element");
    addFields(*get, options.query);

    CLI::App* create =
        addTargetCommand(app, options, "create", "create an element in a resource", "SERVICE/RESOURCE", "the resource");
    addBody(*create, options);

    CLI::App* update = addTargetCommand(app, options, "update", "merge properties into an element",
                                        "SERVICE/RESOURCE/ID", "the element");
    addBody(*update, options);

    addTargetCommand(app, options, "delete", "delete an element", "SERVICE/RESOURCE/ID", "the element");

    CLI::App* watch = addTargetCommand(app, options, "watch",
                                       "subscribe over WebSocket and print every update of an element or resource",
                                       "SERVICE/RESOURCE[/ID]", "what to watch");
    watch->add_option("--count", options.watchCount, "stop after N updates (the first is the current state)");
    watch->add_option("--for", options.watchSeconds, "stop after S seconds")->check(CLI::NonNegativeNumber);
    watch->add_option("--where", options.where,
                      "with --registry: keep watching every element with NAME=VALUE (a comma list allows several)")
        ->type_name("NAME=VALUE");
    addReadShaping(*watch, options.query);
}

}  // namespace

std::optional<int> parseCommandLine(int argc, char** argv, Options& options) {
    CLI::App app("qel: read and change the elements of QEL services from the command line", "qel");
    app.footer(FOOTER);
    app.fallthrough();
    app.require_subcommand(1);

    CLI::Option* base =
        app.add_option("--base", options.base, "base URI of the server, e.g. http://127.0.0.1:8080/api/");
    app.add_option("--base-path", options.basePath, "base path of the services on that server")->needs(base);
    app.add_option("--registry", options.registry, "URI of the service registry, e.g. http://127.0.0.1:8080/")
        ->excludes(base);
    app.add_flag("--compact", options.compact, "print JSON on one line");
    app.add_option("--log-level", options.logLevel, "library log lines on stderr from this level on (default warning)")
        ->check(CLI::IsMember({"trace", "debug", "info", "warning", "error", "off"}));
    app.add_option("--timeout", options.timeoutSeconds, "connect, receive and whole-reply time-out in seconds (default 10)")
        ->check(CLI::Range(1, 3600));
    buildCommands(app, options);

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return EXIT_USAGE;
    }
    return std::nullopt;
}

}  // namespace qelcli
