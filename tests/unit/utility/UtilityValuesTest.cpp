#include "support/TestText.h"

#include <QelAccessUtility/Optional.h>
#include <QelAccessUtility/SimpleRand.h>
#include <QelAccessUtility/URLEncoder.h>
#include <QelAccessUtility/UriParser.h>
#include <QelAccessUtility/ValueDictionary.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

using qeltest::runtimeErrorText;

TEST(Optional, EmptyReadsFailWithTheirOwnTexts) {
    qelutil::Optional<std::string> empty;
    EXPECT_FALSE(empty.isValid());
    EXPECT_EQ(runtimeErrorText([&] { empty.getValue(); }), "getValue called on uninitialized Optional");
    EXPECT_EQ(runtimeErrorText([&] { *empty; }), "operator* called on uninitialized Optional");
    EXPECT_EQ(runtimeErrorText([&] { (void)empty->size(); }), "operator-> called on uninitialized Optional");
    EXPECT_EQ(empty.getValueOr("fallback"), "fallback");

    qelutil::Optional<std::string> set("x");
    EXPECT_EQ(set->size(), 1u);
    EXPECT_NE(set, empty);
    set.reset();
    EXPECT_EQ(set, empty);
    set = std::string("y");
    EXPECT_EQ(*set, "y");
    EXPECT_EQ(set, qelutil::Optional<std::string>("y"));
    EXPECT_NE(set, qelutil::Optional<std::string>("z"));
}

TEST(UriParser, FillsPartsAndDefaultsThePortFromTheScheme) {
    qelutil::Uri uri;
    ASSERT_TRUE(qelutil::UriParser::parseUri("http://10.0.0.2:8080/api/media?x=1", uri));
    EXPECT_EQ(uri.protocol, "http");
    EXPECT_EQ(uri.host, "10.0.0.2");
    EXPECT_EQ(uri.port, 8080);
    EXPECT_EQ(uri.path, "/api/media?x=1");

    ASSERT_TRUE(qelutil::UriParser::parseUri("http://example.local", uri));
    EXPECT_EQ(uri.port, 80);
    EXPECT_EQ(uri.path, "/");
    ASSERT_TRUE(qelutil::UriParser::parseUri("ws://[::1]:9000/", uri));
    EXPECT_EQ(uri.host, "::1");
    EXPECT_EQ(uri.port, 9000);

    const qelutil::Uri before = uri;
    for (const char* bad : {"", "/api/media", "just text", "http://", "http://host:99999/", "http://host:x/"}) {
        EXPECT_FALSE(qelutil::UriParser::parseUri(bad, uri)) << bad;
        EXPECT_EQ(uri.host, before.host) << bad;
    }
}

TEST(URLEncoder, PassesUnreservedAndEncodesEveryOtherByte) {
    EXPECT_EQ(qelutil::URLEncoder::encode("AZaz09-._~"), "AZaz09-._~");
    EXPECT_EQ(qelutil::URLEncoder::encode("a b&c=d/e?f#g%"), "a%20b%26c%3Dd%2Fe%3Ff%23g%25");
    EXPECT_EQ(qelutil::URLEncoder::encode(std::string("\x00\n\x7f", 3)), "%00%0A%7F");
    EXPECT_EQ(qelutil::URLEncoder::encode("\xc3\xa9"), "%C3%A9");
    EXPECT_EQ(qelutil::URLEncoder::encode(""), "");
    for (char c : qelutil::URLEncoder::unsafeString)
        EXPECT_EQ(qelutil::URLEncoder::encode(std::string(1, c)).size(), 3u) << c;
    EXPECT_EQ(qelutil::URLEncoder::unsafeString.find('~'), std::string::npos);
}

TEST(SimpleRand, StaysBelowTheBoundAndIsReproducibleFromASeed) {
    qelutil::simple_rand_init(7);
    std::vector<int> first;
    for (int i = 0; i < 200; ++i) {
        const int value = qelutil::simple_rand(100);
        ASSERT_GE(value, 0);
        ASSERT_LT(value, 100);
        first.push_back(value);
    }
    qelutil::simple_rand_init(7);
    for (int i = 0; i < 200; ++i) EXPECT_EQ(qelutil::simple_rand(100), first[i]);
    EXPECT_EQ(qelutil::simple_rand(0), 0);
    EXPECT_EQ(qelutil::simple_rand(-5), 0);
}

TEST(ValueDictionary, IsSafeToUseFromSeveralThreads) {
    qelutil::ValueDictionary dictionary;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i) {
                const std::string key = std::to_string(t) + ":" + std::to_string(i);
                dictionary.set(key, "v");
                EXPECT_TRUE(dictionary.has(key));
                if (i % 2) {
                    EXPECT_TRUE(dictionary.remove(key));
                }
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(dictionary.getKeys().size(), 400u);
    EXPECT_EQ(dictionary.get("0:0"), "v");
    EXPECT_EQ(dictionary.get("missing", "dflt"), "dflt");
}
