#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace lumifold {

// Writes JSON as it goes, so a document of a million entries never exists as a tree. The text
// is byte for byte what nlohmann's dump(2) gives for the same values in the same order (keys
// are written in the order the caller gives them). Output collects in a buffer handed to `sink`
// whenever it grows past a threshold and at finish().
class JsonWriter final {
  public:
    struct Options {
        // Every "/" inside strings written as "\/".
        bool escapeSolidus = false;
        // Text that is not well-formed UTF-8 gets U+FFFD for each bad sequence (as the tree's
        // "replace" handler does) instead of an exception.
        bool replaceInvalidUtf8 = false;
        // One line, as dump(-1) gives it: no newlines, no space after ':'.
        bool compact = false;
    };
    using Sink = std::function<void(std::string_view)>;

    JsonWriter(Sink sink, Options options);
    JsonWriter(const JsonWriter&) = delete;
    JsonWriter& operator=(const JsonWriter&) = delete;

    void beginObject();
    void endObject();
    void beginArray();
    void endArray();
    // The next member's key; the value follows with one of the calls above or below.
    void key(std::string_view name);
    // Throws std::invalid_argument for text that is not UTF-8 (unless replaced).
    void string(std::string_view text);
    void integer(std::int64_t value);
    void unsignedInteger(std::uint64_t value);
    void boolean(bool value);
    void null();
    // A value already in JSON text, written as it is.
    void rawValue(std::string_view json);
    // The same for a value whose text `produce` hands to the sink itself, piece by piece (a long
    // list copied from an earlier document), after what is buffered.
    void rawValueFrom(const std::function<void(const Sink&)>& produce);
    // The bytes of text so far: handed to the sink or still buffered.
    std::uint64_t size() const { return m_handed + m_size; }
    // A newline between documents (JSON lines); between values only.
    void lineBreak() { put('\n'); }

    // Hands the rest of the text to the sink.
    void finish();

  private:
    void beforeValue();
    void writeString(std::string_view text);
    void newline(std::size_t depth);
    void flushIfLarge();
    void handOver();
    // Where `bytes` more may be written; the writer then moves m_size past what it wrote.
    char* room(std::size_t bytes) {
        if (m_capacity - m_size < bytes) grow(bytes);
        return m_buffer.get() + m_size;
    }
    void grow(std::size_t bytes);
    void put(char c) {
        *room(1) = c;
        ++m_size;
    }
    void put(std::string_view text);

    Sink m_sink;
    Options m_options;
    // Written through pointers, not appended piece by piece: a manifest is millions of short
    // strings, and each append's checks would cost more than the copy.
    std::unique_ptr<char[]> m_buffer;
    std::size_t m_size = 0;
    std::size_t m_capacity = 0;
    // One entry per open container: whether it has a member yet.
    std::vector<bool> m_hasMembers;
    bool m_afterKey = false;
    std::uint64_t m_handed = 0;  // bytes the sink has had
};

}  // namespace lumifold
