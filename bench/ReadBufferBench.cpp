// Throughput of cutting a stream of typical subscription messages out of
// received frames and parsing them (ReadBuffer::parseJsonObjects), against
// parsing the same messages, already split, with a fresh rapidjson::Document
// each. Prints the ratio of the two at the end, and the ratio to parsing the
// pre-split messages with the library's own JSON parser, which is what the
// buffer itself adds.

#include <QelAccessUtility/JsonFactory.h>
#include <QelAccessUtility/ReadBuffer.h>

#include "BenchSummary.h"
#include "RateCollector.h"

#include <benchmark/benchmark.h>
#include <rapidjson/document.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

constexpr std::size_t MESSAGE_COUNT = 1000;

// Messages of 200 to 500 bytes shaped like element updates.
std::vector<std::string> makeMessages() {
    std::mt19937 random(7);
    const std::string words[] = {"front", "left", "seat", "media", "volume", "track", "{zone}", "\\\"quoted\\\""};
    std::vector<std::string> messages;
    for (std::size_t i = 0; i < MESSAGE_COUNT; ++i) {
        const std::size_t target = 200 + random() % 301;
        std::string message = R"({"type":"data","event":"ev_)" + std::to_string(random() % 100) +
                              R"(","data":{"id":"element-)" + std::to_string(i) +
                              R"(","value":)" + std::to_string(random() % 100000) +
                              R"(,"active":true,"position":{"x":)" + std::to_string(random() % 1000) +
                              R"(,"y":-12.5},"tags":["a","b"],"description":")";
        const std::string end = R"("}})";
        while (message.size() + end.size() < target) {
            message += words[random() % 8];
            message += ' ';
        }
        // Keep the description a valid string: never end on half an escape.
        while (message.size() + end.size() > target && message.back() == ' ') message.pop_back();
        message += end;
        messages.push_back(message);
    }
    return messages;
}

const std::vector<std::string>& messages() {
    static const std::vector<std::string> all = makeMessages();
    return all;
}

// The stream cut into frames: one message per frame when frameSize is 0.
std::vector<std::string> makeFrames(std::size_t frameSize) {
    if (frameSize == 0) return messages();
    std::string stream;
    for (const auto& message : messages()) stream += message;
    std::vector<std::string> frames;
    for (std::size_t offset = 0; offset < stream.size(); offset += frameSize)
        frames.push_back(stream.substr(offset, frameSize));
    return frames;
}

void receive(qelutil::ReadBuffer& buffer, const std::string& frame) {
    if (buffer.getRemainingBytes() < frame.size()) std::abort();  // frames are far below the free space
    std::memcpy(buffer.getHead(), frame.data(), frame.size());
    buffer.read(frame.size());
}

void readBufferParse(benchmark::State& state, std::size_t frameSize) {
    const auto frames = makeFrames(frameSize);
    qelutil::ReadBuffer buffer;
    std::vector<qelutil::JsonObject::Shared> objects;
    std::size_t parsed = 0;
    for (auto _ : state) {
        for (const auto& frame : frames) {
            receive(buffer, frame);
            if (buffer.parseJsonObjects(objects) != qelutil::ReadBuffer::ParseResult::OK) {
                state.SkipWithError(buffer.getLastError().c_str());
                return;
            }
            parsed += objects.size();
            objects.clear();
        }
    }
    if (parsed != state.iterations() * MESSAGE_COUNT) state.SkipWithError("messages lost");
    state.SetItemsProcessed(static_cast<int64_t>(parsed));
}

void readBufferSplit(benchmark::State& state, std::size_t frameSize) {
    const auto frames = makeFrames(frameSize);
    qelutil::ReadBuffer buffer;
    std::vector<std::string> objects;
    std::size_t split = 0;
    for (auto _ : state) {
        for (const auto& frame : frames) {
            receive(buffer, frame);
            buffer.splitJsonObjects(objects);
            split += objects.size();
            objects.clear();
        }
    }
    state.SetItemsProcessed(static_cast<int64_t>(split));
}

void rapidJsonPreSplit(benchmark::State& state) {
    const auto& all = messages();
    std::size_t parsed = 0;
    for (auto _ : state) {
        for (const auto& message : all) {
            rapidjson::Document document;
            document.Parse(message.data(), message.size());
            if (document.HasParseError() || !document.IsObject()) {
                state.SkipWithError("RapidJSON rejected a message");
                return;
            }
            benchmark::DoNotOptimize(document.MemberCount());
            ++parsed;
        }
    }
    state.SetItemsProcessed(static_cast<int64_t>(parsed));
}

void jsonParserPreSplit(benchmark::State& state) {
    const auto& all = messages();
    const auto parser = qelutil::JsonFactory::createJsonParser();
    std::size_t parsed = 0;
    for (auto _ : state) {
        for (const auto& message : all) {
            benchmark::DoNotOptimize(parser->parse(message.data(), message.size())->getRootObject());
            ++parsed;
        }
    }
    state.SetItemsProcessed(static_cast<int64_t>(parsed));
}

const char* const BASELINE = "RapidJSON/pre_split";
const char* const OWN_PARSER = "JsonParser/pre_split";

void printRatios(const std::map<std::string, double>& rates, const char* baselineName, const char* label,
                 const std::vector<std::string>& names) {
    const auto baseline = rates.find(baselineName);
    if (baseline == rates.end() || baseline->second <= 0) return;
    for (const auto& name : names) {
        const auto rate = rates.find(name);
        if (rate == rates.end()) continue;
        std::printf("ratio ReadBuffer/%s (%s): %.2f\n", label, name.c_str() + std::strlen("ReadBuffer/"),
                    rate->second / baseline->second);
    }
}

}  // namespace

int main(int argc, char** argv) {
    const std::pair<std::string, std::size_t> parseRuns[] = {{"ReadBuffer/one_message_per_frame", 0},
                                                             {"ReadBuffer/frames_of_1400_bytes", 1400},
                                                             {"ReadBuffer/frames_of_16384_bytes", 16384}};
    std::vector<std::string> names;
    for (const auto& [name, frameSize] : parseRuns) {
        benchmark::RegisterBenchmark(name.c_str(), readBufferParse, frameSize);
        names.push_back(name);
    }
    benchmark::RegisterBenchmark("ReadBufferSplitOnly/frames_of_1400_bytes", readBufferSplit, 1400);
    benchmark::RegisterBenchmark(OWN_PARSER, jsonParserPreSplit);
    benchmark::RegisterBenchmark(BASELINE, rapidJsonPreSplit);

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    qelbench::RateCollector reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    printRatios(reporter.rates(), BASELINE, "RapidJSON", names);
    printRatios(reporter.rates(), OWN_PARSER, "JsonParser", names);
    for (const auto& name : names) {
        qelbench::printSummary({"ReadBuffer split + parse, " + name.substr(std::strlen("ReadBuffer/")),
                                "RapidJSON parse, pre-split",
                                qelbench::ratioOf(qelbench::RateCollector::of(reporter.rates(), name),
                                                  qelbench::RateCollector::of(reporter.rates(), BASELINE)),
                                false, 0.9});
    }
    return 0;
}
