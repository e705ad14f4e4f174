#include <QelAccessUtility/JsonFactory.h>
#include <QelAccessUtility/ReadBuffer.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using qelutil::JsonArray;
using qelutil::JsonDocument;
using qelutil::JsonException;
using qelutil::JsonFactory;
using qelutil::JsonObject;
using qelutil::JsonParser;
using qelutil::ReadBuffer;
using Result = ReadBuffer::ParseResult;
using Strings = std::vector<std::string>;

namespace {

// The message of the JsonException `f` throws; any other exception fails
// the test by itself.
std::string errorOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const JsonException& e) {
        return e.what();
    }
    return "no exception";
}

bool isParseError(const std::string& text) { return text.rfind("JSON parse error", 0) == 0; }

std::string repeat(const std::string& part, std::size_t times) {
    std::string text;
    for (std::size_t i = 0; i < times; ++i) text += part;
    return text;
}

const char* const RICH =
    R"({"s":"text","t":true,"f":false,"n":null,"i":-42,"u":42,"big":18446744073709551615,)"
    R"("min":-9223372036854775808,"over":9223372036854775808,"d":1.5,"whole":2.0,"e":1e3,)"
    R"("o":{"k":"v"},"a":[1,"x",{"k":1},[2],null]})";

class JsonModelTest : public ::testing::TestWithParam<JsonFactory::JsonImplementation> {
protected:
    void SetUp() override { JsonFactory::setImplementation(GetParam()); }
    void TearDown() override { JsonFactory::setImplementation(JsonFactory::RAPID_JSON); }

    static bool rapid() { return GetParam() == JsonFactory::RAPID_JSON; }
    static JsonDocument::Shared parse(const std::string& text) { return JsonFactory::createJsonParser()->parse(text); }
    static JsonObject::Shared parseObject(const std::string& text) { return JsonFactory::parseObject(text); }
    static std::string parseError(const std::string& text) {
        return errorOf([&] { parse(text); });
    }
};

TEST_P(JsonModelTest, ReadsEveryTypeWithItsNumberKindAndGettersNameWhatTheyMissed) {
    const auto o = parseObject(RICH);
    EXPECT_EQ(o->getString("s"), "text");
    std::string text = "kept";
    EXPECT_TRUE(!o->getStringIfPresent("absent", text) && text == "kept");
    EXPECT_TRUE(o->getStringIfPresent("s", text) && text == "text");
    EXPECT_TRUE(o->getBool("t") && !o->getBool("f") && o->isNull("n"));
    // Which of isLong, isULong and isDouble each number answers.
    for (const auto& [key, kinds] : std::vector<std::pair<std::string, std::string>>{{"i", "L"},
                                                                                     {"u", "LU"},
                                                                                     {"big", "U"},
                                                                                     {"min", "L"},
                                                                                     {"over", "U"},
                                                                                     {"d", "D"},
                                                                                     {"whole", "D"},
                                                                                     {"e", "D"}}) {
        EXPECT_EQ(std::string(o->isLong(key) ? "L" : "") + (o->isULong(key) ? "U" : "") + (o->isDouble(key) ? "D" : ""),
                  kinds)
            << key;
    }
    EXPECT_EQ(o->getULong("big"), std::numeric_limits<uint64_t>::max());
    EXPECT_EQ(o->getLong("min"), std::numeric_limits<int64_t>::min());
    EXPECT_EQ(o->getULong("over"), uint64_t(1) << 63);
    EXPECT_DOUBLE_EQ(o->getDouble("e"), 1000.0);
    EXPECT_DOUBLE_EQ(o->getDouble("i"), -42.0);
    EXPECT_DOUBLE_EQ(o->getDouble("big"), 18446744073709551615.0);
    EXPECT_EQ(o->getObject("o")->getString("k"), "v");
    EXPECT_EQ(o->getKeys(), (Strings{"s", "t", "f", "n", "i", "u", "big", "min", "over", "d", "whole", "e", "o", "a"}));
    for (const auto& test : {&JsonObject::isNull, &JsonObject::isString, &JsonObject::isLong, &JsonObject::isULong,
                             &JsonObject::isBool, &JsonObject::isDouble, &JsonObject::isObject, &JsonObject::isArray,
                             &JsonObject::has}) {
        EXPECT_FALSE(((*o).*test)("absent"));
    }
    const auto a = o->getArray("a");
    EXPECT_TRUE(a->size() == 5 && !a->isLong(5) && a->isObject(2) && a->isArray(3) && a->isNull(4));
    const std::vector<std::pair<std::function<void()>, std::string>> cases = {
        {[&] { o->getString("i"); }, R"(JSON member "i" is not a string)"},
        {[&] { o->getStringIfPresent("n", text); }, R"(JSON member "n" is not a string)"},
        {[&] { o->getLong("s"); }, R"(JSON member "s" is not a 64-bit integer)"},
        {[&] { o->getLong("big"); }, R"(JSON member "big" is not a 64-bit integer)"},
        {[&] { o->getLong("d"); }, R"(JSON member "d" is not a 64-bit integer)"},
        {[&] { o->getULong("i"); }, R"(JSON member "i" is not an unsigned 64-bit integer)"},
        {[&] { o->getBool("n"); }, R"(JSON member "n" is not a boolean)"},
        {[&] { o->getDouble("s"); }, R"(JSON member "s" is not a number)"},
        {[&] { o->getObject("a"); }, R"(JSON member "a" is not an object)"},
        {[&] { o->getArray("o"); }, R"(JSON member "o" is not an array)"},
        {[&] { o->getString("id"); }, R"(JSON member "id" is missing)"},
        {[&] { a->getObject(0); }, "JSON array element 0 is not an object"},
        {[&] { a->getString(4); }, "JSON array element 4 is not a string"},
        {[&] { a->getString(7); }, "JSON array index 7 is out of range (size 5)"},
        {[&] { a->removeAt(5); }, "JSON array index 5 is out of range (size 5)"},
        {[&] { parse("[1]")->getRootObject(); }, "JSON root is not an object"},
        {[&] { parse("{}")->getRootArray(); }, "JSON root is not an array"},
        {[&] { JsonFactory::parseObject("[]"); }, "JSON root is not an object"},
    };
    for (const auto& [call, expected] : cases) EXPECT_EQ(errorOf(call), expected);
}

TEST_P(JsonModelTest, MalformedOrUnsafeTextIsRejectedWithItsReason) {
    const Strings malformed = {
        R"({"a":1)", "{}{}", R"({"a":"\q"})", "{\"a\":\"\xff\xfe\"}", R"(["\ud800"])", R"({"a" 1})", "[1,]", "[01]",
        "[1.]", "[tru]", "[\"a\x01\"]", "[\"\\", "[", R"({"a":1,})", "\xef\xbb\xbf{}", std::string("{}\0x", 4),
        std::string("[1,\0 2]", 7), "[\"open", "[1e]", "[-]", "{'a':1}", "[NaN]", "[Infinity]", "/* c */ {}",
        "[1e400]", "[\"\\u12\"]", "]", "}", R"({"a":1} x)", repeat(R"({"a":)", 100000),
        "[" + repeat("{}", 10) + repeat("[", 100000)};
    for (const std::string& text : malformed) {
        const std::string error = parseError(text);
        EXPECT_TRUE(isParseError(error)) << text.substr(0, 40) << " -> " << error;
    }
    const std::string outOfRange = "number exponent out of range";
    const std::string tooDeep = "128: nesting deeper than 128";
    const std::size_t max = JsonParser::MAX_DEPTH;
    std::vector<std::pair<std::string, std::string>> cases = {
        {"", "0: the text is empty"}, {" \n", "2: the text is empty"},
        {"  42", "2: the root is neither an object nor an array"},
        {R"("text")", "0: the root is neither an object nor an array"},
        {repeat("[", max + 1) + repeat("]", max + 1), tooDeep}, {repeat("[", 100000), tooDeep},
        {"[1e-2147483649]", "1: " + outOfRange}, {"[0." + repeat("0", 30) + "1e-2147483647]", "1: " + outOfRange},
        {R"({"a":1, "b":-2.5E+99999})", "12: " + outOfRange}, {R"({"a":"1e99999", "b":1e99999})", "20: " + outOfRange},
    };
    for (const char* bad : {"\xff", "\xc0\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80", "\xe2\x82", "\x80"})
        cases.push_back({std::string("{\"k\":\"ab") + bad + "\"}", "8: invalid UTF-8 in string"});
    if (rapid()) {
        const std::string trailing = ": The document root must not be followed by other values.";
        cases.push_back({R"({"a":1} x)", "8" + trailing});
        cases.push_back({std::string("{} \0x", 5), "3" + trailing});
        cases.push_back({R"({"a":tru})", "8: Invalid value."});
    } else {
        // Integers beyond 64 bits: RapidJSON keeps them as doubles, Poco rejects them.
        EXPECT_TRUE(parseError("[123456789012345678901234567890]").rfind("JSON parse error: ", 0) == 0);
    }
    for (const auto& [text, expected] : cases)
        EXPECT_EQ(parseError(text), "JSON parse error at offset " + expected) << text.substr(0, 40);
}

// The same texts behind padding of every length over three 64-byte blocks,
// so that strings, escapes, numbers and brackets straddle block boundaries.
// Ends of an object {"pad":"...","v":[ that the text checks accept (empty
// reason) or reject at `offset` into the tail.
struct Tail {
    std::string text;
    std::string reason;
    std::size_t offset;
};

std::vector<Tail> checkedTails() {
    const std::size_t max = JsonParser::MAX_DEPTH;
    return {
        {"1e99999]}", "number exponent out of range", 0},
        {"\"\\\"\",-0.5E+12345]}", "number exponent out of range", 5},
        {"\"\\ud800x\"]}", "unpaired surrogate in string escape", 1},
        {"\"a\xe2\x82\"]}", "invalid UTF-8 in string", 2},
        {"\"ab\x1d\"]}", "unescaped control character in string", 3},
        {repeat("[", max - 1) + repeat("]", max) + "}", "nesting deeper than 128", max - 2},
        {"\"\\\"" + repeat("[", 200) + "\\\\\"]}", "", 0},
        {"1e-9999,true,false,\"\\u00e9\\ud834\\udd1e\",[" + repeat("[1],", 200) + "0]]}", "", 0},
    };
}

TEST_P(JsonModelTest, ChecksHoldWhereverTheTextFallsOnBlockBoundaries) {
    const std::vector<Tail> tails = checkedTails();
    for (std::size_t padding = 0; padding < 192; ++padding) {
        const std::string head = R"({"pad":")" + std::string(padding, 'e') + R"(","v":[)";
        for (const Tail& tail : tails) {
            const std::string error = parseError(head + tail.text);
            const std::string expected = tail.reason.empty() ? "no exception" :
                "JSON parse error at offset " + std::to_string(head.size() + tail.offset) + ": " + tail.reason;
            EXPECT_EQ(error, expected) << padding << " " << tail.text.substr(0, 20);
        }
    }
}

TEST_P(JsonModelTest, AcceptsWhatLiesWithinTheLimits) {
    const std::size_t max = JsonParser::MAX_DEPTH;
    EXPECT_TRUE(parse(repeat("[", max) + repeat("]", max))->isRootArray());
    const std::string deepest = repeat(R"({"a":)", max - 1) + "{}" + repeat("}", max - 1);
    EXPECT_EQ(parse(deepest)->getRootObject()->toString(), deepest);
    // Brackets inside strings, also behind escaped quotes, are not nesting.
    const std::string brackets = repeat("[{", 1000);
    EXPECT_EQ(parseObject(R"({"a":")" + brackets + R"("})")->getString("a"), brackets);
    EXPECT_EQ(parseObject(R"({"a":"\")" + brackets + R"(\\"})")->getString("a"), "\"" + brackets + "\\");

    const auto numbers = parse("[1E+000000000000000000002, 1e-400, 2.5e-3, -1e300, 0." + repeat("0", 5000) + "1e4000]")
                             ->getRootArray();
    for (const auto& [index, value] :
         std::vector<std::pair<int, double>>{{0, 100.0}, {1, 0.0}, {2, 0.0025}, {3, -1e300}})
        EXPECT_EQ(numbers->getDouble(index), value) << index;
    EXPECT_TRUE(numbers->isDouble(4));
    if (rapid()) {
        EXPECT_DOUBLE_EQ(parse("[123456789012345678901234567890]")->getRootArray()->getDouble(0),
                         1.2345678901234568e29);
    }

    const std::string valid = "\xc3\xa9\xe2\x82\xac\xf0\x9d\x84\x9e\xef\xbf\xbf";
    EXPECT_EQ(parseObject("{\"" + valid + "\":\"" + valid + "\"}")->getString(valid), valid);
    EXPECT_EQ(parseObject(R"({"a":1,"a":2})")->getLong("a"), 2);  // the last duplicate counts
}

TEST_P(JsonModelTest, ParsesOnlyTheGivenLengthAndRejectsEveryTruncation) {
    const std::vector<char> exact = {'[', '1', ',', '2', ']'};  // no terminating NUL
    EXPECT_EQ(JsonFactory::createJsonParser()->parse(exact.data(), exact.size())->getRootArray()->getLong(1), 2);
    EXPECT_EQ(JsonFactory::createJsonParser()->parse("{}garbage", 2)->getRootObject()->size(), 0u);

    const std::string text = RICH;
    for (std::size_t length = 0; length < text.size(); ++length) {
        const std::string error = errorOf([&] { JsonFactory::createJsonParser()->parse(text.data(), length); });
        EXPECT_TRUE(isParseError(error)) << length << ": " << error;
    }
}

TEST_P(JsonModelTest, TakenObjectsShareTheDocumentOutliveItAndFollowTheirMember) {
    JsonObject::Shared inner, root;
    JsonArray::Shared list;
    {
        const auto document = parse(R"({"outer":{"inner":{"name":"deep"}},"list":[{"x":1},{"x":2}]})");
        root = document->getRootObject();
        inner = root->getObject("outer")->getObject("inner");
        list = root->getArray("list");
    }
    const auto element = list->getObject(0);
    for (int i = 0; i < 100; ++i) {  // enough to move the members' storage
        root->setLong("k" + std::to_string(i), i);
        list->addLong(i);
        inner->setLong("c" + std::to_string(i), i);
    }
    element->setString("name", "first");
    EXPECT_EQ(root->getObject("outer")->getObject("inner")->getLong("c7"), 7);
    EXPECT_EQ(root->getArray("list")->getObject(0)->getString("name"), "first");
    EXPECT_EQ(root->getArray("list")->size(), 102u);
    root.reset();
    EXPECT_EQ(inner->getString("name"), "deep");
    EXPECT_EQ(list->getObject(1)->getLong("x"), 2);
    EXPECT_EQ(list->getObject(0)->toString(), R"({"x":1,"name":"first"})");
}

TEST_P(JsonModelTest, WritesCompactEscapedTextThatReadsBack) {
    // A long run of control characters: some of it falls into whole 16-byte blocks.
    const std::string awkward =
        std::string("q\"b\\s/\n\r\t\b\f\x01\x1f\x7f") + std::string(1, '\0') + "\xc3\xa9" + std::string(40, '\x1d');
    const auto o = JsonFactory::createJsonObject();
    o->setString("s", awkward);
    o->setLong("neg", -5);
    o->setULong("max", std::numeric_limits<uint64_t>::max());
    o->setLong("min", std::numeric_limits<int64_t>::min());
    o->setDouble("d", 1.5);
    o->setDouble("whole", 2.0);
    o->setBool("t", true);
    o->setNull("n");
    o->setObject("e", *JsonFactory::createJsonObject());
    const auto a = JsonFactory::createJsonArray();
    a->addLong(1);
    a->addString("two");
    a->addBool(true);
    a->addNull();
    a->addDouble(2.5);
    a->addObject(*parseObject(R"({"k":"v"})"));
    a->addArray(*parse("[1]")->getRootArray());
    a->addULong(std::numeric_limits<uint64_t>::max());
    for (double odd : {std::nan(""), std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity()})
        a->addDouble(odd);
    o->setArray("a", *a);
    const std::string text = o->toString();
    EXPECT_EQ(text, R"({"s":"q\"b\\s/\n\r\t\b\f\u0001\u001F)" "\x7f" R"(\u0000)" "\xc3\xa9" + repeat(R"(\u001D)", 40) +
                    R"(","neg":-5,"max":18446744073709551615,"min":-9223372036854775808,"d":1.5,"whole":2.0,)"
                    R"("t":true,"n":null,"e":{},"a":[1,"two",true,null,2.5,{"k":"v"},[1],18446744073709551615,)"
                    R"(null,null,null]})");
    const auto back = parseObject(text);
    EXPECT_EQ(back->getString("s"), awkward);
    EXPECT_TRUE(back->isDouble("whole"));
    EXPECT_EQ(back->toString(), text);
    const std::vector<double> values = {0.1, 123456.789, -2.5e-8, 1e300, 1.0};
    const auto numbers = JsonFactory::createJsonArray();
    for (double value : values) numbers->addDouble(value);
    const auto read = parse(numbers->toString())->getRootArray();
    for (std::size_t i = 0; i < values.size(); ++i)
        EXPECT_TRUE(read->isDouble(i) && read->getDouble(i) == values[i]) << numbers->toString();
}

TEST_P(JsonModelTest, ChangesReplaceInPlaceKeepOrderAndCopyDeeply) {
    const auto o = parseObject(R"({"a":"1","b":2,"c":true})");
    o->setString("a", "one");
    o->setNull("b");
    EXPECT_EQ(o->toString(), R"({"a":"one","b":null,"c":true})");
    EXPECT_TRUE(o->remove("b") && !o->remove("b"));
    o->setULong("b", 3);
    o->setObject("a", *parseObject(R"({"x":[1]})"));
    EXPECT_EQ(o->toString(), R"({"a":{"x":[1]},"c":true,"b":3})");

    const auto a = parse(R"([1,"two",true,null])")->getRootArray();
    a->removeAt(0);
    a->removeAt(2);
    const auto b = parse("[3,[4]]")->getRootArray();
    b->addAll(*b);
    a->addAll(*b);
    b->getArray(1)->addLong(5);  // addAll copied, also from itself
    EXPECT_EQ(a->toString() + b->toString(), R"(["two",true,3,[4],3,[4]][3,[4,5],3,[4]])");
    a->clear();
    EXPECT_EQ(a->toString(), "[]");

    const auto source = parseObject(R"({"inner":{"v":1},"list":[{"w":2}]})");
    const auto target = JsonFactory::createJsonObject();
    target->setObject("copy", *source);
    const auto clone = source->clone();
    source->getArray("list")->clone()->clear();
    source->getObject("inner")->setLong("v", 10);
    source->getArray("list")->getObject(0)->setLong("w", 20);
    clone->setBool("changed", true);
    EXPECT_EQ(target->toString() + clone->toString(),
              R"({"copy":{"inner":{"v":1},"list":[{"w":2}]}}{"inner":{"v":1},"list":[{"w":2}],"changed":true})");
    source->setObject("self", *source);
    source->getObject("inner")->setObject("up", *source->getObject("inner"));
    EXPECT_EQ(source->toString(),
              R"({"inner":{"v":10,"up":{"v":10}},"list":[{"w":20}],"self":{"inner":{"v":10},"list":[{"w":20}]}})");
}

INSTANTIATE_TEST_SUITE_P(BothImplementations, JsonModelTest,
                         ::testing::Values(JsonFactory::RAPID_JSON, JsonFactory::POCO_JSON),
                         [](const ::testing::TestParamInfo<JsonFactory::JsonImplementation>& info) {
                             return info.param == JsonFactory::RAPID_JSON ? "Rapid" : "Poco";
                         });

TEST(JsonModelRapidTest, AViewOfARemovedOrReplacedMemberSaysSo) {
    const auto root = JsonFactory::parseObject(R"({"child":{"k":1},"list":[{"x":1}]})");
    const auto child = root->getObject("child");
    const auto element = root->getArray("list")->getObject(0);
    root->setString("child", "now a string");
    EXPECT_EQ(errorOf([&] { child->getLong("k"); }), R"(JSON member "child" is not an object)");
    root->remove("child");
    EXPECT_EQ(errorOf([&] { child->has("k"); }), R"(JSON member "child" is missing)");
    root->getArray("list")->clear();
    EXPECT_EQ(errorOf([&] { element->size(); }), "JSON array index 0 is out of range (size 0)");
}

// Readers share one parsed document while another thread switches the
// process-wide implementation; an unknown implementation is ignored.
TEST(JsonFactoryTest, DocumentsAreReadConcurrentlyWhileTheImplementationIsSwitched) {
    JsonFactory::setImplementation(static_cast<JsonFactory::JsonImplementation>(7));
    EXPECT_EQ(JsonFactory::getImplementation(), JsonFactory::RAPID_JSON);
    const auto root = JsonFactory::parseObject(RICH);
    std::atomic<int> good{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 200; ++i) {
                const auto fresh = JsonFactory::parseObject(R"({"i":1})");
                fresh->setLong("i", i);
                if (fresh->getLong("i") == i && root->getObject("o")->getString("k") == "v" &&
                    root->getArray("a")->getObject(2)->getLong("k") == 1 && root->toString().size() > 100)
                    ++good;
            }
        });
    }
    threads.emplace_back([] {
        for (int i = 0; i < 1000; ++i)
            JsonFactory::setImplementation(i % 2 ? JsonFactory::POCO_JSON : JsonFactory::RAPID_JSON);
    });
    for (auto& thread : threads) thread.join();
    JsonFactory::setImplementation(JsonFactory::RAPID_JSON);
    EXPECT_EQ(good.load(), 600);
}

// Writes `text` into the buffer the way the receive loop does: into the free
// space at getHead(), at most `chunk` bytes per receive.
std::size_t receive(ReadBuffer& buffer, const std::string& text, std::size_t offset, std::size_t chunk) {
    const std::size_t n = std::min({chunk, text.size() - offset, buffer.getRemainingBytes()});
    std::memcpy(buffer.getHead(), text.data() + offset, n);
    buffer.read(n);
    return n;
}

// Feeds `text` in chunks and calls `take` after every chunk; returns the
// results that were not OK.
std::vector<Result> feed(ReadBuffer& buffer, const std::string& text, std::size_t chunk,
                         const std::function<Result()>& take) {
    std::vector<Result> problems;
    for (std::size_t offset = 0; offset < text.size();) {
        const std::size_t n = receive(buffer, text, offset, chunk);
        EXPECT_GT(n, 0u) << "no free space at offset " << offset;
        if (n == 0) break;
        offset += n;
        if (const Result result = take(); result != Result::OK) problems.push_back(result);
    }
    return problems;
}

// The objects split from `text` fed in chunks, all without a problem.
Strings split(ReadBuffer& buffer, const std::string& text, std::size_t chunk) {
    Strings objects;
    EXPECT_TRUE(feed(buffer, text, chunk, [&] { return buffer.splitJsonObjects(objects); }).empty())
        << buffer.getLastError();
    return objects;
}

// Puts `text` into the buffer in one receive.
void put(ReadBuffer& buffer, const std::string& text) {
    ASSERT_GE(buffer.getRemainingBytes(), text.size());
    std::memcpy(buffer.getHead(), text.data(), text.size());
    buffer.read(text.size());
}

TEST(ReadBufferTest, SplitsTrickyObjectsAtEveryCutPointAndVeryDeepOnesWithoutRecursion) {
    const Strings tricky = {
        R"({"a":"x\"}{"})",              // escaped quote, braces in a string
        R"({"b":"\\"})",                 // escaped backslash right before the closing quote
        R"({"c":"\\\"{\\","d":"}}}"})",  // backslash runs of odd and even length
        R"({"n":{"m":{"o":[1,{"p":"}"}]}},"q":{}})", R"({"u":"\u007b\u0022"})", R"({})",
    };
    std::string stream;
    for (const auto& object : tricky) stream += object + " \r\n\t";
    for (std::size_t chunk = 1; chunk <= stream.size(); ++chunk) {
        ReadBuffer buffer(64);
        EXPECT_EQ(split(buffer, stream, chunk), tricky) << "chunk size " << chunk;
        EXPECT_TRUE(buffer.isEmpty());
    }
    const std::string deep = std::string(200000, '{') + std::string(200000, '}');
    ReadBuffer buffer;
    EXPECT_EQ(split(buffer, deep + "{}", 4096), (Strings{deep, "{}"}));
}

TEST(ReadBufferTest, ChecksEachObjectAsTheParserDoesWhereverReadsAndBlocksFall) {
    const std::string next = "{\"x\":\"\xc3\xa9\"}";
    for (std::size_t padding = 0; padding < 130; padding += 3) {
        const std::string head = R"({"pad":")" + std::string(padding, 'e') + R"(","v":[)";
        for (const Tail& tail : checkedTails()) {
            const std::string object = head + tail.text;
            const std::string expected = errorOf([&] { JsonFactory::parseObject(object); });
            for (const std::size_t chunk : {std::size_t{1}, std::size_t{7}, object.size() + next.size()}) {
                ReadBuffer buffer(64);
                std::vector<JsonObject::Shared> objects;
                std::string error = "no exception";
                feed(buffer, object + next, chunk, [&] {
                    const Result result = buffer.parseJsonObjects(objects);
                    if (result == Result::MALFORMED) error = buffer.getLastError();
                    return result;
                });
                const std::string dropped = "dropped a malformed JSON object of " + std::to_string(object.size()) +
                                            " bytes: ";
                EXPECT_EQ(error, tail.reason.empty() ? expected : dropped + expected) << padding << " " << chunk;
                ASSERT_EQ(objects.size(), tail.reason.empty() ? 2u : 1u) << padding << " " << chunk;
                if (tail.reason.empty()) {
                    EXPECT_EQ(objects[0]->toString(), JsonFactory::parseObject(object)->toString());
                }
                EXPECT_EQ(objects.back()->getString("x"), "\xc3\xa9");
            }
        }
    }
}

TEST(ReadBufferTest, GrowsForALargeMessageArrivingInSmallPiecesAndShrinksAfterwards) {
    std::string big = R"({"data":")";
    while (big.size() < 600 * 1024) big += R"(brace { quote \" backslash \\ close } )";
    big += R"("})";
    const std::string small = R"({"next":true})";
    const std::string stream = big + "\n" + small;
    ReadBuffer buffer;
    Strings objects;
    std::size_t largest = 0;
    for (std::size_t offset = 0; offset < stream.size();) {
        ASSERT_GE(buffer.getRemainingBytes(), ReadBuffer::DEFAULT_LENGTH / 2)
            << "a receive of half the initial length must fit";
        largest = std::max(largest, buffer.getLength());
        offset += receive(buffer, stream, offset, 1000);
        ASSERT_EQ(buffer.splitJsonObjects(objects), Result::OK) << buffer.getLastError();
        ASSERT_TRUE(offset >= big.size() || objects.empty());
    }
    EXPECT_EQ(objects, (Strings{big, small}));
    EXPECT_GT(largest, ReadBuffer::DEFAULT_LENGTH);
    EXPECT_LE(largest, 2 * stream.size());
    EXPECT_EQ(buffer.getLength(), ReadBuffer::DEFAULT_LENGTH);
}

TEST(ReadBufferTest, KeepsAnIncompleteTailAtTheStartAndDropsGarbage) {
    ReadBuffer buffer(64);
    Strings objects;
    put(buffer, R"({"a":1}{"b":2}  {"c":)");
    EXPECT_EQ(buffer.splitJsonObjects(objects), Result::OK);
    EXPECT_EQ(objects, (Strings{R"({"a":1})", R"({"b":2})"}));
    EXPECT_EQ(buffer.getContent(), R"({"c":)");
    EXPECT_EQ(buffer.getHead(), buffer.getBuffer() + 5);
    put(buffer, R"("}"})");
    EXPECT_EQ(buffer.splitJsonObjects(objects), Result::OK);
    EXPECT_EQ(objects.back(), R"({"c":"}"})");
    EXPECT_TRUE(buffer.isEmpty());

    objects.clear();
    put(buffer, "xyz{\"a\":1} ]]\x01{\"b\":2}\"tail\"");
    EXPECT_EQ(buffer.splitJsonObjects(objects), Result::GARBAGE_DROPPED);
    EXPECT_EQ(objects, (Strings{R"({"a":1})", R"({"b":2})"}));
    EXPECT_EQ(buffer.getLastError(), "dropped 3 bytes that cannot start a JSON object: \"xyz\"");
    EXPECT_TRUE(buffer.isEmpty()) << "garbage without a following '{' is dropped entirely";
    put(buffer, "\x01\x02{}");
    EXPECT_EQ(buffer.splitJsonObjects(objects), Result::GARBAGE_DROPPED);
    EXPECT_EQ(buffer.getLastError(), "dropped 2 bytes that cannot start a JSON object: \"\\x01\\x02\"");
    put(buffer, " {\"c\":3}");
    EXPECT_EQ(buffer.splitJsonObjects(objects), Result::OK);
    EXPECT_EQ(buffer.getLastError(), "");
    EXPECT_EQ(objects.back(), R"({"c":3})");
}

TEST(ReadBufferTest, HeadAndFreeSpaceAgreeInWhicheverOrderTheyAreTaken) {
    // As arguments of one receive call the two may be evaluated
    // in either order, and either may be the one that grows the buffer.
    const std::string start = R"({"a":"0123456)";
    const std::string rest = R"(789"})";
    for (const bool headFirst : {true, false}) {
        ReadBuffer buffer(16, 1024);
        std::memcpy(buffer.getHead(), start.data(), start.size());
        buffer.read(start.size());
        char* head = headFirst ? buffer.getHead() : nullptr;
        const std::size_t free = buffer.getRemainingBytes();
        if (!headFirst) head = buffer.getHead();
        ASSERT_GT(buffer.getLength(), 16u) << "the buffer was expected to grow here";
        ASSERT_TRUE(head == buffer.getBuffer() + start.size() && free >= rest.size()) << headFirst;
        std::memcpy(head, rest.data(), rest.size());
        buffer.read(rest.size());
        Strings objects;
        EXPECT_EQ(buffer.splitJsonObjects(objects), Result::OK);
        EXPECT_EQ(objects, Strings{start + rest});
    }
}

TEST(ReadBufferTest, MaximumMessageSizeBoundsReadsAndObjectsUntilCleared) {
    EXPECT_THROW(ReadBuffer(0), std::invalid_argument);
    ReadBuffer buffer(64, 256);
    EXPECT_THROW(buffer.setMaxMessageSize(0), std::invalid_argument);
    EXPECT_THROW(buffer.read(buffer.getRemainingBytes() + 1), std::length_error);
    EXPECT_EQ(buffer.getReadBytes(), 0u);

    // An object that fills the maximum is dropped, and the rest of it,
    // including a nested object, is not mistaken for messages. The rest is
    // skipped from the start of an emptied buffer, where nothing may look
    // at the byte before.
    put(buffer, R"({"a":[)");
    Strings objects;
    while (buffer.getRemainingBytes() > 0) {
        const std::size_t n = std::min<std::size_t>(10, buffer.getRemainingBytes());
        std::memset(buffer.getHead(), '1', n);
        buffer.read(n);
        const bool full = buffer.isAtMaximum();
        if (full) {  // no further byte may be read
            EXPECT_THROW(buffer.read(1), std::length_error);
            EXPECT_TRUE(buffer.getReadBytes() == 256 && buffer.getLength() == 256);
        }
        ASSERT_EQ(buffer.splitJsonObjects(objects), full ? Result::OVERSIZED : Result::OK);
        if (buffer.isEmpty()) break;
    }
    EXPECT_TRUE(objects.empty());
    EXPECT_EQ(buffer.getLastError(),
              "dropped an incomplete JSON object of 256 bytes: it reaches the maximum message size of 256 bytes");
    EXPECT_TRUE(buffer.isEmpty());
    EXPECT_EQ(buffer.getLength(), 64u);
    EXPECT_EQ(split(buffer, R"(e5,"\"}",{"inner":{"k":1}}]} {"ok":1})", 7), Strings{R"({"ok":1})"});
    EXPECT_TRUE(buffer.isEmpty());

    // Lowering the maximum below the content makes it oversized; clear()
    // forgets the dropped object, so the next one is taken from its start.
    split(buffer, R"({"a":"0123456789)", 64);
    buffer.setMaxMessageSize(8);
    EXPECT_EQ(buffer.getRemainingBytes(), 0u);
    EXPECT_EQ(buffer.splitJsonObjects(objects), Result::OVERSIZED);
    EXPECT_TRUE(buffer.isEmpty());
    buffer.clear();
    EXPECT_EQ(split(buffer, R"({"b":2})", 4), Strings{R"({"b":2})"});
}

TEST(ReadBufferTest, ParsesObjectsIndependentOfTheBufferAndDropsMalformedOrTooDeepOnes) {
    const std::string stream = R"({"type":"data","event":"e1","data":{"k":"v}\"{"}} )"
                               R"({"type":"error","message":"Gone"}{"type":"subscribe"})";
    ReadBuffer small(32);
    std::vector<JsonObject::Shared> objects;
    EXPECT_TRUE(feed(small, stream, 5, [&] { return small.parseJsonObjects(objects); }).empty());
    EXPECT_TRUE(small.isEmpty());
    // Whatever the receiver writes next must not change the parsed objects.
    std::memset(small.getBuffer(), 'x', small.getLength());
    auto texts = [&] {
        std::string all;
        for (const auto& object : objects) all += object->toString() + " ";
        return all;
    };
    EXPECT_EQ(texts(), R"({"type":"data","event":"e1","data":{"k":"v}\"{"}} {"type":"error","message":"Gone"} )"
                       R"({"type":"subscribe"} )");

    ReadBuffer buffer;
    objects.clear();
    put(buffer, "{\"a\":}{\"b\":2} {\"c\":[1,}{\"u\":\"\xC3\"}{\"e\":");
    EXPECT_EQ(buffer.parseJsonObjects(objects), Result::MALFORMED);
    const std::string prefix = "dropped a malformed JSON object of 6 bytes: ";
    EXPECT_EQ(buffer.getLastError().substr(0, prefix.size()), prefix);
    EXPECT_GT(buffer.getLastError().size(), prefix.size()) << "the parser's reason follows";
    EXPECT_EQ(buffer.getContent(), R"({"e":)");
    put(buffer, "5}");
    EXPECT_EQ(buffer.parseJsonObjects(objects), Result::OK);
    EXPECT_EQ(buffer.getLastError(), "");
    // Nesting beyond the parser's limit is left to the parser.
    auto nested = [](std::size_t depth) { return repeat(R"({"a":)", depth - 1) + "{}" + std::string(depth - 1, '}'); };
    EXPECT_EQ(feed(buffer, nested(64) + nested(200000) + R"({"after":true})", 4096,
                   [&] { return buffer.parseJsonObjects(objects); }),
              std::vector<Result>{Result::MALFORMED});
    EXPECT_EQ(texts(), R"({"b":2} {"e":5} )" + nested(64) + R"( {"after":true} )");
}

}  // namespace
