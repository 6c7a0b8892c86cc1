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

const Case kCases[] = {
    {.name = "u8", .read = narrow(&ByteCursor::readU8), .value = 0x12, .position = 1},
    {.name = "u16",
     .start = 6,
     .read = narrow(&ByteCursor::readU16),
     .value = 0xDEF0,
     .position = 8},
    {.name = "u32",
     .start = 1,
     .read = narrow(&ByteCursor::readU32),
     .value = 0x3456789A,
     .position = 5},
    {.name = "u64",
     .read = narrow(&ByteCursor::readU64),
     .value = 0x123456789ABCDEF0,
     .position = 8},
    {.name = "three bytes", .start = 2, .read = unsignedOf(3), .value = 0x56789A, .position = 5},
    {.name = "u32 one byte short",
     .start = 5,
     .read = narrow(&ByteCursor::readU32),
     .fits = false,
     .position = 5},
    {.name = "u8 at the end",
     .start = 8,
     .read = narrow(&ByteCursor::readU8),
     .fits = false,
     .position = 8},
    {.name = "no width", .read = unsignedOf(0), .fits = false},
    {.name = "nine bytes", .read = unsignedOf(9), .fits = false},
    {.name = "units", .start = 2, .read = units(3, 2), .value = 6, .position = 8},
    {.name = "units one short", .start = 3, .read = units(3, 2), .fits = false, .position = 3},
    {.name = "units whose size overflows", .read = units(std::uint64_t{1} << 63, 2), .fits = false},
    {.name = "units of no size", .read = units(1, 0), .fits = false},
    {.name = "seek to the end", .start = 3, .read = seekTo(8), .position = 8},
    {.name = "seek past the end", .start = 3, .read = seekTo(9), .fits = false, .position = 3},
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
