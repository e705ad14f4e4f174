#include "ServerModel.h"

#include <QelAccessUtility/JsonArray.h>
#include <QelAccessUtility/JsonFactory.h>

#include <array>

namespace qeldev {

using qelutil::JsonArray;
using qelutil::JsonFactory;
using qelutil::JsonObject;

namespace {

constexpr std::size_t TRACK_COUNT = 60;
constexpr std::size_t TRACKS_PER_ALBUM = 6;

const std::array<const char*, 5> ARTISTS = {"Nordlicht", "The Quiet Engines", "Mira Sol", "Kestrel Park",
                                            "Anna Voss"};
const std::array<const char*, 10> ALBUMS = {"First Light", "Harbour Lines", "Paper Moons", "Slow Rivers",
                                            "Static Bloom", "Glass Hours", "Night Ferry", "Open Roads",
                                            "Salt and Cedar", "Late Signals"};
const std::array<const char*, 12> WORDS = {"Amber", "Drift", "Echo", "Falling", "Harbour", "Lantern",
                                           "Meadow", "North", "Quiet", "Silver", "Tide", "Wander"};
const std::array<const char*, 4> GENRES = {"pop", "rock", "jazz", "electronic"};

JsonArray::Shared stringArray(std::initializer_list<const char*> values) {
    auto array = JsonFactory::createJsonArray();
    for (const char* value : values) array->addString(value);
    return array;
}

JsonObject::Shared track(std::size_t n) {
    const std::size_t album = (n - 1) / TRACKS_PER_ALBUM;
    auto element = JsonFactory::createJsonObject();
    element->setString("id", "t" + std::to_string(n));
    element->setString("name", std::string(WORDS[n % WORDS.size()]) + " " + WORDS[(n * 7 + 3) % WORDS.size()] +
                                   " " + std::to_string(n));
    element->setString("artist", ARTISTS[album % ARTISTS.size()]);
    element->setString("album", ALBUMS[album]);
    element->setString("albumId", "a" + std::to_string(album + 1));
    element->setLong("trackNumber", static_cast<int64_t>((n - 1) % TRACKS_PER_ALBUM + 1));
    element->setLong("duration", static_cast<int64_t>(150 + (n * 37) % 200));
    element->setLong("year", static_cast<int64_t>(1995 + album * 3));
    element->setString("genre", GENRES[album % GENRES.size()]);
    element->setDouble("rating", static_cast<double>((n * 13) % 50) / 10.0);
    element->setBool("favorite", n % 7 == 0);
    return element;
}

JsonObject::Shared albumElement(std::size_t index) {
    auto element = JsonFactory::createJsonObject();
    element->setString("id", "a" + std::to_string(index + 1));
    element->setString("name", ALBUMS[index]);
    element->setString("artist", ARTISTS[index % ARTISTS.size()]);
    element->setLong("year", static_cast<int64_t>(1995 + index * 3));
    element->setLong("trackCount", static_cast<int64_t>(TRACKS_PER_ALBUM));
    return element;
}

JsonObject::Shared mediaService() {
    auto tracks = JsonFactory::createJsonArray();
    for (std::size_t n = 1; n <= TRACK_COUNT; ++n) tracks->addObject(*track(n));
    auto albums = JsonFactory::createJsonArray();
    for (std::size_t i = 0; i < ALBUMS.size(); ++i) albums->addObject(*albumElement(i));
    auto resources = JsonFactory::createJsonObject();
    resources->setArray("tracks", *tracks);
    resources->setArray("albums", *albums);

    auto service = JsonFactory::createJsonObject();
    service->setString("name", "media");
    service->setString("origin", "main");
    service->setString("basePath", "/api/");
    service->setString("description", "Music library");
    service->setArray("serviceCategories", *stringArray({"entertainment"}));
    service->setArray("privileges", *stringArray({}));
    service->setArray("versions", *stringArray({"1.0"}));
    service->setString("registryUri", "relative");
    service->setString("resolve", "entry");
    service->setObject("resources", *resources);
    return service;
}

JsonObject::Shared destination(const char* id, const char* name, double latitude, double longitude,
                               const char* category) {
    auto element = JsonFactory::createJsonObject();
    element->setString("id", id);
    element->setString("name", name);
    element->setDouble("latitude", latitude);
    element->setDouble("longitude", longitude);
    element->setString("category", category);
    return element;
}

JsonObject::Shared route(const char* id, const char* name, const char* from, const char* to, double km,
                         bool active) {
    auto element = JsonFactory::createJsonObject();
    element->setString("id", id);
    element->setString("name", name);
    element->setString("from", from);
    element->setString("to", to);
    element->setDouble("distanceKm", km);
    element->setBool("active", active);
    return element;
}

JsonObject::Shared navigationService() {
    auto destinations = JsonFactory::createJsonArray();
    destinations->addObject(*destination("d1", "Home", 48.1372, 11.5756, "private"));
    destinations->addObject(*destination("d2", "Office", 48.1485, 11.5672, "work"));
    destinations->addObject(*destination("d3", "Airport", 48.3538, 11.7861, "travel"));
    destinations->addObject(*destination("d4", "Central Station", 48.1402, 11.5600, "travel"));
    destinations->addObject(*destination("d5", "Lakeside Park", 47.9990, 11.3390, "leisure"));
    destinations->addObject(*destination("d6", "Harbour Market", 48.1250, 11.6010, "shopping"));
    destinations->addObject(*destination("d7", "Mountain Hut", 47.4210, 10.9850, "leisure"));
    destinations->addObject(*destination("d8", "Clinic", 48.1590, 11.5890, "service"));
    auto routes = JsonFactory::createJsonArray();
    routes->addObject(*route("r1", "Commute", "d1", "d2", 4.2, true));
    routes->addObject(*route("r2", "To the airport", "d1", "d3", 38.5, false));
    routes->addObject(*route("r3", "Weekend trip", "d1", "d7", 121.0, false));
    auto resources = JsonFactory::createJsonObject();
    resources->setArray("destinations", *destinations);
    resources->setArray("routes", *routes);

    auto service = JsonFactory::createJsonObject();
    service->setString("name", "navigation");
    service->setString("origin", "nav");
    service->setString("basePath", "/nav/");
    service->setString("description", "Destinations and routes");
    service->setArray("serviceCategories", *stringArray({"navigation"}));
    service->setArray("privileges", *stringArray({"location"}));
    service->setArray("versions", *stringArray({"2.1"}));
    service->setString("registryUri", "absolute");
    service->setString("resolve", "redirect");
    service->setObject("resources", *resources);
    return service;
}

JsonObject::Shared zone(const char* id, const char* name, double temperature) {
    auto element = JsonFactory::createJsonObject();
    element->setString("id", id);
    element->setString("name", name);
    element->setDouble("temperature", temperature);
    element->setLong("fanLevel", 2);
    return element;
}

JsonObject::Shared climateService() {
    auto zones = JsonFactory::createJsonArray();
    zones->addObject(*zone("z1", "Driver", 21.5));
    zones->addObject(*zone("z2", "Passenger", 22.0));
    zones->addObject(*zone("z3", "Rear", 20.0));
    auto resources = JsonFactory::createJsonObject();
    resources->setArray("zones", *zones);

    auto remote = JsonFactory::createJsonObject();
    remote->setString("description", "climate on the rear unit");
    remote->setString("hostAddress", "http://192.0.2.10:8080/api/");
    remote->setString("versions", "1.0");
    auto local = JsonFactory::createJsonObject();
    local->setString("description", "climate on this host");
    local->setString("versions", "1.1");
    auto choices = JsonFactory::createJsonArray();
    choices->addObject(*remote);
    choices->addObject(*local);

    auto service = JsonFactory::createJsonObject();
    service->setString("name", "climate");
    service->setString("origin", "main");
    service->setString("basePath", "/api/");
    service->setString("description", "Cabin climate");
    service->setArray("serviceCategories", *stringArray({"vehicle"}));
    service->setArray("privileges", *stringArray({}));
    service->setArray("versions", *stringArray({"1.0", "1.1"}));
    service->setString("resolve", "choices");
    service->setArray("choices", *choices);
    service->setObject("resources", *resources);
    return service;
}

JsonObject::Shared origin(const char* name) {
    auto entry = JsonFactory::createJsonObject();
    entry->setString("name", name);
    entry->setLong("port", 0);
    return entry;
}

}  // namespace

JsonObject::Shared buildExampleData() {
    auto origins = JsonFactory::createJsonArray();
    origins->addObject(*origin("main"));
    origins->addObject(*origin("nav"));
    auto registry = JsonFactory::createJsonObject();
    registry->setString("origin", "main");
    registry->setString("basePath", "/");
    auto services = JsonFactory::createJsonArray();
    services->addObject(*mediaService());
    services->addObject(*navigationService());
    services->addObject(*climateService());

    auto data = JsonFactory::createJsonObject();
    data->setArray("origins", *origins);
    data->setObject("registry", *registry);
    data->setArray("services", *services);
    return data;
}

}  // namespace qeldev
