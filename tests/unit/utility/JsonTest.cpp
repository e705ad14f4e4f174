#include <QelAccessUtility/JsonFactory.h>
#include <QelAccessUtility/ReadBuffer.h>

#include <gtest/gtest.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

using qelutil::JsonArray;
using qelutil::JsonDocument;
using qelutil::JsonException;
using qelutil::JsonFactory;
using qelutil::JsonObject;
using qelutil::JsonParser;
using qelutil::ReadBuffer;
using Result = ReadBuffer::ParseResult;

namespace {

// The message of the JsonException `f` throws; fails the test when it throws
// nothing or something else.
std::string errorOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const JsonException& e) {
        return e.what();
    } catch (const std::exception& e) {
        ADD_FAILURE() << "unexpected exception: " << e.what();
        return "";
    }
    ADD_FAILURE() << "no exception";
    return "";
}

bool startsWith(const std::string& text, const std::string& prefix) { return text.rfind(prefix, 0) == 0; }

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

TEST_P(JsonModelTest, ReadsEveryTypeWithItsNumberKind) {
    const auto o = parseObject(RICH);
    EXPECT_EQ(o->getString("s"), "text");
    EXPECT_TRUE(o->getBool("t"));
    EXPECT_FALSE(o->getBool("f"));
    EXPECT_TRUE(o->isNull("n"));
    EXPECT_TRUE(o->isLong("i") && !o->isULong("i"));
    EXPECT_TRUE(o->isLong("u") && o->isULong("u") && !o->isDouble("u"));
    EXPECT_TRUE(o->isULong("big") && !o->isLong("big"));
    EXPECT_EQ(o->getULong("big"), std::numeric_limits<uint64_t>::max());
    EXPECT_TRUE(o->isLong("min") && !o->isULong("min"));
    EXPECT_EQ(o->getLong("min"), std::numeric_limits<int64_t>::min());
    EXPECT_TRUE(o->isULong("over") && !o->isLong("over"));
    EXPECT_EQ(o->getULong("over"), uint64_t(1) << 63);
    EXPECT_TRUE(o->isDouble("d") && !o->isLong("d"));
    EXPECT_TRUE(o->isDouble("whole") && !o->isLong("whole") && !o->isULong("whole"));
    EXPECT_DOUBLE_EQ(o->getDouble("e"), 1000.0);
    EXPECT_DOUBLE_EQ(o->getDouble("i"), -42.0);
    EXPECT_DOUBLE_EQ(o->getDouble("big"), 18446744073709551615.0);
    EXPECT_EQ(o->getObject("o")->getString("k"), "v");
    EXPECT_EQ(o->getArray("a")->size(), 5u);
    EXPECT_EQ(o->size(), 14u);
    EXPECT_EQ(o->getKeys(), (std::vector<std::string>{"s", "t", "f", "n", "i", "u", "big", "min", "over", "d",
                                                       "whole", "e", "o", "a"}));
    for (const auto& test : {&JsonObject::isNull, &JsonObject::isString, &JsonObject::isLong, &JsonObject::isULong,
                             &JsonObject::isBool, &JsonObject::isDouble, &JsonObject::isObject,
                             &JsonObject::isArray, &JsonObject::has}) {
        EXPECT_FALSE(((*o).*test)("absent"));
    }
}

TEST_P(JsonModelTest, GettersNameTheKeyOrIndexAndTheExpectedType) {
    const auto o = parseObject(RICH);
    EXPECT_EQ(errorOf([&] { o->getString("i"); }), R"(JSON member "i" is not a string)");
    EXPECT_EQ(errorOf([&] { o->getString("n"); }), R"(JSON member "n" is not a string)");
    EXPECT_EQ(errorOf([&] { o->getLong("s"); }), R"(JSON member "s" is not a 64-bit integer)");
    EXPECT_EQ(errorOf([&] { o->getLong("big"); }), R"(JSON member "big" is not a 64-bit integer)");
    EXPECT_EQ(errorOf([&] { o->getLong("d"); }), R"(JSON member "d" is not a 64-bit integer)");
    EXPECT_EQ(errorOf([&] { o->getULong("i"); }), R"(JSON member "i" is not an unsigned 64-bit integer)");
    EXPECT_EQ(errorOf([&] { o->getBool("n"); }), R"(JSON member "n" is not a boolean)");
    EXPECT_EQ(errorOf([&] { o->getDouble("s"); }), R"(JSON member "s" is not a number)");
    EXPECT_EQ(errorOf([&] { o->getObject("a"); }), R"(JSON member "a" is not an object)");
    EXPECT_EQ(errorOf([&] { o->getArray("o"); }), R"(JSON member "o" is not an array)");
    EXPECT_EQ(errorOf([&] { o->getString("id"); }), R"(JSON member "id" is missing)");

    const auto a = o->getArray("a");
    EXPECT_EQ(errorOf([&] { a->getObject(0); }), "JSON array element 0 is not an object");
    EXPECT_EQ(errorOf([&] { a->getLong(1); }), "JSON array element 1 is not a 64-bit integer");
    EXPECT_EQ(errorOf([&] { a->getArray(2); }), "JSON array element 2 is not an array");
    EXPECT_EQ(errorOf([&] { a->getString(4); }), "JSON array element 4 is not a string");
    EXPECT_EQ(errorOf([&] { a->getString(7); }), "JSON array index 7 is out of range (size 5)");
    EXPECT_EQ(errorOf([&] { a->removeAt(5); }), "JSON array index 5 is out of range (size 5)");
    EXPECT_FALSE(a->isLong(5));
    EXPECT_TRUE(a->isObject(2) && a->isArray(3) && a->isNull(4));

    EXPECT_EQ(errorOf([&] { parse("[1]")->getRootObject(); }), "JSON root is not an object");
    EXPECT_EQ(errorOf([&] { parse("{}")->getRootArray(); }), "JSON root is not an array");
    EXPECT_EQ(errorOf([&] { JsonFactory::parseObject("[]"); }), "JSON root is not an object");
}

TEST_P(JsonModelTest, MalformedTextThrowsWithoutHarm) {
    const std::vector<std::string> malformed = {
        R"({"a":1)", R"({"a":1} x)", "{}{}", R"({"a":"\q"})", "{\"a\":\"\xff\xfe\"}", R"(["\ud800"])",
        R"({"a" 1})", "[1,]", "[01]", "[1.]", "[tru]", "[\"a\x01\"]", "[\"\\", "[", R"({"a":1,})",
        "\xef\xbb\xbf{}", std::string("{}\0x", 4), std::string("[1,\0 2]", 7), "[\"open", "[1e]", "[-]",
        "{'a':1}", "[NaN]", "[Infinity]", "/* c */ {}", "[1e400]", "[\"\\u12\"]", "]", "}"};
    for (const std::string& text : malformed) {
        const std::string error = parseError(text);
        EXPECT_TRUE(startsWith(error, "JSON parse error")) << text << " -> " << error;
    }
    EXPECT_EQ(parseError(""), "JSON parse error at offset 0: the text is empty");
    EXPECT_EQ(parseError(" \n"), "JSON parse error at offset 2: the text is empty");
    EXPECT_EQ(parseError("  42"), "JSON parse error at offset 2: the root is neither an object nor an array");
    EXPECT_EQ(parseError(R"("text")"), "JSON parse error at offset 0: the root is neither an object nor an array");
    for (const char* bad : {"\xff", "\xc0\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80", "\xe2\x82", "\x80"}) {
        EXPECT_EQ(parseError(std::string("{\"k\":\"ab") + bad + "\"}"),
                  "JSON parse error at offset 8: invalid UTF-8 in string");
    }
    const std::string valid = "\xc3\xa9\xe2\x82\xac\xf0\x9d\x84\x9e\xef\xbf\xbf";
    EXPECT_EQ(parseObject("{\"" + valid + "\":\"" + valid + "\"}")->getString(valid), valid);
    if (rapid()) {
        EXPECT_EQ(parseError(R"({"a":1} x)"),
                  "JSON parse error at offset 8: The document root must not be followed by other values.");
        EXPECT_EQ(parseError(std::string("{} \0x", 5)),
                  "JSON parse error at offset 3: The document root must not be followed by other values.");
        EXPECT_EQ(parseError(R"({"a":tru})"), "JSON parse error at offset 8: Invalid value.");
    }
}

TEST_P(JsonModelTest, EveryTruncationOfADocumentIsRejected) {
    const std::string text = RICH;
    for (std::size_t length = 0; length < text.size(); ++length) {
        const std::string error = errorOf([&] { JsonFactory::createJsonParser()->parse(text.data(), length); });
        EXPECT_TRUE(startsWith(error, "JSON parse error")) << length << ": " << error;
    }
}

TEST_P(JsonModelTest, CorruptedDocumentsParseOrThrowCleanly) {
    const std::string text = RICH;
    std::mt19937 random(12345);
    const std::string alphabet = "{}[]\":,\\0123456789.eE+-tfnul \x01\x80\xff";
    for (int round = 0; round < 3000; ++round) {
        std::string corrupt = text;
        for (int flips = 1 + round % 4; flips > 0; --flips) {
            corrupt[random() % corrupt.size()] = alphabet[random() % alphabet.size()];
        }
        try {
            JsonFactory::createJsonParser()->parse(corrupt)->isRootObject();
        } catch (const JsonException& e) {
            EXPECT_TRUE(startsWith(e.what(), "JSON parse error")) << corrupt << " -> " << e.what();
        }
    }
}

TEST_P(JsonModelTest, ParsesOnlyTheGivenLength) {
    const char text[] = {'[', '1', ',', '2', ']'};  // no terminating NUL
    auto buffer = std::make_unique<char[]>(sizeof text);
    std::memcpy(buffer.get(), text, sizeof text);
    const auto array = JsonFactory::createJsonParser()->parse(buffer.get(), sizeof text)->getRootArray();
    EXPECT_EQ(array->getLong(1), 2);
    EXPECT_EQ(JsonFactory::createJsonParser()->parse("{}garbage", 2)->getRootObject()->size(), 0u);
}

TEST_P(JsonModelTest, NestingIsCappedAtMaxDepth) {
    const std::size_t max = JsonParser::MAX_DEPTH;
    EXPECT_TRUE(parse(repeat("[", max) + repeat("]", max))->isRootArray());
    auto deepObject = parse(repeat(R"({"a":)", max - 1) + "{}" + repeat("}", max - 1))->getRootObject();
    for (std::size_t i = 0; i + 1 < max; ++i) deepObject = deepObject->getObject("a");
    EXPECT_EQ(deepObject->size(), 0u);

    EXPECT_EQ(parseError(repeat("[", max + 1) + repeat("]", max + 1)),
              "JSON parse error at offset 128: nesting deeper than 128");
    EXPECT_EQ(parseError(repeat("[", 100000)), "JSON parse error at offset 128: nesting deeper than 128");
    EXPECT_TRUE(startsWith(parseError(repeat(R"({"a":)", 100000)), "JSON parse error at offset "));
    EXPECT_TRUE(startsWith(parseError("[" + repeat("{}", 10) + repeat("[", 100000)), "JSON parse error"));

    // Brackets inside strings, also behind escaped quotes, are not nesting.
    const std::string brackets = repeat("[{", 1000);
    EXPECT_EQ(parseObject(R"({"a":")" + brackets + R"("})")->getString("a"), brackets);
    EXPECT_EQ(parseObject(R"({"a":"\")" + brackets + R"(\\"})")->getString("a"), "\"" + brackets + "\\");
}

TEST_P(JsonModelTest, ExponentsBeyondAnyDoubleAreRejected) {
    const std::string outOfRange = "number exponent out of range";
    EXPECT_EQ(parseError("[1e-2147483649]"), "JSON parse error at offset 1: " + outOfRange);
    EXPECT_EQ(parseError("[0." + repeat("0", 30) + "1e-2147483647]"), "JSON parse error at offset 1: " + outOfRange);
    EXPECT_EQ(parseError(R"({"a":1, "b":-2.5E+99999})"), "JSON parse error at offset 12: " + outOfRange);
    EXPECT_EQ(parseError(R"({"a":"1e99999", "b":1e99999})"), "JSON parse error at offset 20: " + outOfRange);

    const auto numbers = parse("[1E+000000000000000000002, 1e-400, 2.5e-3, -1e300, 0." + repeat("0", 5000) + "1e4000]")
                             ->getRootArray();
    EXPECT_DOUBLE_EQ(numbers->getDouble(0), 100.0);
    EXPECT_EQ(numbers->getDouble(1), 0.0);
    EXPECT_DOUBLE_EQ(numbers->getDouble(2), 0.0025);
    EXPECT_DOUBLE_EQ(numbers->getDouble(3), -1e300);
    EXPECT_TRUE(numbers->isDouble(4));

    // Integers beyond 64 bits: RapidJSON keeps them as doubles, Poco rejects them.
    const std::string huge = "[123456789012345678901234567890]";
    if (rapid()) {
        EXPECT_DOUBLE_EQ(parse(huge)->getRootArray()->getDouble(0), 1.2345678901234568e29);
    } else {
        EXPECT_TRUE(startsWith(parseError(huge), "JSON parse error: "));
    }
}

TEST_P(JsonModelTest, TakenObjectsOutliveTheDocumentAndShareIt) {
    JsonObject::Shared inner;
    JsonArray::Shared list;
    JsonObject::Shared root;
    {
        const auto document = parse(R"({"outer":{"inner":{"name":"deep"}},"list":[{"x":1},{"x":2}]})");
        root = document->getRootObject();
        inner = root->getObject("outer")->getObject("inner");
        list = root->getArray("list");
    }
    inner->setLong("n", 7);
    EXPECT_EQ(root->getObject("outer")->getObject("inner")->getLong("n"), 7);
    root.reset();
    EXPECT_EQ(inner->getString("name"), "deep");
    EXPECT_EQ(list->getObject(1)->getLong("x"), 2);
    EXPECT_EQ(list->toString(), R"([{"x":1},{"x":2}])");
}

TEST_P(JsonModelTest, ThreadsReadOneDocumentConcurrently) {
    const auto root = parseObject(RICH);
    std::atomic<int> good{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < 4; ++t) {
        readers.emplace_back([&] {
            for (int i = 0; i < 200; ++i) {
                if (root->getObject("o")->getString("k") == "v" && root->getArray("a")->getObject(2)->getLong("k") == 1 &&
                    root->toString().size() > 100) {
                    ++good;
                }
            }
        });
    }
    for (auto& reader : readers) reader.join();
    EXPECT_EQ(good.load(), 800);
}

TEST_P(JsonModelTest, TakenObjectsFollowTheirMemberWhileTheParentChanges) {
    const auto root = JsonFactory::createJsonObject();
    root->setObject("child", *JsonFactory::createJsonObject());
    root->setArray("list", *JsonFactory::createJsonArray());
    const auto child = root->getObject("child");
    const auto list = root->getArray("list");
    list->addObject(*JsonFactory::createJsonObject());
    const auto element = list->getObject(0);
    for (int i = 0; i < 100; ++i) {
        root->setLong("k" + std::to_string(i), i);
        list->addLong(i);
        child->setLong("c" + std::to_string(i), i);
    }
    child->setString("name", "kept");
    element->setString("name", "first");
    EXPECT_EQ(root->getObject("child")->getString("name"), "kept");
    EXPECT_EQ(root->getObject("child")->size(), 101u);
    EXPECT_EQ(root->getArray("list")->getObject(0)->getString("name"), "first");
    EXPECT_EQ(root->getArray("list")->size(), 101u);
}

TEST_P(JsonModelTest, WritesCompactEscapedTextThatReadsBack) {
    const std::string awkward = std::string("q\"b\\s/\n\r\t\b\f\x01\x1f\x7f") + std::string(1, '\0') + "\xc3\xa9";
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
    a->addString("x");
    o->setArray("a", *a);
    const std::string text = o->toString();
    EXPECT_EQ(text, R"({"s":"q\"b\\s/\n\r\t\b\f\u0001\u001F)"
                    "\x7f"
                    R"(\u0000)"
                    "\xc3\xa9"
                    R"(","neg":-5,"max":18446744073709551615,"min":-9223372036854775808,"d":1.5,)"
                    R"("whole":2.0,"t":true,"n":null,"e":{},"a":[1,"x"]})");
    const auto back = parseObject(text);
    EXPECT_EQ(back->getString("s"), awkward);
    EXPECT_TRUE(back->isDouble("whole"));
    EXPECT_EQ(back->toString(), text);

    for (double value : {0.1, 123456.789, -2.5e-8, 1e300, 1.0}) {
        const auto numbers = JsonFactory::createJsonArray();
        numbers->addDouble(value);
        const auto read = parse(numbers->toString())->getRootArray();
        EXPECT_TRUE(read->isDouble(0));
        EXPECT_EQ(read->getDouble(0), value) << numbers->toString();
    }

    const auto odd = JsonFactory::createJsonArray();
    odd->addDouble(std::nan(""));
    odd->addDouble(std::numeric_limits<double>::infinity());
    odd->addDouble(-std::numeric_limits<double>::infinity());
    EXPECT_EQ(odd->toString(), "[null,null,null]");
}

TEST_P(JsonModelTest, SettersReplaceMembersInPlaceAndKeepOrder) {
    const auto o = JsonFactory::createJsonObject();
    o->setString("a", "1");
    o->setLong("b", 2);
    o->setBool("c", true);
    o->setString("a", "one");
    o->setNull("b");
    EXPECT_EQ(o->getKeys(), (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(o->getString("a"), "one");
    EXPECT_TRUE(o->isNull("b"));
    EXPECT_TRUE(o->remove("b"));
    EXPECT_FALSE(o->remove("b"));
    EXPECT_FALSE(o->has("b"));
    o->setULong("b", 3);
    o->setObject("a", *parseObject(R"({"x":[1]})"));
    EXPECT_EQ(o->toString(), R"({"a":{"x":[1]},"c":true,"b":3})");
    EXPECT_EQ(o->size(), 3u);

    EXPECT_EQ(parseObject(R"({"a":1,"a":2})")->getLong("a"), 2);  // the last duplicate counts
}

TEST_P(JsonModelTest, ArraysAppendRemoveAndAddAll) {
    const auto a = JsonFactory::createJsonArray();
    a->addLong(1);
    a->addString("two");
    a->addBool(true);
    a->addNull();
    a->addDouble(2.5);
    a->addObject(*parseObject(R"({"k":"v"})"));
    a->addArray(*parse("[1]")->getRootArray());
    a->addULong(std::numeric_limits<uint64_t>::max());
    EXPECT_EQ(a->toString(), R"([1,"two",true,null,2.5,{"k":"v"},[1],18446744073709551615])");
    a->removeAt(0);
    a->removeAt(6);
    EXPECT_EQ(a->toString(), R"(["two",true,null,2.5,{"k":"v"},[1]])");

    const auto b = parse("[3,[4]]")->getRootArray();
    b->addAll(*b);
    EXPECT_EQ(b->toString(), "[3,[4],3,[4]]");
    a->addAll(*b);
    EXPECT_EQ(a->size(), 10u);
    b->getArray(1)->addLong(5);
    EXPECT_EQ(a->getArray(7)->size(), 1u);  // addAll copied, not shared
    a->clear();
    EXPECT_EQ(a->toString(), "[]");
}

TEST_P(JsonModelTest, CopiesAreDeepAndIndependent) {
    const auto source = parseObject(R"({"inner":{"v":1},"list":[{"w":2}]})");
    const auto target = JsonFactory::createJsonObject();
    target->setObject("copy", *source);
    const auto clone = source->clone();
    source->getObject("inner")->setLong("v", 10);
    source->getArray("list")->getObject(0)->setLong("w", 20);
    EXPECT_EQ(target->toString(), R"({"copy":{"inner":{"v":1},"list":[{"w":2}]}})");
    EXPECT_EQ(clone->toString(), R"({"inner":{"v":1},"list":[{"w":2}]})");
    clone->setBool("changed", true);
    EXPECT_FALSE(source->has("changed"));

    source->setObject("self", *source);
    EXPECT_EQ(source->getObject("self")->toString(), R"({"inner":{"v":10},"list":[{"w":20}]})");
    source->getObject("inner")->setObject("up", *source->getObject("inner"));
    EXPECT_EQ(source->getObject("inner")->toString(), R"({"v":10,"up":{"v":10}})");

    const auto arrayClone = source->getArray("list")->clone();
    arrayClone->clear();
    EXPECT_EQ(source->getArray("list")->size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(BothImplementations, JsonModelTest,
                         ::testing::Values(JsonFactory::RAPID_JSON, JsonFactory::POCO_JSON),
                         [](const ::testing::TestParamInfo<JsonFactory::JsonImplementation>& info) {
                             return info.param == JsonFactory::RAPID_JSON ? "Rapid" : "Poco";
                         });

JsonObject::Shared createWith(JsonFactory::JsonImplementation implementation, const std::string& text) {
    JsonFactory::setImplementation(implementation);
    auto object = JsonFactory::parseObject(text);
    JsonFactory::setImplementation(JsonFactory::RAPID_JSON);
    return object;
}

TEST(JsonModelCrossTest, ValuesCopyBetweenImplementationsWithTheirTypes) {
    const std::string text = R"({"s":"x","t":false,"n":null,"i":-1,"big":18446744073709551615,"d":2.0,)"
                             R"("o":{"a":[1,{"b":[]},"c"]},"e":[]})";
    for (auto from : {JsonFactory::RAPID_JSON, JsonFactory::POCO_JSON}) {
        const auto to = from == JsonFactory::RAPID_JSON ? JsonFactory::POCO_JSON : JsonFactory::RAPID_JSON;
        const auto source = createWith(from, text);
        const auto target = createWith(to, "{}");
        target->setObject("copy", *source);
        const auto list = createWith(to, R"({"l":[0]})")->getArray("l");
        list->addAll(*source->getObject("o")->getArray("a"));
        list->addObject(*source->getObject("o"));
        list->addArray(*source->getArray("e"));
        EXPECT_EQ(target->getObject("copy")->toString(), text);
        EXPECT_EQ(list->toString(), R"([0,1,{"b":[]},"c",{"a":[1,{"b":[]},"c"]},[]])");
        const auto copy = target->getObject("copy");
        EXPECT_TRUE(copy->isULong("big") && !copy->isLong("big"));
        EXPECT_TRUE(copy->isDouble("d"));
        EXPECT_TRUE(copy->isLong("i"));
    }
}

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

TEST(JsonFactoryTest, ImplementationIsProcessWideAndSafeToSwitchConcurrently) {
    EXPECT_EQ(JsonFactory::getImplementation(), JsonFactory::RAPID_JSON);
    JsonFactory::setImplementation(static_cast<JsonFactory::JsonImplementation>(7));
    EXPECT_EQ(JsonFactory::getImplementation(), JsonFactory::RAPID_JSON);

    std::thread switcher([] {
        for (int i = 0; i < 1000; ++i) {
            JsonFactory::setImplementation(i % 2 ? JsonFactory::POCO_JSON : JsonFactory::RAPID_JSON);
        }
    });
    for (int i = 0; i < 1000; ++i) {
        const auto object = JsonFactory::parseObject(R"({"i":1})");
        object->setLong("i", i);
        EXPECT_EQ(object->getLong("i"), i);
    }
    switcher.join();
    JsonFactory::setImplementation(JsonFactory::RAPID_JSON);
}

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

}  // namespace
