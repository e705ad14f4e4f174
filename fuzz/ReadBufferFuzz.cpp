// The read buffer's split of concatenated JSON objects, fed in reads of
// varying size, parsing and splitting side by side.
#include "FuzzSupport.h"

#include <QelAccessUtility/JsonException.h>
#include <QelAccessUtility/JsonFactory.h>
#include <QelAccessUtility/ReadBuffer.h>

#include <cstdlib>
#include <cstring>

// Every object the parsing buffer took, as text, must be exactly what the
// full parser makes of the objects a splitting buffer fed the same reads
// returns: the check the scan makes on the way may skip the parser's own
// check, but never accept what that check rejects.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::size_t step = 1 + data[0] % 32;
    constexpr std::size_t kMax = 4096;
    qelutil::ReadBuffer parsing(64, kMax);
    qelutil::ReadBuffer splitting(64, kMax);
    std::vector<qelutil::JsonObject::Shared> objects;
    std::vector<std::string> texts;
    for (std::size_t at = 1; at < size;) {
        const std::size_t room = parsing.getRemainingBytes();
        if (room != splitting.getRemainingBytes()) std::abort();
        if (room == 0) {
            parsing.clear();
            splitting.clear();
            continue;
        }
        const std::size_t length = std::min({step, size - at, room});
        std::memcpy(parsing.getHead(), data + at, length);
        std::memcpy(splitting.getHead(), data + at, length);
        parsing.read(length);
        splitting.read(length);
        at += length;
        const auto parsed = parsing.parseJsonObjects(objects);
        const auto split = splitting.splitJsonObjects(texts);
        if (parsing.getReadBytes() > kMax) std::abort();
        if ((parsed == qelutil::ReadBuffer::ParseResult::OVERSIZED) !=
            (split == qelutil::ReadBuffer::ParseResult::OVERSIZED))
            std::abort();
        if (parsed == qelutil::ReadBuffer::ParseResult::OVERSIZED) {
            parsing.clear();
            splitting.clear();
        }
    }
    std::vector<std::string> expected;
    for (const auto& text : texts) {
        if (text.empty() || text.front() != '{' || text.back() != '}') std::abort();
        try {
            expected.push_back(qelutil::JsonFactory::parseObject(text)->toString());
        } catch (const qelutil::JsonException&) {
        }
    }
    if (objects.size() != expected.size()) std::abort();
    for (std::size_t i = 0; i < objects.size(); ++i)
        if (!objects[i] || objects[i]->toString() != expected[i]) std::abort();
    return 0;
}
