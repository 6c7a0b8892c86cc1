#pragma once

#include <cstddef>
#include <cstdint>

#include "core/common/BigEndian.h"
#include "core/common/Bytes.h"

namespace lumifold {

// Reads big-endian fields from a byte view, front to back, never past its end. Each read
// advances past what it read and returns true; one that does not fit reads nothing, leaves the
// position where it was, sets the output to zero (or empty), and fails the cursor: from then on
// every read and seek fails too, so a run of reads may be checked once. The bytes must outlive
// the cursor and every view it hands out.
class ByteCursor {
  public:
    explicit ByteCursor(ByteView bytes, std::uint64_t position = 0) : m_bytes(bytes) {
        seek(position);
    }

    std::uint64_t position() const { return m_position; }
    std::uint64_t remaining() const { return m_bytes.size() - m_position; }
    bool failed() const { return m_failed; }

    // Moves to `position`, counted from the start of the view; the end itself is allowed.
    bool seek(std::uint64_t position) {
        if (m_failed || position > m_bytes.size()) return fail();
        m_position = position;
        return true;
    }

    bool skip(std::uint64_t count) {
        ByteView skipped;
        return readBytes(count, &skipped);
    }

    bool readBytes(std::uint64_t count, ByteView* out) {
        *out = {};
        if (m_failed || count > remaining()) return fail();
        *out =
            m_bytes.subspan(static_cast<std::size_t>(m_position), static_cast<std::size_t>(count));
        m_position += count;
        return true;
    }

    // `count` units of `unitSize` bytes each (UTF-16 text, a table of references), refused
    // whole when they do not fit, however large `count` is.
    bool readUnits(std::uint64_t count, std::uint64_t unitSize, ByteView* out) {
        *out = {};
        if (m_failed || unitSize == 0 || count > remaining() / unitSize) return fail();
        return readBytes(count * unitSize, out);
    }

    // An unsigned integer of `width` bytes, 1 to 8.
    bool readUnsigned(std::size_t width, std::uint64_t* out) {
        *out = 0;
        if (m_failed || width < 1 || width > 8 || width > remaining()) return fail();
        *out = loadUnsigned(m_bytes.data() + m_position, width);
        m_position += width;
        return true;
    }

    bool readU8(std::uint8_t* out) { return readNarrow(out); }
    bool readU16(std::uint16_t* out) { return readNarrow(out); }
    bool readU32(std::uint32_t* out) { return readNarrow(out); }
    bool readU64(std::uint64_t* out) { return readUnsigned(8, out); }

  private:
    template <typename Unsigned>
    bool readNarrow(Unsigned* out) {
        std::uint64_t value = 0;
        const bool read = readUnsigned(sizeof(Unsigned), &value);
        *out = static_cast<Unsigned>(value);
        return read;
    }

    bool fail() {
        m_failed = true;
        return false;
    }

    ByteView m_bytes;
    std::uint64_t m_position = 0;
    bool m_failed = false;
};

}  // namespace lumifold
