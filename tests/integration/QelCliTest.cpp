// The qel program as a user runs it: a child process against the in-process
// reference server, judged by its exit status, stdout and stderr.

#include <qeldev/DevServer.h>

#include <support/CapturingLoggerFactory.h>
#include <support/WaitFor.h>

#include <QelAccessUtility/JsonFactory.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <regex>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace {

using qelutil::JsonFactory;

struct ProgramRun {
    /// Exit status; -1 when the program did not end in time or was killed.
    int status = -1;
    std::string out;
    std::string err;
};

/// Reads both pipes until each reaches end of file or the deadline passes;
/// counts the lines of standard output into `outLines` when given.
void collect(int outFd, int errFd, ProgramRun& run, std::chrono::steady_clock::time_point deadline,
             std::atomic<int>* outLines) {
    pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
    std::string* sinks[2] = {&run.out, &run.err};
    int open = 2;
    while (open > 0 && std::chrono::steady_clock::now() < deadline) {
        if (poll(fds, 2, 100) <= 0) continue;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            char buffer[4096];
            const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                sinks[i]->append(buffer, static_cast<std::size_t>(n));
                if (i == 0 && outLines) *outLines += static_cast<int>(std::count(buffer, buffer + n, '\n'));
            } else {
                fds[i].fd = -1;
                --open;
            }
        }
    }
}

/// Runs qel with `args`, feeding `input` to its stdin.
ProgramRun runQel(const std::vector<std::string>& args, const std::string& input = {},
                  std::atomic<int>* outLines = nullptr) {
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return {};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    std::string program = QEL_CLI_PROGRAM;
    std::vector<std::string> storage(args);
    std::vector<char*> argv{program.data()};
    for (auto& arg : storage) argv.push_back(arg.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    close(err[1]);

    ProgramRun run;
    if (spawned == 0) {
        signal(SIGPIPE, SIG_IGN);
        if (!input.empty() && write(in[1], input.data(), input.size()) < 0) run.err = "stdin not written";
        close(in[1]);
        collect(out[0], err[0], run, std::chrono::steady_clock::now() + std::chrono::seconds(60), outLines);
        int status = 0;
        if (!qeltest::waitFor([&] { return waitpid(pid, &status, WNOHANG) == pid; }, std::chrono::seconds(30))) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
        } else if (WIFEXITED(status)) {
            run.status = WEXITSTATUS(status);
        }
    } else {
        close(in[1]);
    }
    close(out[0]);
    close(err[0]);
    return run;
}

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    for (std::size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(text.substr(start, end - start));
    return lines;
}

class QelCliTest : public ::testing::Test {
protected:
    QelCliTest() : server(serverOptions()) {}
    void SetUp() override {
        server.start();
        registry = server.registryBaseUri();
        media = server.service("media").baseUri();
    }

    static qeldev::DevServerOptions serverOptions() {
        qeldev::DevServerOptions options;
        options.loggerFactory = std::make_shared<qeltest::CapturingLoggerFactory>(qelutil::ILogger::ERROR);
        return options;
    }

    std::string id(std::size_t index) {
        return "\"id\": \"" + server.getElements("media", "tracks").at(index)->getString("id") + "\"";
    }

    qeldev::DevServer server;
    std::string registry;
    std::string media;
};

TEST_F(QelCliTest, CommandsPrintTheirRepliesAndExitWithTheirStatus) {
    const auto fifth = server.getElements("media", "tracks").at(5);
    std::vector<std::string> jazzOrRock;
    for (const auto& element : server.getElements("media", "tracks")) {
        const std::string genre = element->has("genre") ? element->getString("genre") : "";
        if (jazzOrRock.size() < 2 && (genre == "jazz" || genre == "rock"))
            jazzOrRock.push_back("\"id\":\"" + element->getString("id") + "\"");
    }
    server.addHttpFault({"/api/media/tracks/t1", "", 200, "{\"data\": [unterminated", {}, 0});
    server.addHttpFault({"/api/media/tracks/t2", "", 0, "", std::chrono::milliseconds(3000), 0});
    const std::size_t before = server.getElements("media", "tracks").size();
    const std::string someText = "[\\s\\S]+";
    struct Case {
        std::vector<std::string> args;
        std::string input;
        int status;
        std::vector<std::string> out;  // each occurs in stdout, in this order; a leading '!' must not occur
        std::string err;               // a pattern for all of stderr
    };
    const auto check = [&](const std::vector<Case>& cases) {
        for (const Case& c : cases) {
            const ProgramRun run = runQel(c.args, c.input);
            std::string line;
            for (const auto& arg : c.args) line += arg + " ";
            EXPECT_EQ(c.status, run.status) << line << "\n" << run.err;
            EXPECT_TRUE(std::regex_match(run.err, std::regex(c.err))) << line << "\n" << run.err;
            EXPECT_TRUE(c.status == 0 || run.out.empty()) << line << "\n" << run.out;
            std::size_t at = 0;
            for (const std::string& part : c.out) {
                if (part[0] == '!') {
                    EXPECT_EQ(std::string::npos, run.out.find(part.substr(1))) << line << "\n" << run.out;
                    continue;
                }
                at = run.out.find(part, at);
                EXPECT_NE(std::string::npos, at) << line << "\n" << part << " in\n" << run.out;
                if (at == std::string::npos) break;
            }
        }
    };
    const std::vector<Case> cases = {
        {{"--base", media, "read", "media/tracks", "--limit", "3", "--offset", "5", "--fields", "artist"}, "", 0,
         {"{\n  \"data\": [\n    {\n      " + id(5), "\"artist\": \"" + fifth->getString("artist") + "\"", id(6),
          id(7), "\"paging\": {", "\"offset\": 5", "\"limit\": 3", "\"total\": 60", "\"next\": \"", "!\"duration\""},
         ""},
        {{"--base", media, "--compact", "read", "media/tracks", "--filter", "genre=jazz,rock", "--limit", "2"}, "", 0,
         {jazzOrRock.at(0), jazzOrRock.at(1), "!\": "}, ""},
        // The path is cut before the service name; a service listed with an absolute uri keeps its origin there.
        {{"--registry", registry, "--compact", "services"}, "", 0,
         {"\"name\":\"media\"", "\"host\":\"127.0.0.1\"", "\"path\":\"/api/\"", "\"name\":\"navigation\"",
          "\"path\":\"" + server.service("navigation").baseUri() + "\"", "\"name\":\"climate\""},
         ""},
        // The choice on this host wins.
        {{"--registry", registry, "--log-level", "off", "resolve", "climate"}, "", 0,
         {"\"status\": 300", "\"chosen\": 1", "\"baseUri\": \"" + server.service("climate").baseUri() + "\""}, ""},
        // 307: the route comes from the navigation server the registry points to.
        {{"--registry", registry, "get", "navigation/routes/r1"}, "", 0,
         {"\"name\": \"" + server.getElement("navigation", "routes", "r1")->getString("name") + "\""}, ""},
        {{"--registry", registry, "read", "media"}, "", 0, {"\"name\": \"tracks\""}, ""},
        {{"--base", media, "create", "media/tracks", R"({"id":"t500","name":"From the shell","duration":99})"}, "", 0,
         {"\"uri\": \"/api/media/tracks/t500\""}, ""},
        {{"--base", media, "update", "media/tracks/t500", "-"}, R"({"rating": 3.5})", 0, {"\"rating\": 3.5"}, ""},
        {{"--base", media, "delete", "media/tracks/t500"}, "", 0, {"\"id\": \"t500\""}, ""},
        {{"get", "--help"}, "", 0, {"Usage: qel get"}, ""},
        // Error statuses of the server exit with 1; at the default level the library's own line comes first.
        {{"--base", media, "--log-level", "off", "get", "media/tracks/nope"}, "", 1, {},
         "qel: 404 Not Found: no element nope in media/tracks\n"},
        {{"--base", media, "get", "media/tracks/nope"}, "", 1, {},
         "[\\s\\S]*HTTP Response: Status HTTP_NOT_FOUND[\\s\\S]*\n"
         "qel: 404 Not Found: no element nope in media/tracks\n"},
        {{"--base", media, "--log-level", "off", "create", "media/tracks", R"({"id":"t1"})"}, "", 1, {},
         "qel: 409 Conflict[\\s\\S]*"},
        {{"--registry", registry, "--log-level", "off", "resolve", "nosuch"}, "", 1, {},
         "qel: 404 Not Found: no service nosuch in the registry\n"},
        // Usage errors exit with 2 and send nothing.
        {{}, "", 2, {}, someText},
        {{"--base", media}, "", 2, {}, someText},
        {{"read", "media/tracks"}, "", 2, {}, someText},
        {{"--base", media, "--registry", registry, "read", "media"}, "", 2, {}, someText},
        {{"--base", media, "read", "media/tracks/t1/extra"}, "", 2, {}, someText},
        {{"--base", media, "get", "media/tracks"}, "", 2, {}, someText},
        {{"--base", media, "get", "media/tracks/has space"}, "", 2, {}, someText},
        {{"--base", media, "create", "media/tracks", "{\"id\":"}, "", 2, {}, someText},
        {{"--base", media, "read", "media/tracks", "--filter", "genre"}, "", 2, {}, someText},
        {{"--base", media, "read", "media/tracks", "--limit", "-1"}, "", 2, {}, someText},
        {{"--base", media, "read", "media/tracks", "--expand", "album,7"}, "", 2, {}, someText},
        {{"--base", media, "read", "media/tracks", "--offset=-5"}, "", 2, {}, someText},
        {{"--base", media, "resolve", "media"}, "", 2, {}, someText},
        {{"--base", "ftp://127.0.0.1/", "read", "media"}, "", 2, {}, someText},
        {{"--base", media, "--log-level", "loud", "read", "media"}, "", 2, {}, someText},
        {{"--base", media, "frobnicate"}, "", 2, {}, someText},
        // Transport failures exit with 3: a broken 200 reply, a time-out.
        {{"--base", media, "--log-level", "off", "get", "media/tracks/t1"}, "", 3, {}, someText},
        {{"--base", media, "--log-level", "off", "--timeout", "1", "get", "media/tracks/t2"}, "", 3, {}, someText},
    };
    check(cases);
    // The created element is gone again; the usage errors and the conflict added nothing.
    EXPECT_EQ(nullptr, server.getElement("media", "tracks", "t500"));
    EXPECT_EQ(before, server.getElements("media", "tracks").size());

    // Refused connections exit with 3 as well.
    server.clearFaults();
    server.refuseConnections(std::chrono::seconds(30));
    check({{{"--base", media, "get", "media/tracks/t1"}, "", 3, {}, "qel: request failed: [\\s\\S]*"},
           {{"--base", media, "--timeout", "1", "watch", "media/tracks/t1", "--count", "1"}, "", 3, {},
            "[\\s\\S]*qel: no WebSocket connection to [\\s\\S]*"}});
}

TEST_F(QelCliTest, WatchThroughTheRegistryKeepsWatchingTheMatchingElementsAcrossServiceLoss) {
    ProgramRun watch;
    std::atomic<int> lines{0};
    std::thread watcher([&] {
        watch = runQel({"--registry", registry, "--log-level", "off", "watch", "media/tracks", "--where", "genre=jazz",
                        "--count", "24", "--for", "60"},
                       {}, &lines);
    });
    // The service notice and the twelve jazz tracks; then the loss ends
    // their subscriptions and the return brings them back.
    EXPECT_TRUE(qeltest::waitFor([&] { return lines >= 13; }, std::chrono::seconds(30)));
    server.dropWebSockets();
    watcher.join();
    ASSERT_EQ(0, watch.status) << watch.err;
    int updates = 0, lost = 0;
    for (const std::string& line : linesOf(watch.out)) {
        if (line.find(" update ") != std::string::npos) {
            ++updates;
            EXPECT_NE(std::string::npos, line.find("\"genre\":\"jazz\"")) << line;
        }
        lost += line.find("service media unavailable") != std::string::npos;
    }
    EXPECT_EQ(24, updates) << watch.out;
    EXPECT_GE(lost, 1) << watch.out;
}

}  // namespace
