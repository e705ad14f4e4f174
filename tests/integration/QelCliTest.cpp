// The qel program as a user runs it: a child process against the in-process
// reference server, judged by its exit status, stdout and stderr.

#include <qeldev/DevServer.h>

#include <support/CapturingLoggerFactory.h>
#include <support/WaitFor.h>

#include <QelAccessUtility/JsonArray.h>
#include <QelAccessUtility/JsonFactory.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace {

using qelutil::JsonFactory;
using qelutil::JsonObject;

struct ProgramRun {
    /// Exit status; -1 when the program did not end in time or was killed.
    int status = -1;
    std::string out;
    std::string err;

    std::string lastErrorLine() const {
        std::string text = err;
        while (!text.empty() && text.back() == '\n') text.pop_back();
        return text.substr(text.rfind('\n') == std::string::npos ? 0 : text.rfind('\n') + 1);
    }
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

/// A loopback port on which nothing listens (bound, then released).
uint16_t closedPort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
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

    ProgramRun onMedia(std::vector<std::string> args, const std::string& input = {}) {
        args.insert(args.begin(), {"--base", media});
        return runQel(args, input);
    }

    qeldev::DevServer server;
    std::string registry;
    std::string media;
};

TEST_F(QelCliTest, PagedReadPrintsIndentedDataAndPaging) {
    const ProgramRun run = onMedia({"read", "media/tracks", "--limit", "3", "--offset", "5", "--fields", "artist"});
    ASSERT_EQ(0, run.status) << run.err;
    EXPECT_EQ("", run.err);
    EXPECT_EQ(0u, run.out.find("{\n  \"data\": [\n    {\n      \"id\": "));
    const auto json = JsonFactory::parseObject(run.out);
    const auto data = json->getArray("data");
    const auto elements = server.getElements("media", "tracks");
    ASSERT_EQ(3u, data->size());
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(elements[5 + i]->getString("id"), data->getObject(i)->getString("id"));
        EXPECT_EQ(elements[5 + i]->getString("artist"), data->getObject(i)->getString("artist"));
        EXPECT_FALSE(data->getObject(i)->has("duration"));
    }
    const auto paging = json->getObject("paging");
    EXPECT_EQ(5, paging->getLong("offset"));
    EXPECT_EQ(3, paging->getLong("limit"));
    EXPECT_EQ(60, paging->getLong("total"));
    EXPECT_TRUE(paging->isString("next"));

    const ProgramRun compact =
        onMedia({"--compact", "read", "media/tracks", "--filter", "genre=jazz,rock", "--limit", "2"});
    ASSERT_EQ(0, compact.status) << compact.err;
    EXPECT_EQ(compact.out.size() - 1, compact.out.find('\n')) << "one line";
    const auto filtered = JsonFactory::parseObject(compact.out);
    for (std::size_t i = 0; i < filtered->getArray("data")->size(); ++i) {
        const std::string genre = filtered->getArray("data")->getObject(i)->getString("genre");
        EXPECT_TRUE(genre == "jazz" || genre == "rock") << genre;
    }
}

TEST_F(QelCliTest, RegistryModeResolvesEachKindOfAnswer) {
    const ProgramRun services = runQel({"--registry", registry, "--compact", "services"});
    ASSERT_EQ(0, services.status) << services.err;
    const auto listing = JsonFactory::parseObject("{\"list\":" + services.out + "}")->getArray("list");
    ASSERT_EQ(3u, listing->size());
    EXPECT_EQ("media", listing->getObject(0)->getString("name"));
    EXPECT_EQ("/api/", listing->getObject(0)->getString("path"));
    EXPECT_EQ("127.0.0.1", listing->getObject(0)->getString("host"));

    const ProgramRun climate = runQel({"--registry", registry, "--log-level", "off", "resolve", "climate"});
    ASSERT_EQ(0, climate.status) << climate.err;
    EXPECT_EQ("", climate.err);
    const auto resolved = JsonFactory::parseObject(climate.out);
    EXPECT_EQ(300, resolved->getLong("status"));
    EXPECT_EQ(1, resolved->getLong("chosen")) << "the choice on this host wins";
    EXPECT_EQ(server.service("climate").baseUri(), resolved->getString("baseUri"));

    // 307: the route comes from the navigation server the registry points to.
    const ProgramRun route = runQel({"--registry", registry, "get", "navigation/routes/r1"});
    ASSERT_EQ(0, route.status) << route.err;
    EXPECT_EQ(server.getElement("navigation", "routes", "r1")->getString("name"),
              JsonFactory::parseObject(route.out)->getString("name"));

    const ProgramRun tracks = runQel({"--registry", registry, "read", "media"});
    ASSERT_EQ(0, tracks.status) << tracks.err;
    EXPECT_EQ("tracks", JsonFactory::parseObject(tracks.out)->getArray("data")->getObject(0)->getString("name"));
}

TEST_F(QelCliTest, CreateUpdateDeleteChangeTheServer) {
    const ProgramRun created =
        onMedia({"create", "media/tracks", R"({"id":"t500","name":"From the shell","duration":99})"});
    ASSERT_EQ(0, created.status) << created.err;
    EXPECT_EQ("/api/media/tracks/t500", JsonFactory::parseObject(created.out)->getString("uri"));
    ASSERT_NE(nullptr, server.getElement("media", "tracks", "t500"));

    const ProgramRun updated = onMedia({"update", "media/tracks/t500", "-"}, R"({"rating": 3.5})");
    ASSERT_EQ(0, updated.status) << updated.err;
    EXPECT_DOUBLE_EQ(3.5, JsonFactory::parseObject(updated.out)->getDouble("rating"));
    EXPECT_DOUBLE_EQ(3.5, server.getElement("media", "tracks", "t500")->getDouble("rating"));
    EXPECT_EQ("From the shell", server.getElement("media", "tracks", "t500")->getString("name"));

    const ProgramRun deleted = onMedia({"delete", "media/tracks/t500"});
    ASSERT_EQ(0, deleted.status) << deleted.err;
    EXPECT_EQ("t500", JsonFactory::parseObject(deleted.out)->getString("id"));
    EXPECT_EQ(nullptr, server.getElement("media", "tracks", "t500"));
}

TEST_F(QelCliTest, ServerErrorStatusesExitWithOne) {
    const ProgramRun missing = onMedia({"--log-level", "off", "get", "media/tracks/nope"});
    EXPECT_EQ(1, missing.status);
    EXPECT_EQ("", missing.out);
    EXPECT_EQ("qel: 404 Not Found: no element nope in media/tracks\n", missing.err);

    // At the default level the library's own error line comes first.
    const ProgramRun logged = onMedia({"get", "media/tracks/nope"});
    EXPECT_EQ(1, logged.status);
    EXPECT_NE(std::string::npos, logged.err.find("HTTP Response: Status HTTP_NOT_FOUND"));
    EXPECT_EQ("qel: 404 Not Found: no element nope in media/tracks", logged.lastErrorLine());

    const ProgramRun conflict = onMedia({"--log-level", "off", "create", "media/tracks", R"({"id":"t1"})"});
    EXPECT_EQ(1, conflict.status);
    EXPECT_EQ(0u, conflict.err.find("qel: 409 Conflict"));

    const ProgramRun unknown = runQel({"--registry", registry, "--log-level", "off", "resolve", "nosuch"});
    EXPECT_EQ(1, unknown.status);
    EXPECT_EQ("qel: 404 Not Found: no service nosuch in the registry\n", unknown.err);
}

TEST_F(QelCliTest, UsageErrorsExitWithTwoAndSendNothing) {
    const std::vector<std::vector<std::string>> wrong = {
        {},
        {"--base", media},
        {"read", "media/tracks"},
        {"--base", media, "--registry", registry, "read", "media"},
        {"--base", media, "read", "media/tracks/t1/extra"},
        {"--base", media, "get", "media/tracks"},
        {"--base", media, "get", "media/tracks/has space"},
        {"--base", media, "create", "media/tracks", "{\"id\":"},
        {"--base", media, "read", "media/tracks", "--filter", "genre"},
        {"--base", media, "read", "media/tracks", "--limit", "-1"},
        {"--base", media, "read", "media/tracks", "--expand", "album,7"},
        {"--base", media, "read", "media/tracks", "--offset=-5"},
        {"--base", media, "resolve", "media"},
        {"--base", "ftp://127.0.0.1/", "read", "media"},
        {"--base", media, "--log-level", "loud", "read", "media"},
        {"--base", media, "frobnicate"},
    };
    const std::size_t before = server.getElements("media", "tracks").size();
    for (const auto& args : wrong) {
        const ProgramRun run = runQel(args);
        std::string line;
        for (const auto& arg : args) line += arg + " ";
        EXPECT_EQ(2, run.status) << line << "\n" << run.err;
        EXPECT_EQ("", run.out) << line;
        EXPECT_FALSE(run.err.empty()) << line;
    }
    EXPECT_EQ(before, server.getElements("media", "tracks").size());

    const ProgramRun help = runQel({"get", "--help"});
    EXPECT_EQ(0, help.status);
    EXPECT_NE(std::string::npos, help.out.find("Usage: qel get"));
}

TEST_F(QelCliTest, TransportFailuresExitWithThree) {
    const ProgramRun refused =
        runQel({"--base", "http://127.0.0.1:" + std::to_string(closedPort()) + "/api/", "get", "media/tracks/t1"});
    EXPECT_EQ(3, refused.status) << refused.err;
    EXPECT_EQ("", refused.out);
    EXPECT_EQ(0u, refused.err.find("qel: request failed: "));

    qeldev::HttpFault broken;
    broken.path = "/api/media/tracks/t1";
    broken.status = 200;
    broken.body = "{\"data\": [unterminated";
    server.addHttpFault(broken);
    const ProgramRun malformed = onMedia({"--log-level", "off", "get", "media/tracks/t1"});
    EXPECT_EQ(3, malformed.status) << malformed.err;
    EXPECT_EQ("", malformed.out);

    qeldev::HttpFault slow;
    slow.path = "/api/media/tracks/t2";
    slow.delay = std::chrono::milliseconds(3000);
    server.addHttpFault(slow);
    const ProgramRun timedOut = onMedia({"--log-level", "off", "--timeout", "1", "get", "media/tracks/t2"});
    EXPECT_EQ(3, timedOut.status) << timedOut.err;

    server.clearFaults();
    server.refuseConnections(std::chrono::seconds(30));
    const ProgramRun closed = onMedia({"--log-level", "off", "read", "media"});
    EXPECT_EQ(3, closed.status) << closed.err;
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
    for (std::size_t start = 0, end; (end = watch.out.find('\n', start)) != std::string::npos; start = end + 1) {
        const std::string line = watch.out.substr(start, end - start);
        if (line.find(" update ") != std::string::npos) {
            ++updates;
            EXPECT_NE(std::string::npos, line.find("\"genre\":\"jazz\"")) << line;
        }
        lost += line.find("service media unavailable") != std::string::npos;
    }
    EXPECT_EQ(24, updates) << watch.out;
    EXPECT_GE(lost, 1) << watch.out;
}

TEST_F(QelCliTest, WatchPrintsTheCurrentStateAndEveryPushedChange) {
    ProgramRun watch;
    std::atomic<bool> ended{false};
    std::thread watcher([&] {
        watch = onMedia({"--compact", "watch", "media/tracks/t2", "--count", "3", "--for", "30"});
        ended = true;
    });
    // Changes are made until the watcher has seen three states; the first
    // ones may land before its subscription and never reach it.
    auto track = server.getElement("media", "tracks", "t2");
    int rating = 0;
    EXPECT_TRUE(qeltest::waitFor([&] {
        if (ended) return true;
        if (server.webSocketCount() > 0) {
            track->setLong("rating", ++rating);
            server.setElement("media", "tracks", *track);
        }
        return false;
    }, std::chrono::seconds(40)));
    watcher.join();
    EXPECT_EQ(0, watch.status) << watch.err;
    std::vector<std::string> lines;
    for (std::size_t start = 0, end; (end = watch.out.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(watch.out.substr(start, end - start));
    ASSERT_EQ(3u, lines.size()) << watch.out;
    int64_t previous = -1;
    int64_t first = -1;
    for (const std::string& line : lines) {
        const auto element = JsonFactory::parseObject(line);
        EXPECT_EQ("t2", element->getString("id"));
        const int64_t seen = element->isLong("rating") ? element->getLong("rating") : 0;
        // A change may show twice: in the state sent on subscribing and in its own push.
        EXPECT_GE(seen, previous) << watch.out;
        if (first < 0) first = seen;
        previous = seen;
    }
    EXPECT_GT(previous, first) << watch.out;

    const ProgramRun refused =
        runQel({"--base", "http://127.0.0.1:" + std::to_string(closedPort()) + "/api/", "--timeout", "1", "watch",
                "media/tracks/t1", "--count", "1"});
    EXPECT_EQ(3, refused.status) << refused.err;
    EXPECT_EQ(0u, refused.lastErrorLine().find("qel: no WebSocket connection to ")) << refused.err;
}

}  // namespace
