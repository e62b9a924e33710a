#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <vector>

#include "core/bytes.hpp"
#include "core/dtype.hpp"
#include "core/error.hpp"
#include "core/plane.hpp"
#include "core/quote.hpp"

using namespace varnel;

TEST(Error, DisplaysEachKind) {
  EXPECT_EQ(malformed(8, "zero chunk dimension").display(),
            "malformed codestream at byte 8: zero chunk dimension");
  EXPECT_EQ(invalid("x").display(), "invalid argument: x");
  EXPECT_EQ(unsupported("y").display(), "unsupported: y");
}

TEST(CoeffPlane, ChecksLengthAgainstArea) {
  std::vector<std::int32_t> twelve(12), eleven(11);
  EXPECT_TRUE(CoeffPlane::make(twelve, 3, 4).has_value());
  auto bad = CoeffPlane::make(eleven, 3, 4);
  ASSERT_FALSE(bad.has_value());
  EXPECT_EQ(bad.error().display(), "invalid argument: plane length 11 != width 3 * height 4");
  EXPECT_TRUE(CoeffPlane::make({}, 0, 7).has_value());
  const auto big = std::numeric_limits<std::size_t>::max() / 2 + 1;
  EXPECT_FALSE(CoeffPlane::make(twelve, big, 2).has_value());
  EXPECT_FALSE(CoeffPlane::make({}, big, 2).has_value());
}

TEST(ElementType, RangesAndNames) {
  EXPECT_EQ(element_min(ElementType::I8), -128);
  EXPECT_EQ(element_max(ElementType::U32), 4294967295LL);
  EXPECT_EQ(element_min(ElementType::I32), -2147483648LL);
  EXPECT_EQ(element_name(ElementType::U16), "U16");
  EXPECT_EQ(element_size(ElementType::I16), 2u);
}

TEST(ByteReader, RefusesShortReadsWithoutMoving) {
  const std::uint8_t b[] = {0x12, 0x34, 0x56};
  ByteReader r(b);
  EXPECT_EQ(*r.u16(), 0x1234);
  EXPECT_FALSE(r.u16().has_value());
  EXPECT_EQ(r.position(), 2u);
  EXPECT_EQ(*r.u8(), 0x56);
  ByteReader le(b);
  EXPECT_EQ(*le.u16le(), 0x3412);
}

TEST(QuoteText, EscapesLikeMessagesShowThem) {
  EXPECT_EQ(quote_text("float32"), "\"float32\"");
  EXPECT_EQ(quote_text("a\"b\\c"), "\"a\\\"b\\\\c\"");
  EXPECT_EQ(quote_text(std::string_view("\t\r\n\0", 4)), "\"\\t\\r\\n\\0\"");
  EXPECT_EQ(quote_text("\x01\x7f"), "\"\\u{1}\\u{7f}\"");
  EXPECT_EQ(quote_text("\xc3\xa9t\xc3\xa9"), "\"\xc3\xa9t\xc3\xa9\"");  // printable non-ASCII kept
  EXPECT_EQ(quote_text("\xe2\x80\x8b"), "\"\\u{200b}\"");
}
