#include "core/backup/ManifestInput.h"

namespace lumifold {
namespace {

// JSON's own white space only: a form feed or a vertical tab outside a string must still reach
// the parser and be refused there.
bool isJsonSpace(char c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; }

}  // namespace

ManifestInput::ManifestInput(std::string_view text) : m_text(text), m_collapsedBuffer(kBlockSize) {}

ManifestInput::ManifestInput(std::FILE* file)
    : m_file(file), m_buffer(kBlockSize), m_collapsedBuffer(kBlockSize) {}

std::uint64_t ManifestInput::position() const {
    // Nothing of this block taken: the text's start, or its end once every block was read.
    if (m_at == 0) return m_blockStart;
    std::vector<char> scratch(m_at);
    Place place = m_placeAtBlockStart;
    std::size_t end = 0;
    collapse(m_block, place, scratch.data(), m_at, end);
    return m_blockStart + end;
}

std::size_t ManifestInput::collapse(std::string_view raw, Place& place, char* out,
                                    std::size_t limit, std::size_t& end) {
    std::size_t written = 0;
    std::size_t at = 0;
    while (at < raw.size() && written < limit) {
        const char c = raw[at++];
        switch (place) {
            case Place::afterSpace:
                if (isJsonSpace(c)) {
                    // The rest of the run goes at once: a hostile manifest may be a gigabyte of it.
                    while (at < raw.size() && isJsonSpace(raw[at])) ++at;
                    continue;
                }
                [[fallthrough]];
            case Place::betweenTokens:
                if (isJsonSpace(c)) {
                    place = Place::afterSpace;
                    out[written++] = ' ';
                    end = at;
                    continue;
                }
                // Outside a string, a quote can only open one: the lexer reads it so too, or
                // has already refused the text.
                place = c == '"' ? Place::inString : Place::betweenTokens;
                break;
            case Place::inString:
                if (c == '\\') place = Place::afterBackslash;
                if (c == '"') place = Place::betweenTokens;
                break;
            case Place::afterBackslash:
                // Whatever follows a backslash, a quote or another backslash, is the string's.
                place = Place::inString;
                break;
        }
        out[written++] = c;
        end = at;
    }
    return written;
}

bool ManifestInput::refill() {
    for (;;) {
        m_blockStart += m_block.size();
        m_block = nextBlock();
        m_placeAtBlockStart = m_place;
        std::size_t end = 0;
        const std::size_t count =
            collapse(m_block, m_place, m_collapsedBuffer.data(), kBlockSize, end);
        m_collapsed = std::string_view(m_collapsedBuffer.data(), count);
        m_at = 0;
        if (count > 0) return true;
        if (m_block.empty()) return false;
    }
}

std::string_view ManifestInput::nextBlock() {
    if (m_file == nullptr) {
        const std::string_view block = m_text.substr(0, kBlockSize);
        m_text.remove_prefix(block.size());
        return block;
    }
    return {m_buffer.data(), std::fread(m_buffer.data(), 1, m_buffer.size(), m_file)};
}

}  // namespace lumifold
