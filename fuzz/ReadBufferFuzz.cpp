// The read buffer's split of concatenated JSON objects, fed in reads of
// varying size, with parsing or splitting chosen by the first byte.
#include "FuzzSupport.h"

#include <QelAccessUtility/ReadBuffer.h>

#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const bool parse = (data[0] & 0x80) != 0;
    const std::size_t step = 1 + data[0] % 32;
    constexpr std::size_t kMax = 4096;
    qelutil::ReadBuffer buffer(64, kMax);
    std::vector<qelutil::JsonObject::Shared> objects;
    std::vector<std::string> texts;
    for (std::size_t at = 1; at < size;) {
        const std::size_t room = buffer.getRemainingBytes();
        if (room == 0) {
            buffer.clear();
            continue;
        }
        const std::size_t length = std::min({step, size - at, room});
        std::memcpy(buffer.getHead(), data + at, length);
        buffer.read(length);
        at += length;
        const auto result = parse ? buffer.parseJsonObjects(objects) : buffer.splitJsonObjects(texts);
        if (buffer.getReadBytes() > kMax) std::abort();
        if (result == qelutil::ReadBuffer::ParseResult::OVERSIZED) buffer.clear();
    }
    for (const auto& object : objects)
        if (!object) std::abort();
    for (const auto& text : texts)
        if (text.empty() || text.front() != '{' || text.back() != '}') std::abort();
    return 0;
}
