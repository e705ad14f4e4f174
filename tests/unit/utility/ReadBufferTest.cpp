#include <QelAccessUtility/JsonParser.h>
#include <QelAccessUtility/ReadBuffer.h>

#include <gtest/gtest.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

using qelutil::JsonObject;
using qelutil::ReadBuffer;
using Result = ReadBuffer::ParseResult;

namespace {

// Writes `text` into the buffer the way the receive loop does: into the free
// space at getHead(), at most `chunk` bytes per receive.
std::size_t receive(ReadBuffer& buffer, const std::string& text, std::size_t offset, std::size_t chunk) {
    const std::size_t n = std::min({chunk, text.size() - offset, buffer.getRemainingBytes()});
    std::memcpy(buffer.getHead(), text.data() + offset, n);
    buffer.read(n);
    return n;
}

// Feeds `text` in chunks, splitting (or parsing) after every chunk; returns
// the objects and the results that were not OK.
template <typename Object = std::string>
std::vector<Object> feed(ReadBuffer& buffer, const std::string& text, std::size_t chunk,
                         std::vector<Result>* problems = nullptr) {
    std::vector<Object> objects;
    for (std::size_t offset = 0; offset < text.size();) {
        const std::size_t n = receive(buffer, text, offset, chunk);
        EXPECT_GT(n, 0u) << "no free space at offset " << offset;
        if (n == 0) break;
        offset += n;
        Result result;
        if constexpr (std::is_same<Object, std::string>::value) {
            result = buffer.splitJsonObjects(objects);
        } else {
            result = buffer.parseJsonObjects(objects);
        }
        if (problems) {
            if (result != Result::OK) problems->push_back(result);
        } else {
            EXPECT_EQ(result, Result::OK) << buffer.getLastError();
        }
    }
    return objects;
}

// Puts `text` into the buffer in one receive.
void put(ReadBuffer& buffer, const std::string& text) {
    ASSERT_GE(buffer.getRemainingBytes(), text.size());
    std::memcpy(buffer.getHead(), text.data(), text.size());
    buffer.read(text.size());
}

std::string join(const std::vector<std::string>& parts, const std::string& separator) {
    std::string out;
    for (const auto& part : parts) out += part + separator;
    return out;
}

const std::vector<std::string> TRICKY = {
    R"({"a":"x\"}{"})",                      // escaped quote, braces in a string
    R"({"b":"\\"})",                         // escaped backslash right before the closing quote
    R"({"c":"\\\"{\\","d":"}}}"})",          // backslash runs of odd and even length
    R"({"n":{"m":{"o":[1,{"p":"}"}]}},"q":{}})",
    R"({"u":"\u007b\u0022"})",
    R"({})",
};

}  // namespace

TEST(ReadBufferTest, SplitsTrickyObjectsAtEveryCutPoint) {
    const std::string stream = join(TRICKY, " \r\n\t");
    for (std::size_t chunk = 1; chunk <= stream.size(); ++chunk) {
        ReadBuffer buffer(64);
        EXPECT_EQ(feed(buffer, stream, chunk), TRICKY) << "chunk size " << chunk;
        EXPECT_TRUE(buffer.isEmpty());
    }
}

TEST(ReadBufferTest, SplitsRandomObjectsFedInRandomPieces) {
    std::mt19937 random(12345);
    const std::string alphabet = "ab{}[]\"\\:,/ \n\t\x01\xC3\xA9";
    auto randomText = [&] {
        std::string text(random() % 24, ' ');
        for (char& c : text) c = alphabet[random() % alphabet.size()];
        return text;
    };
    std::vector<std::string> objects;
    std::string stream;
    for (int i = 0; i < 300; ++i) {
        rapidjson::StringBuffer out;
        rapidjson::Writer<rapidjson::StringBuffer> writer(out);
        writer.StartObject();
        const int members = static_cast<int>(random() % 4);
        for (int m = 0; m < members; ++m) {
            writer.Key(randomText().c_str());
            if (random() % 2) {
                writer.StartObject();
                writer.Key(randomText().c_str());
                writer.String(randomText().c_str());
                writer.EndObject();
            } else {
                writer.String(randomText().c_str());
            }
        }
        writer.EndObject();
        objects.emplace_back(out.GetString(), out.GetSize());
        stream += objects.back() + std::string(random() % 3, '\n');
    }
    ReadBuffer buffer(128);
    std::vector<std::string> split;
    for (std::size_t offset = 0; offset < stream.size();) {
        offset += receive(buffer, stream, offset, 1 + random() % 200);
        ASSERT_EQ(buffer.splitJsonObjects(split), Result::OK) << buffer.getLastError();
    }
    EXPECT_EQ(split, objects);
    EXPECT_TRUE(buffer.isEmpty());
}

TEST(ReadBufferTest, KeepsAnIncompleteTailAtTheStartAndReceivesBehindIt) {
    ReadBuffer buffer(64);
    const std::string first = R"({"a":1}{"b":2}  {"c":)";
    put(buffer, first);

    std::vector<std::string> objects;
    EXPECT_EQ(buffer.splitJsonObjects(objects), Result::OK);
    EXPECT_EQ(objects, (std::vector<std::string>{R"({"a":1})", R"({"b":2})"}));
    EXPECT_EQ(buffer.getContent(), R"({"c":)");
    EXPECT_EQ(std::string(buffer.getBuffer(), 5), R"({"c":)");
    EXPECT_EQ(buffer.getHead(), buffer.getBuffer() + 5);

    const std::string rest = R"("}"})";
    put(buffer, rest);
    objects.clear();
    EXPECT_EQ(buffer.splitJsonObjects(objects), Result::OK);
    EXPECT_EQ(objects, std::vector<std::string>{R"({"c":"}"})"});
    EXPECT_TRUE(buffer.isEmpty());
}

TEST(ReadBufferTest, HeadAndFreeSpaceAgreeInWhicheverOrderTheyAreTaken) {
    // As arguments of one receive call the two are evaluated in an
    // unspecified order; either may be the one that grows the buffer.
    const std::string start = R"({"a":"0123456)";
    const std::string rest = R"(789"})";
    for (const bool headFirst : {true, false}) {
        ReadBuffer buffer(16, 1024);
        std::memcpy(buffer.getHead(), start.data(), start.size());
        buffer.read(start.size());
        char* head = nullptr;
        std::size_t free = 0;
        if (headFirst) {
            head = buffer.getHead();
            free = buffer.getRemainingBytes();
        } else {
            free = buffer.getRemainingBytes();
            head = buffer.getHead();
        }
        ASSERT_GT(buffer.getLength(), 16u) << "the buffer was expected to grow here";
        EXPECT_EQ(head, buffer.getBuffer() + start.size());
        ASSERT_GE(free, rest.size());
        std::memcpy(head, rest.data(), rest.size());
        buffer.read(rest.size());
        std::vector<std::string> objects;
        EXPECT_EQ(buffer.splitJsonObjects(objects), Result::OK);
        EXPECT_EQ(objects, std::vector<std::string>{start + rest});
    }
}

TEST(ReadBufferTest, DropsGarbageBeforeAndBetweenObjects) {
    ReadBuffer buffer(64);
    std::vector<std::string> objects;
    const std::string stream = "xyz{\"a\":1} ]]\x01{\"b\":2}\"tail\"";
    put(buffer, stream);

    EXPECT_EQ(buffer.splitJsonObjects(objects), Result::GARBAGE_DROPPED);
    EXPECT_EQ(objects, (std::vector<std::string>{R"({"a":1})", R"({"b":2})"}));
    EXPECT_EQ(buffer.getLastError(), "dropped 3 bytes that cannot start a JSON object: \"xyz\"");
    EXPECT_TRUE(buffer.isEmpty()) << "garbage without a following '{' is dropped entirely";

    const std::string control = "\x01\x02{}";
    put(buffer, control);
    EXPECT_EQ(buffer.splitJsonObjects(objects), Result::GARBAGE_DROPPED);
    EXPECT_EQ(buffer.getLastError(), "dropped 2 bytes that cannot start a JSON object: \"\\x01\\x02\"");

    const std::string clean = " {\"c\":3}";
    put(buffer, clean);
    EXPECT_EQ(buffer.splitJsonObjects(objects), Result::OK);
    EXPECT_EQ(buffer.getLastError(), "");
    EXPECT_EQ(objects.back(), R"({"c":3})");
}

TEST(ReadBufferTest, GrowsForALargeMessageArrivingInSmallPiecesAndShrinksAfterwards) {
    std::string big = R"({"data":")";
    while (big.size() < 600 * 1024) big += R"(brace { quote \" backslash \\ close } )";
    big += R"("})";
    const std::string small = R"({"next":true})";
    const std::string stream = big + "\n" + small;

    ReadBuffer buffer;
    std::vector<std::string> objects;
    std::size_t largest = 0;
    for (std::size_t offset = 0; offset < stream.size();) {
        const std::size_t free = buffer.getRemainingBytes();
        ASSERT_GE(free, ReadBuffer::DEFAULT_LENGTH / 2) << "a receive of half the initial length must fit";
        largest = std::max(largest, buffer.getLength());
        offset += receive(buffer, stream, offset, 1000);
        ASSERT_EQ(buffer.splitJsonObjects(objects), Result::OK);
        if (offset < big.size()) {
            ASSERT_TRUE(objects.empty());
        }
    }
    ASSERT_EQ(objects.size(), 2u);
    EXPECT_EQ(objects[0], big);
    EXPECT_EQ(objects[1], small);
    EXPECT_GT(largest, ReadBuffer::DEFAULT_LENGTH);
    EXPECT_LE(largest, 2 * stream.size());
    EXPECT_EQ(buffer.getLength(), ReadBuffer::DEFAULT_LENGTH);
}

TEST(ReadBufferTest, ReportsAnObjectFillingTheMaximumAndSkipsItsRest) {
    ReadBuffer buffer(64, 256);
    const std::string start = R"({"a":")";
    put(buffer, start);
    std::vector<std::string> objects;
    while (buffer.getRemainingBytes() > 0) {
        ASSERT_FALSE(buffer.isAtMaximum());
        const std::size_t n = std::min<std::size_t>(10, buffer.getRemainingBytes());
        std::memset(buffer.getHead(), 'x', n);
        buffer.read(n);
        const Result expected = buffer.isAtMaximum() ? Result::OVERSIZED : Result::OK;
        ASSERT_EQ(buffer.splitJsonObjects(objects), expected);
        if (buffer.isEmpty()) break;
    }
    EXPECT_TRUE(objects.empty());
    EXPECT_EQ(buffer.getLastError(),
              "dropped an incomplete JSON object of 256 bytes: it reaches the maximum message size of 256 bytes");
    EXPECT_TRUE(buffer.isEmpty());
    EXPECT_EQ(buffer.getLength(), 64u);

    // The rest of the dropped object, including a nested object, is not
    // mistaken for messages; the next object is.
    const std::string rest = R"(xx\"{","inner":{"k":1}} {"ok":1})";
    EXPECT_EQ(feed(buffer, rest, 7), std::vector<std::string>{R"({"ok":1})"});
    EXPECT_TRUE(buffer.isEmpty());
}

TEST(ReadBufferTest, ClearForgetsAnOversizedObject) {
    ReadBuffer buffer(8, 16);
    std::vector<std::string> objects;
    while (const std::size_t free = buffer.getRemainingBytes()) {
        std::memset(buffer.getHead(), '{', free);
        buffer.read(free);
    }
    ASSERT_EQ(buffer.splitJsonObjects(objects), Result::OVERSIZED);
    buffer.clear();
    EXPECT_EQ(feed(buffer, R"({"b":2})", 4), std::vector<std::string>{R"({"b":2})"});
}

TEST(ReadBufferTest, RejectsReadsBeyondTheFreeSpace) {
    ReadBuffer buffer(16, 32);
    const std::size_t free = buffer.getRemainingBytes();
    EXPECT_THROW(buffer.read(free + 1), std::length_error);
    EXPECT_EQ(buffer.getReadBytes(), 0u);

    std::memset(buffer.getHead(), '{', free);
    buffer.read(free);
    while (const std::size_t more = buffer.getRemainingBytes()) {
        std::memset(buffer.getHead(), '{', more);
        buffer.read(more);
    }
    EXPECT_EQ(buffer.getLength(), 32u);
    EXPECT_TRUE(buffer.isAtMaximum());
    EXPECT_THROW(buffer.read(1), std::length_error);
    EXPECT_EQ(buffer.getReadBytes(), 32u);

    EXPECT_THROW(ReadBuffer(0), std::invalid_argument);
    EXPECT_THROW(buffer.setMaxMessageSize(0), std::invalid_argument);
}

TEST(ReadBufferTest, LoweringTheMaximumBelowTheContentReportsOversized) {
    ReadBuffer buffer(64);
    std::vector<std::string> objects;
    feed(buffer, R"({"a":"0123456789)", 64);
    buffer.setMaxMessageSize(8);
    EXPECT_EQ(buffer.getRemainingBytes(), 0u);
    EXPECT_EQ(buffer.splitJsonObjects(objects), Result::OVERSIZED);
    EXPECT_TRUE(buffer.isEmpty());
}

TEST(ReadBufferTest, ScansVeryDeepNestingWithoutRecursion) {
    const std::size_t depth = 200000;
    const std::string deep = std::string(depth, '{') + std::string(depth, '}');
    ReadBuffer buffer;
    EXPECT_EQ(feed(buffer, deep + "{}", 4096), (std::vector<std::string>{deep, "{}"}));
}

TEST(ReadBufferTest, ParsesObjectsInArrivalOrderIntoObjectsIndependentOfTheBuffer) {
    const std::string stream = R"({"type":"data","event":"e1","data":{"k":"v}\"{"}} )"
                               R"({"type":"error","message":"Gone"}{"type":"subscribe"})";
    ReadBuffer buffer(32);
    std::vector<Result> problems;
    const auto objects = feed<JsonObject::Shared>(buffer, stream, 5, &problems);
    EXPECT_TRUE(problems.empty());
    ASSERT_EQ(objects.size(), 3u);
    EXPECT_TRUE(buffer.isEmpty());

    // Whatever the receiver writes next must not change the parsed objects.
    std::memset(buffer.getBuffer(), 'x', buffer.getLength());
    EXPECT_EQ(objects[0]->getString("type"), "data");
    EXPECT_EQ(objects[0]->getObject("data")->getString("k"), "v}\"{");
    EXPECT_EQ(objects[1]->getString("message"), "Gone");
    EXPECT_EQ(objects[2]->getString("type"), "subscribe");
}

TEST(ReadBufferTest, DropsMalformedObjectsAndGoesOnWithTheNext) {
    ReadBuffer buffer;
    const std::string stream = "{\"a\":}{\"b\":2} {\"c\":[1,}{\"u\":\"\xC3\"}{\"e\":";
    put(buffer, stream);

    std::vector<JsonObject::Shared> objects;
    EXPECT_EQ(buffer.parseJsonObjects(objects), Result::MALFORMED);
    ASSERT_EQ(objects.size(), 1u);
    EXPECT_EQ(objects[0]->getLong("b"), 2);
    const std::string prefix = "dropped a malformed JSON object of 6 bytes: ";
    EXPECT_EQ(buffer.getLastError().substr(0, prefix.size()), prefix);
    EXPECT_GT(buffer.getLastError().size(), prefix.size()) << "the parser's reason follows";
    EXPECT_EQ(buffer.getContent(), R"({"e":)");

    const std::string rest = "5}";
    put(buffer, rest);
    EXPECT_EQ(buffer.parseJsonObjects(objects), Result::OK);
    EXPECT_EQ(buffer.getLastError(), "");
    ASSERT_EQ(objects.size(), 2u);
    EXPECT_EQ(objects[1]->getLong("e"), 5);
}

TEST(ReadBufferTest, LeavesNestingBeyondTheParserLimitToTheParser) {
    auto nested = [](std::size_t depth) {
        std::string text;
        for (std::size_t i = 1; i < depth; ++i) text += R"({"a":)";
        return text + "{}" + std::string(depth - 1, '}');
    };
    ReadBuffer buffer;
    std::vector<Result> problems;
    const auto objects =
        feed<JsonObject::Shared>(buffer, nested(64) + nested(200000) + R"({"after":true})", 4096, &problems);
    EXPECT_EQ(problems, std::vector<Result>{Result::MALFORMED});
    ASSERT_EQ(objects.size(), 2u);
    EXPECT_TRUE(objects[0]->isObject("a"));
    EXPECT_TRUE(objects[1]->getBool("after"));
}
