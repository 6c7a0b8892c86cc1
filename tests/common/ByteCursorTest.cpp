#include <gtest/gtest.h>

#include <cstdint>
#include <functional>

#include "core/common/ByteCursor.h"

namespace lumifold {
namespace {

const Bytes kSample = {std::byte{0x12}, std::byte{0x34}, std::byte{0x56}, std::byte{0x78},
                       std::byte{0x9A}, std::byte{0xBC}, std::byte{0xDE}, std::byte{0xF0}};

// One read from a cursor over kSample at `start`: whether it fits, the value it gives (a
// view's size for byte reads) and where the cursor stands after it.
struct Case {
    const char* name;
    std::uint64_t start = 0;
    std::function<bool(ByteCursor&, std::uint64_t*)> read;
    bool fits = true;
    std::uint64_t value = 0;
    std::uint64_t position = 0;
};

template <typename Unsigned>
std::function<bool(ByteCursor&, std::uint64_t*)> narrow(bool (ByteCursor::*read)(Unsigned*)) {
    return [read](ByteCursor& cursor, std::uint64_t* out) {
        Unsigned value = 1;
        const bool fits = (cursor.*read)(&value);
        *out = value;
        return fits;
    };
}

std::function<bool(ByteCursor&, std::uint64_t*)> units(std::uint64_t count, std::uint64_t size) {
    return [count, size](ByteCursor& cursor, std::uint64_t* out) {
        ByteView view = kSample;
        const bool fits = cursor.readUnits(count, size, &view);
        *out = view.size();
        return fits;
    };
}

std::function<bool(ByteCursor&, std::uint64_t*)> unsignedOf(std::size_t width) {
    return
        [width](ByteCursor& cursor, std::uint64_t* out) { return cursor.readUnsigned(width, out); };
}

std::function<bool(ByteCursor&, std::uint64_t*)> seekTo(std::uint64_t position) {
    return [position](ByteCursor& cursor, std::uint64_t* out) {
        *out = 0;
        return cursor.seek(position);
    };
}

// name, start, read, fits, value, position.
const Case kCases[] = {
    {"u8", 0, narrow(&ByteCursor::readU8), true, 0x12, 1},
    {"u16", 6, narrow(&ByteCursor::readU16), true, 0xDEF0, 8},
    {"u32", 1, narrow(&ByteCursor::readU32), true, 0x3456789A, 5},
    {"u64", 0, narrow(&ByteCursor::readU64), true, 0x123456789ABCDEF0, 8},
    {"three bytes", 2, unsignedOf(3), true, 0x56789A, 5},
    {"u32 one byte short", 5, narrow(&ByteCursor::readU32), false, 0, 5},
    {"u8 at the end", 8, narrow(&ByteCursor::readU8), false, 0, 8},
    {"no width", 0, unsignedOf(0), false},
    {"nine bytes", 0, unsignedOf(9), false},
    {"units", 2, units(3, 2), true, 6, 8},
    {"units one short", 3, units(3, 2), false, 0, 3},
    {"units whose size overflows", 0, units(std::uint64_t{1} << 63, 2), false},
    {"units of no size", 0, units(1, 0), false},
    {"seek to the end", 3, seekTo(8), true, 0, 8},
    {"seek past the end", 3, seekTo(9), false, 0, 3},
};

TEST(ByteCursorTest, ReadsBigEndianFieldsWithinTheViewOnly) {
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        ByteCursor cursor(kSample, c.start);
        ASSERT_FALSE(cursor.failed());
        std::uint64_t value = 1;
        EXPECT_EQ(c.read(cursor, &value), c.fits);
        EXPECT_EQ(value, c.value);  // zero or empty when the read does not fit
        EXPECT_EQ(cursor.position(), c.position);
        EXPECT_EQ(cursor.failed(), !c.fits);
    }
}

// A cursor that failed, or started past the end, reads nothing more.
TEST(ByteCursorTest, StaysFailedAfterAReadThatDidNotFitOrAStartPastTheEnd) {
    ByteCursor cursor(kSample, 6);
    std::uint32_t word = 0;
    std::uint8_t byte = 0;
    EXPECT_FALSE(cursor.readU32(&word));
    EXPECT_FALSE(cursor.readU8(&byte));  // would fit on its own
    EXPECT_FALSE(cursor.seek(0));
    EXPECT_EQ(cursor.position(), 6u);
    ByteCursor past(kSample, kSample.size() + 1);
    EXPECT_TRUE(past.failed());
    EXPECT_FALSE(past.readU8(&byte));
}

}  // namespace
}  // namespace lumifold
