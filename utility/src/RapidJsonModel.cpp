// RapidJSON is compiled here in a namespace of its own and with its internal
// checks turned into exceptions, so this configuration cannot clash with any
// other user of the same headers. Every public operation checks presence,
// types and bounds itself first; the exception is only a last line of defence.
namespace qelutil {
[[noreturn]] void rapidJsonCheckFailed(const char* condition);
}  // namespace qelutil

#define RAPIDJSON_NAMESPACE qelutil_rapidjson
#define RAPIDJSON_NAMESPACE_BEGIN namespace qelutil_rapidjson {
#define RAPIDJSON_NAMESPACE_END }
#define RAPIDJSON_ASSERT(x) ((x) ? static_cast<void>(0) : ::qelutil::rapidJsonCheckFailed(#x))
// Strings and white space are scanned 16 bytes at a time. The scan loads
// whole aligned blocks, so the text it parses in place carries padding.
#if defined(__SSE2__)
#define RAPIDJSON_SSE2
#endif

#include "RapidJsonModel.h"

#include "ChunkAllocator.h"
#include "JsonSupport.h"

#include <rapidjson/document.h>
#include <rapidjson/error/en.h>
#include <rapidjson/stream.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <sanitizer/asan_interface.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <utility>

namespace qelutil {

void rapidJsonCheckFailed(const char* condition) {
    throw JsonException(std::string("JSON internal check failed: ") + condition);
}

namespace {

namespace rj = qelutil_rapidjson;
using namespace jsonsupport;

using Pool = rj::MemoryPoolAllocator<ChunkAllocator>;
using Value = rj::GenericValue<rj::UTF8<>, Pool>;
using Document = rj::GenericDocument<rj::UTF8<>, Pool, ChunkAllocator>;
using IsType = bool (Value::*)() const;

// The recursive parser is the fast one; it is safe here because checkText
// has bounded the nesting depth (and checked UTF-8) before it runs. Stopping
// after the root lets the caller see where it ended, so that trailing text
// is found even behind a NUL byte. The document parses its own copy of the
// text in place: names and strings then point into that copy instead of each
// being copied into the pool.
constexpr unsigned PARSE_FLAGS = rj::kParseStopWhenDoneFlag | rj::kParseInsituFlag;
constexpr std::size_t SCAN_PADDING = 15;

// Pool chunk sizes: a parsed document holds its text and about twice the
// text length of values, so a typical message fits in the document's inline
// chunk or one more; objects built by hand start small.
constexpr std::size_t MIN_CHUNK = 256;
constexpr std::size_t MAX_CHUNK = std::size_t(1) << 20;
constexpr std::size_t CREATED_CHUNK = 512;
constexpr std::size_t CLONE_CHUNK = 4096;

std::size_t chunkCapacityFor(std::size_t textLength) {
    const std::size_t wanted = std::min(std::max(3 * textLength, MIN_CHUNK), MAX_CHUNK);
    return (wanted + MIN_CHUNK - 1) / MIN_CHUNK * MIN_CHUNK;
}

rj::SizeType checkedSize(std::size_t size) {
    if (size > std::numeric_limits<rj::SizeType>::max()) {
        throw JsonException("JSON value of " + std::to_string(size) + " bytes or elements is too large");
    }
    return static_cast<rj::SizeType>(size);
}

Value makeString(const std::string& text, Pool& pool) {
    return Value(text.data(), checkedSize(text.size()), pool);
}

// A deep copy whose names and strings all live in `pool`. The copy
// constructor of Value would share the strings of a parsed document, which
// point into that document's text, and the copy must not depend on it.
Value copyValue(const Value& source, Pool& pool) {
    switch (source.GetType()) {
        case rj::kStringType:
            return Value(source.GetString(), source.GetStringLength(), pool);
        case rj::kObjectType: {
            Value object(rj::kObjectType);
            for (auto it = source.MemberBegin(); it != source.MemberEnd(); ++it) {
                Value name = copyValue(it->name, pool);
                Value value = copyValue(it->value, pool);
                object.AddMember(name, value, pool);
            }
            return object;
        }
        case rj::kArrayType: {
            Value array(rj::kArrayType);
            array.Reserve(source.Size(), pool);
            for (auto it = source.Begin(); it != source.End(); ++it) {
                Value element = copyValue(*it, pool);
                array.PushBack(element, pool);
            }
            return array;
        }
        default:
            return Value(source, pool);  // null, booleans and numbers
    }
}

bool nameIs(const Value& name, const std::string& key) {
    return name.GetStringLength() == key.size() && std::memcmp(name.GetString(), key.data(), key.size()) == 0;
}

// The last member of that name: with duplicate names the last one counts.
Value* findMember(const Value& object, const std::string& key) {
    auto& members = const_cast<Value&>(object);
    for (auto it = members.MemberEnd(); it != members.MemberBegin();) {
        --it;
        if (nameIs(it->name, key)) return &it->value;
    }
    return nullptr;
}

// Writes through a RapidJSON Writer, but a number that is not finite becomes
// null instead of ending the output early.
template <typename Writer>
class FiniteWriter {
public:
    explicit FiniteWriter(Writer& writer) : m_writer(writer) {}
    bool Null() { return m_writer.Null(); }
    bool Bool(bool b) { return m_writer.Bool(b); }
    bool Int(int i) { return m_writer.Int(i); }
    bool Uint(unsigned u) { return m_writer.Uint(u); }
    bool Int64(int64_t i) { return m_writer.Int64(i); }
    bool Uint64(uint64_t u) { return m_writer.Uint64(u); }
    bool Double(double d) { return std::isfinite(d) ? m_writer.Double(d) : m_writer.Null(); }
    bool String(const char* s, rj::SizeType n, bool copy) { return m_writer.String(s, n, copy); }
    bool StartObject() { return m_writer.StartObject(); }
    bool Key(const char* s, rj::SizeType n, bool copy) { return m_writer.Key(s, n, copy); }
    bool EndObject(rj::SizeType count) { return m_writer.EndObject(count); }
    bool StartArray() { return m_writer.StartArray(); }
    bool EndArray(rj::SizeType count) { return m_writer.EndArray(count); }

private:
    Writer& m_writer;
};

// The flag has no effect here, as FiniteWriter writes no number that is not
// finite; it selects the writer's plain string loop over its 16-byte scan,
// which lets the control characters 0x1A to 0x1F through unescaped.
using TextWriter = rj::Writer<rj::StringBuffer, rj::UTF8<>, rj::UTF8<>, rj::CrtAllocator, rj::kWriteNanAndInfFlag>;

void writeValue(const Value& value, std::ostream& out) {
    rj::StringBuffer buffer;
    TextWriter writer(buffer);
    FiniteWriter<TextWriter> handler(writer);
    value.Accept(handler);
    out.write(buffer.GetString(), static_cast<std::streamsize>(buffer.GetSize()));
}

/// Freed blocks of one size kept per thread, up to a bound, the last freed
/// first taken. A thread that parses message after message (a connection
/// thread) then reuses a document or view block still in its cache, where the
/// allocator would hand out one from cold memory, or of a size it does not
/// cache at all (a document). The blocks a thread keeps go when it ends.
template <std::size_t SIZE>
class BlockCache {
public:
    static void* take() {
        Slots& slots = local();
        if (slots.count == 0) return nullptr;
        void* block = slots.blocks[--slots.count];
        ASAN_UNPOISON_MEMORY_REGION(block, SIZE);
        return block;
    }

    /// False when the block must go back to the allocator.
    static bool keep(void* block) {
        Slots& slots = local();
        if (slots.closed || slots.count == CAPACITY) return false;
        releaseAtThreadEnd();
        // Kept blocks stay poisoned under the address sanitizer, which then
        // still reports a use after free.
        ASAN_POISON_MEMORY_REGION(block, SIZE);
        slots.blocks[slots.count++] = block;
        return true;
    }

private:
    static constexpr std::size_t CAPACITY = 128;  // for documents, about 150 KiB

    // Trivially destructible: still usable while the thread's other objects
    // go, some of which may free documents.
    struct Slots {
        void* blocks[CAPACITY] = {};
        std::size_t count = 0;
        bool closed = false;
    };

    // Frees the kept blocks when the thread ends, and closes the cache.
    struct Releaser {
        ~Releaser() {
            Slots& slots = local();
            slots.closed = true;
            while (slots.count > 0) {
                void* block = slots.blocks[--slots.count];
                ASAN_UNPOISON_MEMORY_REGION(block, SIZE);
                ::operator delete(block);
            }
        }
    };

    static Slots& local() {
        static thread_local Slots slots;
        return slots;
    }

    static void releaseAtThreadEnd() { static thread_local Releaser releaser; }
};

/// Allocates single objects through the thread's BlockCache of their size.
template <typename T>
struct RecyclingAllocator {
    using value_type = T;
    RecyclingAllocator() = default;
    template <typename U>
    RecyclingAllocator(const RecyclingAllocator<U>&) noexcept {}

    T* allocate(std::size_t n) {
        if (n == 1)
            if (void* block = BlockCache<sizeof(T)>::take()) return static_cast<T*>(block);
        return static_cast<T*>(::operator new(n * sizeof(T)));
    }
    void deallocate(T* p, std::size_t n) noexcept {
        if (n == 1 && BlockCache<sizeof(T)>::keep(p)) return;
        ::operator delete(p);
    }
    template <typename U>
    bool operator==(const RecyclingAllocator<U>&) const noexcept { return true; }
    template <typename U>
    bool operator!=(const RecyclingAllocator<U>&) const noexcept { return false; }
};

/// A shared object in a block recycled through the thread's BlockCache.
template <typename T, typename... Args>
std::shared_ptr<T> makeRecycled(Args&&... args) {
    return std::allocate_shared<T>(RecyclingAllocator<T>(), std::forward<Args>(args)...);
}

/// Owns one document: its allocators, its root value and a count of the
/// changes made to it (see RapidNode). The pool never frees single values:
/// a value that a change has moved or replaced stays readable memory until
/// the document goes, and a long-lived object whose members are replaced
/// over and over grows until it is released.
class RapidJsonDocument final : public JsonDocument, public std::enable_shared_from_this<RapidJsonDocument> {
public:
    explicit RapidJsonDocument(std::size_t chunkCapacity)
        : m_pool(m_inline, sizeof m_inline, chunkCapacity, &m_chunks), m_document(&m_pool, STACK_CAPACITY, &m_chunks) {}

    static std::shared_ptr<RapidJsonDocument> create(std::size_t chunkCapacity, rj::Type type) {
        auto document = makeRecycled<RapidJsonDocument>(chunkCapacity);
        if (type == rj::kArrayType) {
            document->m_document.SetArray();
        } else {
            document->m_document.SetObject();
        }
        return document;
    }

    void parse(const char* text, std::size_t length);

    bool isRootObject() const override { return m_document.IsObject(); }
    bool isRootArray() const override { return m_document.IsArray(); }
    JsonObject::Shared getRootObject() const override;
    JsonArray::Shared getRootArray() const override;

    Value& root() { return m_document; }
    Pool& pool() { return m_pool; }
    std::uint64_t generation() const { return m_generation; }
    std::uint64_t advance() { return ++m_generation; }

private:
    static constexpr std::size_t STACK_CAPACITY = 512;
    // The pool's first chunk lives inside the document: a small message then
    // costs one allocation (and one free, often on another thread) for the
    // document, its text and its values together.
    static constexpr std::size_t INLINE_CHUNK = 1024;

    ChunkAllocator m_chunks;
    alignas(std::max_align_t) char m_inline[INLINE_CHUNK];
    Pool m_pool;
    Document m_document;
    std::uint64_t m_generation = 0;
};

/// How a view reaches its value: it is the document root, or the member named
/// `key` of a parent object view, or the element `index` of a parent array
/// view. The value's address is cached with the document's change count.
/// Adding or removing members may move values inside their parent, so after
/// any change a view looks its value up again through its parent: it keeps
/// denoting the member (or position) it was taken from, and reports it as
/// missing or of the wrong type once it no longer is an object or array.
class RapidNode : public std::enable_shared_from_this<RapidNode> {
public:
    enum class Kind { OBJECT, ARRAY };

    RapidNode(Kind kind, std::shared_ptr<RapidJsonDocument> document)
        : m_document(std::move(document)), m_kind(kind), m_value(&m_document->root()) {}

    RapidNode(Kind kind, std::shared_ptr<const RapidNode> parent, std::string key, Value& value)
        : m_document(parent->m_document), m_parent(std::move(parent)), m_key(std::move(key)), m_kind(kind),
          m_value(&value), m_generation(m_document->generation()) {}

    RapidNode(Kind kind, std::shared_ptr<const RapidNode> parent, std::size_t index, Value& value)
        : m_document(parent->m_document), m_parent(std::move(parent)), m_index(index), m_kind(kind),
          m_value(&value), m_generation(m_document->generation()) {}

    virtual ~RapidNode() = default;

    /// The value, looked up again if the document changed since it was cached.
    const Value& current() const {
        if (!m_parent || m_generation == m_document->generation()) return *m_value;
        return relocate();
    }

protected:
    Value& changeable() { return const_cast<Value&>(current()); }

    /// Records a change made through this view to `value`, its own value.
    void changed(Value& value) {
        m_value = &value;
        m_generation = m_document->advance();
    }

    Pool& pool() const { return m_document->pool(); }
    std::shared_ptr<const RapidNode> self() const { return shared_from_this(); }

private:
    const Value& relocate() const;
    bool hasKind(const Value& value) const { return m_kind == Kind::OBJECT ? value.IsObject() : value.IsArray(); }
    const char* kindName() const { return m_kind == Kind::OBJECT ? AN_OBJECT : AN_ARRAY; }

    std::shared_ptr<RapidJsonDocument> m_document;
    std::shared_ptr<const RapidNode> m_parent;
    std::string m_key;
    std::size_t m_index = 0;
    Kind m_kind;
    Value* m_value;
    std::uint64_t m_generation = 0;
};

const Value& RapidNode::relocate() const {
    const Value& parent = m_parent->current();
    const Value* value = nullptr;
    if (m_parent->m_kind == Kind::OBJECT) {
        value = findMember(parent, m_key);
        if (value == nullptr) throwMissing(m_key);
        if (!hasKind(*value)) throwMemberType(m_key, kindName());
    } else {
        if (m_index >= parent.Size()) throwOutOfRange(m_index, parent.Size());
        value = &parent[static_cast<rj::SizeType>(m_index)];
        if (!hasKind(*value)) throwElementType(m_index, kindName());
    }
    return *value;
}

class RapidJsonObject final : public JsonObject, public RapidNode {
public:
    template <typename... Args>
    explicit RapidJsonObject(Args&&... args) : RapidNode(Kind::OBJECT, std::forward<Args>(args)...) {}

    bool has(const std::string& key) const override { return findMember(current(), key) != nullptr; }
    bool isNull(const std::string& key) const override { return test(key, &Value::IsNull); }
    bool isString(const std::string& key) const override { return test(key, &Value::IsString); }
    bool isLong(const std::string& key) const override { return test(key, &Value::IsInt64); }
    bool isULong(const std::string& key) const override { return test(key, &Value::IsUint64); }
    bool isBool(const std::string& key) const override { return test(key, &Value::IsBool); }
    bool isDouble(const std::string& key) const override { return test(key, &Value::IsDouble); }
    bool isObject(const std::string& key) const override { return test(key, &Value::IsObject); }
    bool isArray(const std::string& key) const override { return test(key, &Value::IsArray); }

    std::string getString(const std::string& key) const override {
        const Value& value = member(key, &Value::IsString, A_STRING);
        return std::string(value.GetString(), value.GetStringLength());
    }
    bool getStringIfPresent(const std::string& key, std::string& text) const override {
        const Value* value = findMember(current(), key);
        if (value == nullptr) return false;
        if (!value->IsString()) throwMemberType(key, A_STRING);
        text.assign(value->GetString(), value->GetStringLength());
        return true;
    }
    int64_t getLong(const std::string& key) const override { return member(key, &Value::IsInt64, A_LONG).GetInt64(); }
    uint64_t getULong(const std::string& key) const override {
        return member(key, &Value::IsUint64, A_ULONG).GetUint64();
    }
    bool getBool(const std::string& key) const override { return member(key, &Value::IsBool, A_BOOL).GetBool(); }
    double getDouble(const std::string& key) const override {
        return member(key, &Value::IsNumber, A_NUMBER).GetDouble();
    }
    std::shared_ptr<JsonArray> getArray(const std::string& key) const override;
    Shared getObject(const std::string& key) const override;

    void setString(const std::string& key, const std::string& value) override { put(key, makeString(value, pool())); }
    void setLong(const std::string& key, int64_t value) override { put(key, Value(value)); }
    void setULong(const std::string& key, uint64_t value) override { put(key, Value(value)); }
    void setBool(const std::string& key, bool value) override { put(key, Value(value)); }
    void setDouble(const std::string& key, double value) override { put(key, Value(value)); }
    void setNull(const std::string& key) override { put(key, Value()); }
    void setObject(const std::string& key, const JsonObject& value) override;
    void setArray(const std::string& key, const JsonArray& value) override;
    bool remove(const std::string& key) override;

    std::vector<std::string> getKeys() const override;
    std::size_t size() const override { return current().MemberCount(); }
    void writeTo(std::ostream& out) const override { writeValue(current(), out); }
    Shared clone() const override;

private:
    bool test(const std::string& key, IsType isType) const {
        const Value* value = findMember(current(), key);
        return value != nullptr && (value->*isType)();
    }

    const Value& member(const std::string& key, IsType isType, const char* expected) const {
        const Value* value = findMember(current(), key);
        if (value == nullptr) throwMissing(key);
        if (!(value->*isType)()) throwMemberType(key, expected);
        return *value;
    }

    // Replaces the member readers see under `key`, or appends one.
    Value& put(const std::string& key, Value&& value);
    template <typename View, typename Source>
    void putContainer(const std::string& key, const Source& source, rj::Type type);
};

class RapidJsonArray final : public JsonArray, public RapidNode {
public:
    template <typename... Args>
    explicit RapidJsonArray(Args&&... args) : RapidNode(Kind::ARRAY, std::forward<Args>(args)...) {}

    std::size_t size() const override { return current().Size(); }

    bool isNull(std::size_t index) const override { return test(index, &Value::IsNull); }
    bool isString(std::size_t index) const override { return test(index, &Value::IsString); }
    bool isLong(std::size_t index) const override { return test(index, &Value::IsInt64); }
    bool isULong(std::size_t index) const override { return test(index, &Value::IsUint64); }
    bool isBool(std::size_t index) const override { return test(index, &Value::IsBool); }
    bool isDouble(std::size_t index) const override { return test(index, &Value::IsDouble); }
    bool isObject(std::size_t index) const override { return test(index, &Value::IsObject); }
    bool isArray(std::size_t index) const override { return test(index, &Value::IsArray); }

    std::string getString(std::size_t index) const override {
        const Value& value = element(index, &Value::IsString, A_STRING);
        return std::string(value.GetString(), value.GetStringLength());
    }
    int64_t getLong(std::size_t index) const override { return element(index, &Value::IsInt64, A_LONG).GetInt64(); }
    uint64_t getULong(std::size_t index) const override {
        return element(index, &Value::IsUint64, A_ULONG).GetUint64();
    }
    bool getBool(std::size_t index) const override { return element(index, &Value::IsBool, A_BOOL).GetBool(); }
    double getDouble(std::size_t index) const override {
        return element(index, &Value::IsNumber, A_NUMBER).GetDouble();
    }
    std::shared_ptr<JsonObject> getObject(std::size_t index) const override;
    Shared getArray(std::size_t index) const override;

    void addString(const std::string& value) override { append(makeString(value, pool())); }
    void addLong(int64_t value) override { append(Value(value)); }
    void addULong(uint64_t value) override { append(Value(value)); }
    void addBool(bool value) override { append(Value(value)); }
    void addDouble(double value) override { append(Value(value)); }
    void addNull() override { append(Value()); }
    void addObject(const JsonObject& value) override;
    void addArray(const JsonArray& value) override;
    void addAll(const JsonArray& other) override;
    void removeAt(std::size_t index) override;
    void clear() override;

    void writeTo(std::ostream& out) const override { writeValue(current(), out); }
    Shared clone() const override;

private:
    const Value* at(std::size_t index) const {
        const Value& array = current();
        return index < array.Size() ? &array[static_cast<rj::SizeType>(index)] : nullptr;
    }

    bool test(std::size_t index, IsType isType) const {
        const Value* value = at(index);
        return value != nullptr && (value->*isType)();
    }

    const Value& element(std::size_t index, IsType isType, const char* expected) const {
        const Value* value = at(index);
        if (value == nullptr) throwOutOfRange(index, size());
        if (!(value->*isType)()) throwElementType(index, expected);
        return *value;
    }

    Value& append(Value&& value);
    template <typename View, typename Source>
    void appendContainer(const Source& source, rj::Type type);
};

// --- RapidJsonDocument ---

void RapidJsonDocument::parse(const char* text, std::size_t length) {
    // The copy, kept in the pool with the values whose strings point into
    // it, ends in a NUL, as parsing in place needs, and NUL padding up to the
    // end of the last 16-byte block the scan may load; a NUL inside the text
    // reads as it did through a stream bounded by the length.
    auto* copy = static_cast<char*>(m_pool.Malloc(length + SCAN_PADDING));
    if (copy == nullptr) throw std::bad_alloc();
    if (length > 0) std::memcpy(copy, text, length);
    std::memset(copy + length, 0, SCAN_PADDING);
    rj::GenericInsituStringStream<rj::UTF8<>> stream(copy);
    m_document.ParseStream<PARSE_FLAGS, rj::UTF8<>>(stream);
    if (m_document.HasParseError()) {
        throwParseError(m_document.GetErrorOffset(), rj::GetParseError_En(m_document.GetParseError()));
    }
    const std::size_t end = skipWhitespace(text, length, stream.Tell());
    if (end != length) throwParseError(end, rj::GetParseError_En(rj::kParseErrorDocumentRootNotSingular));
}

JsonObject::Shared RapidJsonDocument::getRootObject() const {
    if (!isRootObject()) throw JsonException("JSON root is not an object");
    return makeRecycled<RapidJsonObject>(std::const_pointer_cast<RapidJsonDocument>(shared_from_this()));
}

JsonArray::Shared RapidJsonDocument::getRootArray() const {
    if (!isRootArray()) throw JsonException("JSON root is not an array");
    return makeRecycled<RapidJsonArray>(std::const_pointer_cast<RapidJsonDocument>(shared_from_this()));
}

// --- RapidJsonObject ---

std::shared_ptr<JsonArray> RapidJsonObject::getArray(const std::string& key) const {
    const Value& value = member(key, &Value::IsArray, AN_ARRAY);
    return makeRecycled<RapidJsonArray>(self(), key, const_cast<Value&>(value));
}

JsonObject::Shared RapidJsonObject::getObject(const std::string& key) const {
    const Value& value = member(key, &Value::IsObject, AN_OBJECT);
    return makeRecycled<RapidJsonObject>(self(), key, const_cast<Value&>(value));
}

Value& RapidJsonObject::put(const std::string& key, Value&& value) {
    Value& object = changeable();
    Value* slot = findMember(object, key);
    if (slot != nullptr) {
        *slot = value;
    } else {
        Value name = makeString(key, pool());
        object.AddMember(name, value, pool());
        slot = &(object.MemberEnd() - 1)->value;
    }
    changed(object);
    return *slot;
}

// A value of this implementation is copied in one step (before anything
// changes, as it may be this object itself); one of the other implementation
// is rebuilt member by member through the common interface.
template <typename View, typename Source>
void RapidJsonObject::putContainer(const std::string& key, const Source& source, rj::Type type) {
    if (const auto* same = dynamic_cast<const View*>(&source)) {
        put(key, copyValue(same->current(), pool()));
        return;
    }
    Value& slot = put(key, Value(type));
    auto view = std::make_shared<View>(self(), key, slot);
    if constexpr (std::is_same<View, RapidJsonObject>::value) {
        copyMembers(source, *view);
    } else {
        copyElements(source, *view);
    }
}

void RapidJsonObject::setObject(const std::string& key, const JsonObject& value) {
    putContainer<RapidJsonObject>(key, value, rj::kObjectType);
}

void RapidJsonObject::setArray(const std::string& key, const JsonArray& value) {
    putContainer<RapidJsonArray>(key, value, rj::kArrayType);
}

bool RapidJsonObject::remove(const std::string& key) {
    Value& object = changeable();
    bool removed = false;
    for (auto it = object.MemberBegin(); it != object.MemberEnd();) {
        if (nameIs(it->name, key)) {
            it = object.EraseMember(it);
            removed = true;
        } else {
            ++it;
        }
    }
    if (removed) changed(object);
    return removed;
}

std::vector<std::string> RapidJsonObject::getKeys() const {
    const Value& object = current();
    std::vector<std::string> keys;
    keys.reserve(object.MemberCount());
    for (auto it = object.MemberBegin(); it != object.MemberEnd(); ++it) {
        keys.emplace_back(it->name.GetString(), it->name.GetStringLength());
    }
    return keys;
}

JsonObject::Shared RapidJsonObject::clone() const {
    auto document = RapidJsonDocument::create(CLONE_CHUNK, rj::kObjectType);
    document->root() = copyValue(current(), document->pool());
    return makeRecycled<RapidJsonObject>(document);
}

// --- RapidJsonArray ---

std::shared_ptr<JsonObject> RapidJsonArray::getObject(std::size_t index) const {
    const Value& value = element(index, &Value::IsObject, AN_OBJECT);
    return makeRecycled<RapidJsonObject>(self(), index, const_cast<Value&>(value));
}

JsonArray::Shared RapidJsonArray::getArray(std::size_t index) const {
    const Value& value = element(index, &Value::IsArray, AN_ARRAY);
    return makeRecycled<RapidJsonArray>(self(), index, const_cast<Value&>(value));
}

Value& RapidJsonArray::append(Value&& value) {
    Value& array = changeable();
    checkedSize(std::size_t(array.Size()) + 1);
    array.PushBack(value, pool());
    changed(array);
    return array[array.Size() - 1];
}

template <typename View, typename Source>
void RapidJsonArray::appendContainer(const Source& source, rj::Type type) {
    if (const auto* same = dynamic_cast<const View*>(&source)) {
        append(copyValue(same->current(), pool()));
        return;
    }
    Value& slot = append(Value(type));
    auto view = std::make_shared<View>(self(), size() - 1, slot);
    if constexpr (std::is_same<View, RapidJsonObject>::value) {
        copyMembers(source, *view);
    } else {
        copyElements(source, *view);
    }
}

void RapidJsonArray::addObject(const JsonObject& value) { appendContainer<RapidJsonObject>(value, rj::kObjectType); }

void RapidJsonArray::addArray(const JsonArray& value) { appendContainer<RapidJsonArray>(value, rj::kArrayType); }

void RapidJsonArray::addAll(const JsonArray& other) {
    const auto* same = dynamic_cast<const RapidJsonArray*>(&other);
    if (same == nullptr) {
        copyElements(other, *this);
        return;
    }
    Value copy = copyValue(same->current(), pool());  // first: `other` may be this array
    Value& array = changeable();
    array.Reserve(checkedSize(std::size_t(array.Size()) + copy.Size()), pool());
    for (rj::SizeType i = 0; i < copy.Size(); ++i) array.PushBack(copy[i], pool());
    changed(array);
}

void RapidJsonArray::removeAt(std::size_t index) {
    Value& array = changeable();
    if (index >= array.Size()) throwOutOfRange(index, array.Size());
    array.Erase(array.Begin() + index);
    changed(array);
}

void RapidJsonArray::clear() {
    Value& array = changeable();
    array.Clear();
    changed(array);
}

JsonArray::Shared RapidJsonArray::clone() const {
    auto document = RapidJsonDocument::create(CLONE_CHUNK, rj::kArrayType);
    document->root() = copyValue(current(), document->pool());
    return makeRecycled<RapidJsonArray>(document);
}

// --- RapidJsonParser ---

class RapidJsonParser final : public JsonParser {
public:
    JsonDocument::Shared parse(const std::string& text) override { return parse(text.data(), text.size()); }

    JsonDocument::Shared parse(const char* text, std::size_t length) override {
        checkText(text, length);
        return parseCheckedRapidJson(text, length);
    }
};

}  // namespace

JsonDocument::Shared parseCheckedRapidJson(const char* text, std::size_t length) {
    auto document = makeRecycled<RapidJsonDocument>(chunkCapacityFor(length));
    document->parse(text, length);
    return document;
}

JsonObject::Shared createRapidJsonObject() {
    return makeRecycled<RapidJsonObject>(RapidJsonDocument::create(CREATED_CHUNK, rj::kObjectType));
}

JsonArray::Shared createRapidJsonArray() {
    return makeRecycled<RapidJsonArray>(RapidJsonDocument::create(CREATED_CHUNK, rj::kArrayType));
}

// The parser keeps no state between parses, so one instance serves all.
JsonParser::Shared createRapidJsonParser() {
    static const JsonParser::Shared parser = std::make_shared<RapidJsonParser>();
    return parser;
}

}  // namespace qelutil
