#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <string_view>
#include <vector>

namespace lumifold {

// A manifest's text as the JSON parser reads it: every run of JSON white space outside strings
// comes out as one space, and strings, escapes and all, come out unchanged, so the parse gives
// the same value. nlohmann's lexer keeps the white space before a token in its token buffer, so
// a gigabyte of spaces would otherwise be held whole. The text, in a file or in memory, is read
// and collapsed kBlockSize bytes at a time, so nothing grows with it.
class ManifestInput final {
  public:
    static constexpr std::size_t kBlockSize = 64 * 1024;
    static constexpr int kEnd = -1;

    // `text` must outlive the input.
    explicit ManifestInput(std::string_view text);
    // Reads `file` from where it stands to its end; a read error ends the input as the file's
    // end would, which the parser then reports as a manifest cut short.
    explicit ManifestInput(std::FILE* file);
    ManifestInput(const ManifestInput&) = delete;
    ManifestInput& operator=(const ManifestInput&) = delete;

    // The next character (0 to 255) without taking it, or kEnd.
    int peek() {
        return m_at < m_collapsed.size() || refill() ? static_cast<unsigned char>(m_collapsed[m_at])
                                                     : kEnd;
    }
    void take() { ++m_at; }
    // The bytes of the original text up to and including the last character taken, or all of
    // them once the end was reached: where a parse error lies in the file, which the parser's
    // own count (of collapsed text) is not. Collapses part of a block again, so it is for
    // errors, not for every character.
    std::uint64_t position() const;

    // An input iterator over the characters, for json::sax_parse(first, last, ...); the end
    // iterator is a default-constructed one. All iterators share this input's place.
    class Iterator {
      public:
        using iterator_category = std::input_iterator_tag;
        using value_type = char;
        using difference_type = std::ptrdiff_t;
        using pointer = const char*;
        using reference = char;

        Iterator() = default;
        explicit Iterator(ManifestInput* input) : m_input(input) {}
        char operator*() const { return static_cast<char>(m_input->peek()); }
        Iterator& operator++() {
            m_input->take();
            return *this;
        }
        friend bool operator==(const Iterator& a, const Iterator& b) {
            return a.atEnd() == b.atEnd();
        }

      private:
        bool atEnd() const { return m_input == nullptr || m_input->peek() == kEnd; }
        ManifestInput* m_input = nullptr;
    };
    Iterator begin() { return Iterator(this); }
    static Iterator end() { return Iterator(); }

  private:
    enum class Place { betweenTokens, afterSpace, inString, afterBackslash };

    // Collapses `raw`, read from `place` on, into `out` (room for `limit` characters), moving
    // `place` along; stops after `limit` characters. Returns how many it wrote; `end` receives
    // how many bytes of `raw` the last of them took.
    static std::size_t collapse(std::string_view raw, Place& place, char* out, std::size_t limit,
                                std::size_t& end);
    // Collapses the next block that gives any character; false at the end of the text.
    bool refill();
    std::string_view nextBlock();

    std::FILE* m_file = nullptr;
    std::string_view m_text;  // what is left of a text in memory
    std::vector<char> m_buffer;
    std::string_view m_block;  // the block being read, as it was before collapsing
    std::uint64_t m_blockStart = 0;
    Place m_placeAtBlockStart = Place::betweenTokens;
    Place m_place = Place::betweenTokens;
    std::vector<char> m_collapsedBuffer;
    std::string_view m_collapsed;  // m_block collapsed
    std::size_t m_at = 0;          // in m_collapsed
};

}  // namespace lumifold
