// Clients against the in-process reference server: the accessor and the HTTP
// transport (element round trips, paging, filters, error statuses and failures
// reaching the error callbacks), and the qel program as a user runs it (a child
// process judged by its exit status, stdout and stderr).

#include <qeldev/DevServer.h>

#include <support/CapturingLoggerFactory.h>
#include <support/WaitFor.h>

#include <QelAccess/ConfigManager.h>
#include <QelAccess/HttpAccessFactory.h>
#include <QelAccess/PagingObject.h>
#include <QelAccess/QelAccessor.h>
#include <QelAccess/QelResourceDescriptor.h>
#include <QelAccess/QelResponse.h>
#include <QelAccessUtility/JsonFactory.h>
#include <QelAccessUtility/PocoHttpSessionFactory.h>
#include <QelAccessUtility/SerialTaskExecutor.h>
#include <QelAccessUtility/ThreadPoolTaskExecutor.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <regex>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace {

using qel::QelAccessor;
using qel::QelResponse;
using qelutil::HttpResponse;
using qelutil::JsonFactory;
using qelutil::JsonObject;
using ResponsePtr = std::shared_ptr<const QelResponse>;

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

/// An element kept with the JSON it came from.
class Element : public qel::XObject<qel::XObjectDescriptor> {
public:
    explicit Element(JsonObject::Shared json) : XObject(std::move(json)) {}
    JsonObject::Shared json() const { return m_pJson; }
};

/// A descriptor whose create and update body is a JSON object of the test's.
class BodyDescriptor : public qel::XObjectDescriptor {
public:
    BodyDescriptor(const std::string& resource, const std::string& body, const std::string& id = "")
        : XObjectDescriptor("media", resource), m_body(JsonFactory::parseObject(body)) {
        if (!id.empty()) setId(id);
    }
    JsonObject::Shared getAsQELBody() const override { return m_body->clone(); }

private:
    JsonObject::Shared m_body;
};

std::vector<std::string> idsOf(const std::vector<qel::IXObject::Unique>& objects) {
    std::vector<std::string> ids;
    for (const auto& object : objects) ids.push_back(object->getId().getValueOr("?"));
    return ids;
}

qel::IXObject::Unique makeElement(JsonObject::Shared json) {
    return std::make_unique<Element>(std::move(json));
}

/// Starts the reference server, which logs only its errors.
class ReferenceServerTest : public ::testing::Test {
protected:
    ReferenceServerTest() : server(serverOptions()) {}
    void SetUp() override { server.start(); }

    static qeldev::DevServerOptions serverOptions() {
        qeldev::DevServerOptions options;
        options.loggerFactory = std::make_shared<qeltest::CapturingLoggerFactory>(qelutil::ILogger::ERROR);
        return options;
    }

    qeldev::DevServer server;
};

/// The accessor and the HTTP transport against the reference server.
class AccessorDevServerTest : public ReferenceServerTest {
protected:
    qel::ITpAccess::Shared mediaTransport() {
        const auto media = server.service("media");
        auto config = std::make_shared<qel::ConfigManager>();
        config->setDefaultConfig(qel::ConfigManager::ServiceConfig(media.origin, media.basePath, true,
                                                                   std::chrono::milliseconds(0),
                                                                   std::chrono::milliseconds(0)));
        return qel::HttpAccessFactory(sessionFactory).createTpAccess("media", config, logs);
    }

    /// Notes what a callback saw, and whether it ran on the callback executor's thread.
    void record(const std::string& entry) {
        std::lock_guard<std::mutex> lock(mutex);
        log.push_back(callbackExecutor->isWorkerThread() ? entry : entry + " off the callback thread");
    }
    qel::QelAccessorErrorCallback failed(const std::string& what) {
        return [this, what](ResponsePtr response) {
            record(what + " failed " + std::to_string(response->getStatusCode()) +
                   (response->getHttpException() ? " with exception" : ""));
        };
    }
    /// Waits until `count` callbacks were noted; returns all notes so far.
    std::vector<std::string> waitForLog(std::size_t count) {
        EXPECT_TRUE(qeltest::waitFor([&] {
            std::lock_guard<std::mutex> lock(mutex);
            return log.size() >= count;
        }));
        std::lock_guard<std::mutex> lock(mutex);
        return log;
    }

    static qel::XObjectDescriptor track(const std::string& id) {
        qel::XObjectDescriptor element("media", "tracks");
        element.setId(id);
        return element;
    }

    std::vector<qel::IXObject::Unique> readTracks(const qel::QelResourceDescriptor& descriptor,
                                                  const std::shared_ptr<QelResponse>& response) {
        return mediaTransport()->readResource(&makeElement, descriptor, response);
    }

    std::shared_ptr<qeltest::CapturingLoggerFactory> logs = std::make_shared<qeltest::CapturingLoggerFactory>();
    std::mutex mutex;
    std::vector<std::string> log;  // guarded by `mutex`; outlives the executors below
    qelutil::IHttpSessionFactory::Shared sessionFactory = std::make_shared<qelutil::PocoHttpSessionFactory>();
    std::shared_ptr<qelutil::SerialTaskExecutor> callbackExecutor =
        std::make_shared<qelutil::SerialTaskExecutor>("test-callback");
    qelutil::ITaskExecutor::Shared httpExecutor = std::make_shared<qelutil::ThreadPoolTaskExecutor>(1, "test-http");
};

TEST_F(AccessorDevServerTest, RoundTripAndErrorsReachTheirCallbacksOnceInOrder) {
    QelAccessor media("media", logs, callbackExecutor, httpExecutor, mediaTransport());
    const auto read = [this](std::shared_ptr<const Element> element, ResponsePtr) {
        const auto json = element->json();
        record("read " + json->getString("name") + " " + std::to_string(json->getLong("duration")) +
               (json->has("rating") ? " rated " + std::to_string(json->getDouble("rating")) : ""));
    };
    server.addHttpFault({"/api/media/tracks/t1", "GET", 503, "", {}, 1});
    media.createElement<BodyDescriptor>(
        BodyDescriptor("tracks", R"({"id":"t900","name":"Round Trip","duration":120})"),
        [this](std::shared_ptr<const qel::XObject<BodyDescriptor>> element, ResponsePtr response) {
            record(element ? "created " + element->getId().getValueOr("") + " at " + element->getUri().getValueOr("") +
                                 " " + std::to_string(response->getStatusCode())
                           : "created nothing");
        },
        failed("create"));
    media.getElement<Element>(track("t900"), read, failed("get"));
    media.updateElement(BodyDescriptor("tracks", R"({"rating":4.5})", "t900"),
                        [this](ResponsePtr) { record("updated"); }, failed("update"));
    media.getElement<Element>(track("t900"), read, failed("get"));
    media.deleteElement(track("t900"), [this](ResponsePtr) { record("deleted"); }, failed("delete"));
    media.getElement<Element>(track("t900"), read, failed("get"));
    media.createElement<BodyDescriptor>(BodyDescriptor("tracks", R"({"id":"t1","name":"Impostor"})"),
                                        [this](auto&&...) { record("created impostor"); }, failed("create"));
    media.getElement<Element>(track("t1"), read, failed("get"));
    // A 200 reply that is not JSON fails the exchange itself; the next read gets the real one.
    server.addHttpFault({"/api/media/", "GET", 200, "{not json", {}, 1});
    const auto services = [this](std::vector<std::shared_ptr<qel::QelService>> list, ResponsePtr) {
        record(std::to_string(list.size()) + " services");
    };
    media.readService(qel::QelServiceDescriptor("media"), services, failed("read service"));
    media.readService(qel::QelServiceDescriptor("media"), services, failed("read service"));
    // The HTTP executor has one worker and the callback executor keeps order,
    // so a callback run twice would show next to the first.
    const std::vector<std::string> expected = {
        "created t900 at /api/media/tracks/t900 201", "read Round Trip 120", "updated",
        "read Round Trip 120 rated 4.500000", "deleted", "get failed 404", "create failed 409", "get failed 503",
        "read service failed 200 with exception", "2 services"};
    EXPECT_EQ(expected, waitForLog(expected.size()));
}

TEST_F(AccessorDevServerTest, ConcurrentReadsEachDeliverExactlyOnce) {
    auto pool = std::make_shared<qelutil::ThreadPoolTaskExecutor>(4, "test-pool");
    QelAccessor media("media", logs, callbackExecutor, pool, mediaTransport());
    constexpr int READS = 24;
    std::vector<std::string> expected;
    for (int i = 1; i <= READS; ++i) {
        expected.push_back("read t" + std::to_string(i));
        media.getElement<Element>(
            track("t" + std::to_string(i)),
            [this](std::shared_ptr<const Element> element, ResponsePtr) {
                record("read " + element->getId().getValue());
            },
            failed("get"));
    }
    std::vector<std::string> reads = waitForLog(READS);
    pool->shutdown();
    std::sort(reads.begin(), reads.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(expected, reads);
    EXPECT_EQ(expected.size(), waitForLog(0).size());
}

TEST_F(AccessorDevServerTest, PagedAndFilteredReads) {
    std::vector<std::string> all;
    for (const auto& element : server.getElements("media", "tracks")) all.push_back(element->getString("id"));
    ASSERT_EQ(60u, all.size());
    struct Case {
        int64_t limit;
        int64_t offset;  // -1: by the id at `first`
        std::size_t first;
        std::size_t count;
        std::string paging;  // the paging object's text up to its offsetId
    };
    const std::vector<Case> cases = {
        {5, 10, 10, 5, "offset=10, limit=5, total=60, totalPages=12"},
        {3, -1, 19, 3, "offset=19, limit=3, total=60, totalPages=20"},
        {0, 0, 0, 0, "offset=0, limit=0, total=60, totalPages=1"},
    };
    for (const Case& c : cases) {
        qel::QelResourceDescriptor page("media", "tracks");
        page.getQueryOptions().setPagingLimit(c.limit);
        if (c.offset >= 0) page.getQueryOptions().setPagingOffset(c.offset);
        if (c.offset < 0) page.getQueryOptions().setPagingOffsetUuid(all[c.first]);
        auto response = std::make_shared<QelResponse>();
        EXPECT_EQ(std::vector<std::string>(all.begin() + c.first, all.begin() + c.first + c.count),
                  idsOf(readTracks(page, response)));
        ASSERT_NE(nullptr, response->getPaging());
        const std::string text = response->getPaging()->toString();
        EXPECT_EQ(c.paging, text.substr(0, text.find(", offsetId")));
        EXPECT_TRUE(c.offset >= 0 || all[c.first] == response->getPaging()->offsetId.getValueOr(""));
    }

    // Reserved characters in a filter value travel encoded and match exactly.
    const std::string awkward = "Rock & Roll, Vol. 2?=%";
    auto element = JsonFactory::createJsonObject();
    element->setString("id", "awkward");
    element->setString("name", awkward);
    server.createElement("media", "tracks", *element);
    qel::QelResourceDescriptor filtered("media", "tracks");
    filtered.getQelFilter().add("name", awkward);
    EXPECT_EQ(std::vector<std::string>{"awkward"}, idsOf(readTracks(filtered, std::make_shared<QelResponse>())));

}

/// The qel program against the reference server.
class QelCliTest : public ReferenceServerTest {
protected:
    void SetUp() override {
        ReferenceServerTest::SetUp();
        registry = server.registryBaseUri();
        media = server.service("media").baseUri();
    }

    std::string id(std::size_t index) {
        return "\"id\": \"" + server.getElements("media", "tracks").at(index)->getString("id") + "\"";
    }

    std::string registry;
    std::string media;
};

TEST_F(QelCliTest, CommandsPrintTheirRepliesAndExitWithTheirStatus) {
    const auto fifth = server.getElements("media", "tracks").at(5);
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
        {{"--base", media, "--compact", "read", "media/tracks", "--filter", "genre=jazz,rock", "--limit", "60"}, "", 0,
         {"\"genre\":\"rock\"", "\"genre\":\"jazz\"", "!\"genre\":\"pop\"", "!\"genre\":\"electronic\"", "!\": "}, ""},
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

}  // namespace
