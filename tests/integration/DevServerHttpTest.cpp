#include <support/DevServerClient.h>

#include <Poco/Net/StreamSocket.h>

#include <cstdio>
#include <fstream>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

using namespace qeltest;
using qeldev::DevServer;
using qeldev::DevServerOptions;
using qelutil::JsonFactory;
using Strings = std::vector<std::string>;
using DevServerHttpTest = qeltest::DevServerFixture;

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST_F(DevServerHttpTest, ListingsCarryTheEnvelopeLinksFiltersFieldsAndOrder) {
    const Reply root = get(main, "/api/");
    for (const char* key : {"status", "message", "type", "event", "service"}) EXPECT_TRUE(root.json->isString(key)) << key;
    EXPECT_TRUE(root.json->isLong("timestamp"));
    EXPECT_EQ((Strings{"tracks", "albums"}), ids(*get(main, "/api/media").data())) << "the slash is optional";
    EXPECT_EQ(404, get(main, "/nav/navigation/").status) << "navigation lives on its own origin";
    const Reply middle = get(main, get(main, "/api/media/tracks?$limit=25").paging()->getString("next"));
    EXPECT_EQ(tracks(26, 50), ids(*middle.data()));
    EXPECT_TRUE(contains(middle.paging()->getString("previous"), "$offset=0"));
    const Reply last = get(main, middle.paging()->getString("next"));
    EXPECT_FALSE(last.paging()->has("next"));
    EXPECT_FALSE(get(main, "/api/media/tracks?$limit=20&$offset=40").paging()->has("next")) << "a page ending at the total";
    EXPECT_EQ(ids(*middle.data()), ids(*get(main, last.paging()->getString("previous")).data()));
    EXPECT_TRUE(contains(get(main, "/api/media/tracks?artist=Mira%20Sol&$limit=5").paging()->getString("next"),
                         "artist=Mira%20Sol")) << "links keep the filter";

    server->createElement("media", "albums", *JsonFactory::parseObject(R"({"name":"a,b"})"));
    server->createElement("media", "tracks", *JsonFactory::parseObject(R"({"id":"t0"})"));
    const std::vector<std::pair<std::string, Strings>> listings = {
        {"tracks?artist=Mira%20Sol&$limit=5", tracks(13, 17)}, {"tracks?$offset=61", {}},
        {"tracks?id=t9,t2&trackNumber=2,3", {"t2", "t9"}},
        {"tracks?duration=224.0", {"t2"}},  // numbers compare as numbers
        {"albums?name=a%2Cb", {"a11"}},     // an encoded comma is part of the value
        {"albums?name=a,b", {}},
        {"tracks?$sortby=duration&$limit=3", {"t38", "t11", "t49"}}, {"tracks?$sortby=-duration&$limit=3", {"t27", "t54", "t16"}},
        {"tracks?$sortby=-duration&$offset=60", {"t0"}},  // a missing sort member comes last
        {"albums?$sortby=artist,-year&$fields=artist,year&$limit=6", {"a10", "a5", "a9", "a4", "a8", "a3"}}};
    for (const auto& [query, expected] : listings) EXPECT_EQ(expected, ids(*get(main, "/api/media/" + query).data())) << query;
    EXPECT_EQ((Strings{"id", "name", "uri"}), get(main, "/api/media/tracks/t1?$fields=nosuchfield").element()->getKeys());
    EXPECT_EQ((Strings{"id", "name", "duration", "uri"}),
              get(main, "/api/media/tracks?$fields=duration").data()->getObject(0)->getKeys()) << "in this order";
}

TEST_F(DevServerHttpTest, ChangesOverHttpAnswerWithTheirStatusAndReachListenersInOrder) {
    std::mutex mutex;
    std::vector<qeldev::ElementChange> changes;
    server->addChangeListener([&](const qeldev::ElementChange& change) {
        std::lock_guard<std::mutex> lock(mutex);
        changes.push_back(change);
    });
    const Reply created = call(main, "POST", "/api/media/tracks/", R"({"name":"New Song","duration":200})");
    ASSERT_EQ(201, created.status);
    const std::string uri = created.element()->getString("uri");
    EXPECT_EQ(uri, created.location);
    EXPECT_EQ("/api/media/tracks/" + created.element()->getString("id"), uri) << "the id follows the last slash";
    const Reply updated = call(main, "POST", uri, R"({"duration":210,"uri":"/elsewhere"})");
    EXPECT_EQ(200, updated.status);
    EXPECT_EQ("New Song", updated.element()->getString("name"));
    EXPECT_EQ(uri, updated.element()->getString("uri"));
    for (int status : {200, 404}) EXPECT_EQ(status, call(main, "DELETE", uri).status);
    EXPECT_EQ(404, call(main, "POST", uri, R"({"name":"ghost"})").status);
    EXPECT_EQ("/api/media/tracks/custom-1", call(main, "POST", "/api/media/tracks", R"({"id":"custom-1"})").location);
    EXPECT_EQ(409, call(main, "POST", "/api/media/tracks", R"({"id":"custom-1"})").status);

    std::lock_guard<std::mutex> lock(mutex);
    using Change = qeldev::ElementChange;
    const std::vector<Change::Kind> kinds = {Change::CREATED, Change::UPDATED, Change::DELETED, Change::CREATED};
    ASSERT_EQ(4u, changes.size());
    for (std::size_t i = 0; i < changes.size(); ++i) {
        EXPECT_EQ(kinds[i], changes[i].kind) << i;
        EXPECT_EQ(changes[0].sequence + i, changes[i].sequence) << i;
        EXPECT_EQ(i == 2, changes[i].element == nullptr) << i;
    }
    EXPECT_EQ("custom-1", changes[3].id);
}

TEST_F(DevServerHttpTest, AnswersBadRequestsWithTheirStatusAndStaysUsable) {
    const std::string deep = "{\"a\":" + std::string(100000, '[') + std::string(100000, ']') + "}";
    const std::string tracksUri = "/api/media/tracks";
    expectStatuses(main, {
        {404, "GET", "/api/nosuch/", ""}, {404, "GET", "/api/media/nosuch", ""}, {404, "GET", tracksUri + "/t999", ""},
        {404, "GET", tracksUri + "/t1/x", ""}, {404, "GET", "/elsewhere", ""}, {404, "GET", "/api/media//tracks", ""},
        {400, "GET", tracksUri + "?$limit=abc", ""}, {400, "GET", tracksUri + "?$limit=-1", ""},
        {400, "GET", tracksUri + "?$offset=-3", ""}, {400, "GET", tracksUri + "?$nosuch=1", ""},
        {400, "GET", tracksUri + "?name=%zz", ""}, {400, "GET", tracksUri + "?$fields=", ""},
        {400, "GET", tracksUri + "?$expand=2,name", ""}, {200, "GET", tracksUri + "?$expand=album,2", ""},
        {400, "GET", tracksUri + "?$offset=nosuchid", ""}, {414, "GET", tracksUri + "?name=" + std::string(5000, 'x'), ""},
        {405, "POST", "/api/", "{}"}, {405, "DELETE", tracksUri, ""}, {400, "POST", tracksUri, "{\"name\":"},
        {400, "POST", tracksUri, "[1,2]"}, {400, "POST", tracksUri, ""}, {400, "POST", tracksUri, "{\"id\":7}"},
        {400, "POST", tracksUri, "{\"id\":\"bad/id\"}"}, {400, "POST", tracksUri + "/t1", R"({"id":"t2"})"},
        {400, "POST", tracksUri, deep}});
    const Reply put = call(main, "PUT", "/api/media/tracks/t1", "{}");
    EXPECT_EQ(405, put.status);
    EXPECT_EQ("GET, POST, DELETE", put.allow);

    const std::string garbage = "\x01\x02 nonsense\r\n\r\n";
    Poco::Net::StreamSocket(addressOf(main)).sendBytes(garbage.data(), static_cast<int>(garbage.size()));
    EXPECT_EQ(60u, get(main, tracksUri).data()->size());
}

TEST_F(DevServerHttpTest, PageSizeAndBodyLimitFollowTheOptions) {
    DevServerOptions options;
    options.defaultPageSize = 40;
    options.maxBodyBytes = 4096;
    startServer(options);
    const Reply page = get(main, "/api/media/tracks");
    EXPECT_EQ(tracks(1, 40), ids(*page.data()));
    EXPECT_EQ(2, page.paging()->getLong("totalPages"));
    EXPECT_TRUE(contains(page.paging()->getString("next"), "$limit=40&$offset=40"));
    EXPECT_EQ(413, call(main, "POST", "/api/media/tracks", "{\"name\":\"" + std::string(5000, 'x') + "\"}").status);
    EXPECT_EQ(60u, server->getElements("media", "tracks").size());
    EXPECT_EQ(201, call(main, "POST", "/api/media/tracks", "{\"name\":\"" + std::string(3000, 'x') + "\"}").status);
}

TEST_F(DevServerHttpTest, RegistryListsFiltersAndResolvesAsConfiguredInProcessOrOverHttp) {
    const Reply filtered = get(main, "/?name=navigation,climate&$fields=port");
    EXPECT_EQ((Strings{"navigation", "climate"}), ids(*filtered.data()));
    EXPECT_EQ((Strings{"id", "name", "uri", "port"}), filtered.data()->getObject(0)->getKeys());
    EXPECT_EQ((Strings{"media"}), ids(*get(main, "/media/").data()));
    EXPECT_EQ("climate on this host", get(main, "/climate/").data()->getObject(1)->getString("description"));
    const std::vector<std::pair<DevServer::Resolution, int>> inProcess = {
        {DevServer::Resolution::REDIRECT, 307}, {DevServer::Resolution::CHOICES, 300}, {DevServer::Resolution::ENTRY, 200}};
    for (const auto& [answer, status] : inProcess) {
        server->setResolution("media", answer);
        EXPECT_EQ(status, get(main, "/media").status);
    }
    const std::string resolve = R"({"action":"resolve","name":"media","answer":")";
    for (const auto& [answer, status] : {std::pair{"redirect", 307}, {"choices", 300}, {"entry", 200}}) {
        ASSERT_EQ(200, call(nav, "POST", "/_admin/registry", resolve + answer + "\"}").status);
        EXPECT_EQ(status, get(main, "/media").status) << answer;
    }
    expectStatuses(nav, {{400, "POST", "/_admin/registry", resolve + "x\"}"},
                         {404, "POST", "/_admin/registry", R"({"action":"register","name":"nosuch"})"}});
    expectStatuses(main, {{404, "GET", "/nosuch/", ""}, {405, "POST", "/media/", "{}"}});
}

TEST_F(DevServerHttpTest, RegistryAdministrationListsMovesStopsAndStartsOrigins) {
    DevServerOptions options;
    options.unregistered = {"media"};
    options.ownOrigin = {"media"};
    startServer(options);
    const std::string media = main, registry = server->registryBaseUri().substr(0, server->registryBaseUri().size() - 1);
    auto listed = [&] { return ids(*get(registry, "/").data()); };
    auto admin = [&](const std::string& at, const std::string& what, const std::string& body) {
        return reach(at, "POST", "/_admin/" + what, body);
    };
    EXPECT_EQ((Strings{"navigation", "climate"}), listed());
    EXPECT_EQ(404, get(registry, "/media").status);
    server->registerService("media");
    EXPECT_EQ(200, admin(nav, "registry", R"({"action":"unregister","name":"navigation"})"));
    EXPECT_EQ((Strings{"media", "climate"}), listed());
    EXPECT_EQ(200, admin(nav, "registry", R"({"action":"register","name":"navigation"})"));
    EXPECT_EQ((Strings{"media", "navigation", "climate"}), listed());

    // A move lists the new port and the old origin serves no more.
    EXPECT_THROW(server->moveService("climate"), std::logic_error) << "it shares the registry's origin";
    WsClient old(media, "/api/");
    ASSERT_TRUE(waitFor([&] { return server->webSocketCount() == 1; })) << "the server knows it before the move";
    const uint16_t port = server->moveService("media");
    EXPECT_EQ(port, get(registry, "/?name=media&$fields=port").data()->getObject(0)->getLong("port"));
    EXPECT_TRUE(old.waitEnded());
    EXPECT_EQ(0, reach(media, "GET", "/api/media"));
    EXPECT_EQ(200, reach(server->service("media").origin, "GET", "/api/media"));
    server->unregisterService("media");
    const auto added = JsonFactory::parseObject(R"({"name":"media","uri":"http://127.0.0.1:9/api/media/","port":9})");
    EXPECT_THROW(server->registerEntry(*added), std::invalid_argument) << "a service of the data";
    added->setString("name", "navigation2");
    server->registerEntry(*added);
    EXPECT_EQ(200, get(registry, "/navigation2").status);

    for (int cycle = 0; cycle < 20; ++cycle) {
        WsClient routes(nav, "/nav/");
        routes.subscribe("/nav/navigation/routes/r1#1");
        ASSERT_TRUE(routes.next()) << cycle;
        server->stopOrigin("navigation");
        ASSERT_FALSE(server->isOriginRunning("nav"));
        EXPECT_TRUE(routes.waitEnded()) << cycle;
        EXPECT_EQ(0, reach(nav, "GET", "/nav/")) << cycle;
        server->startOrigin("nav");
        ASSERT_EQ(200, reach(nav, "GET", "/nav/navigation")) << "the same port again, cycle " << cycle;
    }
    // The registry stops and starts with its origin, here from the other origin's admin endpoint.
    ASSERT_EQ(202, admin(nav, "origin", R"({"action":"stop","name":"main"})"));
    EXPECT_TRUE(waitFor([&] { return reach(registry, "GET", "/") == 0; }));
    ASSERT_EQ(202, admin(nav, "origin", R"({"action":"start","name":"climate"})"));
    EXPECT_TRUE(waitFor([&] { return reach(registry, "GET", "/") == 200; }));
    ASSERT_EQ(202, admin(registry, "origin", R"({"action":"restart","name":"main","downMs":500})")) << "restarts itself";
    EXPECT_TRUE(waitFor([&] { return reach(registry, "GET", "/") == 0; }));
    EXPECT_TRUE(waitFor([&] { return reach(registry, "GET", "/") == 200; }));
    EXPECT_EQ(404, admin(nav, "origin", R"({"action":"stop","name":"nosuch"})"));
    server->stopOrigin("media");  // a service on an origin of its own stops alone
    EXPECT_EQ(0, reach(server->service("media").origin, "GET", "/api/media"));
    EXPECT_EQ(200, reach(registry, "GET", "/"));
}

TEST_F(DevServerHttpTest, InjectedFaultsAnswerForTheirCountOrUntilCleared) {
    server->addHttpFault({"/api/media/tracks", "", 503, R"({"status":"busy"})", std::chrono::milliseconds(0), 2});
    EXPECT_EQ(200, get(main, "/api/media/tracks/t1").status) << "other paths pass";
    for (int i = 0; i < 2; ++i) EXPECT_EQ(R"({"status":"busy"})", get(main, "/api/media/tracks").body);
    EXPECT_EQ(200, get(main, "/api/media/tracks").status);

    expectStatuses(main, {{200, "POST", "/_admin/fault", R"({"path":"/api/media/*","method":"GET","status":500})"},
                          {500, "GET", "/api/media/tracks/t1", ""}, {500, "GET", "/api/media/tracks/t2", ""},
                          {201, "POST", "/api/media/tracks", "{}"},  // other methods pass
                          {400, "POST", "/_admin/fault", R"({"status":"x"})"}});
    EXPECT_EQ(1u, get(main, "/_admin/fault").data()->size());
    expectStatuses(main, {{200, "DELETE", "/_admin/fault", ""}, {200, "GET", "/api/media/tracks/t1", ""},
                          {200, "POST", "/_admin/fault", R"({"path":"/api/media/albums","delayMs":20})"},
                          {200, "GET", "/api/media/albums", ""},  // a rule with a delay only passes the request
                          {200, "POST", "/_admin/fault", R"({"method":"DELETE","status":418})"}});
    const Reply teapot = call(main, "DELETE", "/api/media/albums/a1");
    EXPECT_EQ(418, teapot.status);
    EXPECT_EQ("injected fault", teapot.json->getString("message")) << "a rule without body answers in the envelope";
    EXPECT_NE(nullptr, server->getElement("media", "albums", "a1"));
    Poco::Net::StreamSocket upgrade(addressOf(main));  // fault rules leave upgrades alone; this one lacks its key
    const std::string head = "GET /api/ HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n\r\n";
    upgrade.sendBytes(head.data(), static_cast<int>(head.size()));
    char status[12] = {};
    EXPECT_TRUE(upgrade.receiveBytes(status, 12) == 12 && std::string(status + 9, 3) == "400") << status;

    server->refuseConnections(std::chrono::minutes(5));
    EXPECT_TRUE(reach(main, "GET", "/api/media/tracks") == 0 && reach(nav, "GET", "/nav/") == 0);
    server->clearFaults();
    expectStatuses(main, {{200, "POST", "/_admin/fault", R"({"refuseMs":600000})"}, {0, "GET", "/_admin/fault", ""}});
    server->clearFaults();
    EXPECT_EQ(200, reach(nav, "GET", "/nav/"));
}

TEST_F(DevServerHttpTest, StopEndsDelayedRequestsAndIdleConnectionsAndRestartKeepsTheData) {
    EXPECT_EQ(201, call(main, "POST", "/api/media/albums", R"({"id":"kept"})").status);
    EXPECT_EQ(200, call(main, "POST", "/_admin/fault", R"({"path":"/api/media/tracks","delayMs":300000,"times":1})").status);
    Poco::Net::HTTPClientSession idle(addressOf(main));
    Poco::Net::HTTPRequest first(Poco::Net::HTTPRequest::HTTP_GET, "/api/", Poco::Net::HTTPMessage::HTTP_1_1);
    idle.sendRequest(first);
    Poco::Net::HTTPResponse firstResponse;
    idle.receiveResponse(firstResponse).ignore(1 << 20);
    std::atomic<bool> finished{false};
    std::thread delayed([&] {
        reach(main, "GET", "/api/media/tracks");  // a connection shut down by stop() is an expected outcome
        finished = true;
    });
    ASSERT_TRUE(waitFor([&] { return get(main, "/_admin/fault").data()->size() == 0; })) << "the request took the rule";
    server->stop();
    EXPECT_TRUE(waitFor([&] { return finished.load(); }));
    delayed.join();
    EXPECT_FALSE(server->isRunning());
    EXPECT_THROW(server->registryBaseUri(), std::logic_error);
    EXPECT_EQ(0, reach(main, "GET", "/api/"));
    server->start();
    EXPECT_THROW(server->start(), std::logic_error);
    EXPECT_EQ(200, get(server->service("media").origin, "/api/media/albums/kept").status);
}

TEST_F(DevServerHttpTest, InProcessChangesAreServedAndListenersFollowTheRules) {
    const auto replacement = JsonFactory::parseObject(R"({"id":"t1","name":"Replaced","uri":"/wrong"})");
    server->setElement("media", "tracks", *replacement);
    const auto t1 = get(main, "/api/media/tracks/t1").element();
    EXPECT_FALSE(t1->has("duration")) << "setElement replaces the whole element";
    EXPECT_EQ("/api/media/tracks/t1", t1->getString("uri"));
    EXPECT_THROW(server->createElement("media", "tracks", *replacement), std::invalid_argument) << "t1 is taken";
    std::atomic<int> calls{0};
    std::atomic<bool> refused{false};
    const auto meddler = server->addChangeListener([&](const qeldev::ElementChange& change) {
        ++calls;
        try {
            server->deleteElement(change.service, change.resource, change.id);
        } catch (const std::logic_error&) {
            refused = true;
        }
        throw std::runtime_error("listener failure");
    });
    EXPECT_EQ(201, call(main, "POST", "/api/media/albums", "{}").status) << "a failing listener does not fail the request";
    EXPECT_TRUE(refused.load()) << "changing the data from a listener is refused, not deadlocked";
    EXPECT_EQ(11u, server->getElements("media", "albums").size());
    server->removeChangeListener(meddler);
    server->deleteElement("media", "albums", "a1");
    EXPECT_EQ(1, calls.load());
}

TEST(DevServerDataTest, RejectsDataThatCannotBeServed) {
    const std::vector<std::pair<std::string, std::string>> broken = {
        {R"({"services":[{"name":"s","resources":{"r":[{"id":"x"},{"id":"x"}]}}]})", "id used twice"},
        {R"({"services":[{"name":"s","basePath":"api"}]})", "basePath"}, {R"({"services":[{"name":"a b"}]})", "name"},
        {R"({"services":[{"name":"s","origin":"elsewhere"}]})", "unknown origin"},
        {R"({"services":[{"name":"s","basePath":"/"}]})", "registry"},
        {R"({"services":[{"name":"s","resolve":"sometimes"}]})", "resolve"},
        {R"({"services":[{"name":"s"},{"name":"s","basePath":"/b/"}]})", "named twice"},
        {R"({"origins":[{"name":"o","port":70000}]})", "port"},
        {R"({"services":[{"name":"s","basePath":"/_admin/"}]})", "basePath"},
        {R"({"services":[{"name":"s","resources":{"r":[{"name":"no id"}]}}]})", "id"}};
    for (const auto& [data, fragment] : broken) {
        DevServerOptions options;
        options.data = JsonFactory::parseObject(data);
        try {
            DevServer server(options);
            ADD_FAILURE() << "accepted " << data;
        } catch (const std::runtime_error& e) {
            EXPECT_TRUE(contains(e.what(), fragment)) << e.what();
        }
    }
    DevServerOptions missing;
    missing.dataFile = ::testing::TempDir() + "no-such-devserver-data.json";
    EXPECT_THROW(DevServer{missing}, std::runtime_error);
}

TEST(DevServerDataTest, ServesTheOriginsServicesAndEntriesOfAGivenDataFile) {
    const std::string path = ::testing::TempDir() + "devserver-data.json";
    std::ofstream(path) << R"({"origins":[{"name":"a"},{"name":"b"}], "registry":{"origin":"b","basePath":"/registry/"},
        "pageSize":2, "services":[{"name":"settings","origin":"a","basePath":"/x/y/",
                                   "resources":{"values":[{"id":"v1","level":3},{"id":"v2"},{"id":"v3"}]}},
                                  {"name":"hidden","listed":false}],
        "registryEntries":[{"name":"remote","uri":"http://192.0.2.1:9000/api/remote/","port":9000}]})";
    DevServerOptions options;
    options.dataFile = path;
    options.loggerFactory = std::make_shared<qelutil::LoggerFactory>(qelutil::ILogger::WARNING);
    DevServer server(options);
    server.start();
    std::remove(path.c_str());
    const std::string a = server.service("settings").origin, b = server.origins().at(1);
    EXPECT_EQ(a + "/x/y/", server.service("settings").baseUri());
    EXPECT_NE(a, b);
    const Reply values = get(a, "/x/y/settings/values");
    EXPECT_EQ((Strings{"v1", "v2"}), ids(*values.data()));
    EXPECT_EQ("v1", values.data()->getObject(0)->getString("name")) << "a missing name defaults to the id";
    EXPECT_EQ("/x/y/settings/values/v1", values.data()->getObject(0)->getString("uri"));
    ASSERT_EQ(b + "/registry/", server.registryBaseUri());
    const Reply listing = get(b, "/registry/");
    ASSERT_EQ(2u, listing.data()->size());
    EXPECT_EQ(2, listing.paging()->getLong("limit"));
    EXPECT_EQ("settings", listing.data()->getObject(0)->getString("name"));
    EXPECT_EQ("http://192.0.2.1:9000/api/remote/", listing.data()->getObject(1)->getString("uri"));
    EXPECT_EQ(200, get(b, "/registry/remote").status);
    EXPECT_EQ(404, get(b, "/registry/hidden").status);
}

TEST(DevServerProgramTest, AnnouncesItselfServesAndExitsCleanlyOnSigterm) {
    int pipeFds[2];
    ASSERT_EQ(0, pipe(pipeFds));
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
    std::string program = QEL_DEVSERVER_PROGRAM;
    std::vector<char*> argv{program.data(), const_cast<char*>("--port"), const_cast<char*>("0"), nullptr};
    pid_t pid = 0;
    ASSERT_EQ(0, posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ));
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[1]);
    pollfd readable{pipeFds[0], POLLIN, 0};
    char line[4096] = {};
    FILE* out = fdopen(pipeFds[0], "r");
    ASSERT_TRUE(poll(&readable, 1, 20000) == 1 && fgets(line, sizeof(line), out)) << "no ready line";
    fclose(out);
    const auto ready = JsonFactory::parseObject(line);
    EXPECT_TRUE(ready->getBool("ready"));
    const std::string registry = ready->getString("registry");
    EXPECT_EQ(registry + "api/", ready->getObject("services")->getString("media"));
    const Reply listing = get(registry.substr(0, registry.size() - 1), "/api/media/tracks?$limit=1");
    EXPECT_EQ(200, listing.status);
    EXPECT_EQ(60, listing.paging()->getLong("total"));

    ASSERT_EQ(0, kill(pid, SIGTERM));
    int status = -1;
    const bool exited = waitFor([&] { return waitpid(pid, &status, WNOHANG) == pid; }, std::chrono::seconds(20));
    if (!exited) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    ASSERT_TRUE(exited);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status));
}

}  // namespace
