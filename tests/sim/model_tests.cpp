#include <gtest/gtest.h>

#include "platform/sim/model.h"

namespace {

using Bytes = std::vector<BYTE>;

TEST(RegValueEncoding, NumbersAreLittleEndianWithTheirExactWidth) {
  EXPECT_EQ(sim::RegValue::Dword(0x11223344).data, (Bytes{0x44, 0x33, 0x22, 0x11}));
  EXPECT_EQ(sim::RegValue::Dword(1).type, REG_DWORD);
  const auto q = sim::RegValue::Qword(0x0102030405060708ull);
  EXPECT_EQ(q.type, REG_QWORD);
  EXPECT_EQ(q.data, (Bytes{8, 7, 6, 5, 4, 3, 2, 1}));
}

TEST(RegValueEncoding, StringsCarryTheirTerminators) {
  EXPECT_EQ(sim::RegValue::String("ab").data, (Bytes{'a', 'b', 0}));
  EXPECT_EQ(sim::RegValue::String("").data, (Bytes{0}));
  const auto multi = sim::RegValue::MultiString({"morvane", "", "x"});
  EXPECT_EQ(multi.type, REG_MULTI_SZ);
  EXPECT_EQ(multi.data, (Bytes{'m', 'o', 'r', 'v', 'a', 'n', 'e', 0, 0, 'x', 0, 0}));
  EXPECT_EQ(sim::RegValue::MultiString({}).data, (Bytes{0}));
}

TEST(GuidText, RoundTripsAndRejectsMalformedText) {
  const std::string text = sim::GuidToString(sim::guids::InterfaceUsbHub);
  EXPECT_EQ(text, "{F18A0E88-C30C-11D0-8815-00A0C906BED8}");
  const auto parsed = sim::GuidFromString("{f18a0e88-c30c-11d0-8815-00a0c906bed8}");
  ASSERT_TRUE(parsed.has_value());
  EXPECT_TRUE(IsEqualGUID(*parsed, sim::guids::InterfaceUsbHub));
  EXPECT_EQ(sim::GuidToString(sim::guids::DevClassMouse), "{4D36E96F-E325-11CE-BFC1-08002BE10318}");
  EXPECT_FALSE(sim::GuidFromString("F18A0E88-C30C-11D0-8815-00A0C906BED8").has_value());
  EXPECT_FALSE(sim::GuidFromString("{F18A0E88-C30C-11D0-8815-00A0C906BEDX}").has_value());
  EXPECT_FALSE(sim::GuidFromString("{F18A0E88C30C-11D0-8815-00A0C906BED8-}").has_value());
}

TEST(CaseInsensitiveNames, CompareAsciiLettersWithoutCase) {
  sim::CaseInsensitiveLess less;
  EXPECT_FALSE(less("bInterval", "BINTERVAL"));
  EXPECT_FALSE(less("BINTERVAL", "bInterval"));
  EXPECT_TRUE(less("abc", "ABD"));
  EXPECT_TRUE(less("ab", "abc"));
  sim::ValueMap values;
  values["LowerFilters"] = sim::RegValue::String("x");
  EXPECT_EQ(values.count("lowerfilters"), 1u);
  EXPECT_EQ(sim::ToUpperAscii("usb\\Vid_046d\xe9"), "USB\\VID_046D\xe9") << "bytes above 0x7F stay";
}

}  // namespace
