#include <gtest/gtest.h>

#include "common/french_number.h"

namespace orlex::common {
namespace {

TEST(FrenchNumber, RoundsHalfUpFromTheShortestDecimalForm) {
    EXPECT_EQ(frenchOneDecimal(0.25), "0,3");
    EXPECT_EQ(frenchOneDecimal(0.75), "0,8");
    EXPECT_EQ(frenchOneDecimal(0.15), "0,2");
    EXPECT_EQ(frenchOneDecimal(0.14999), "0,1");
    EXPECT_EQ(frenchOneDecimal(1.0), "1,0");
    EXPECT_EQ(frenchOneDecimal(0.0), "0,0");
    EXPECT_EQ(frenchOneDecimal(9.95), "10,0");
    EXPECT_EQ(frenchOneDecimal(99.96), "100,0");
    EXPECT_EQ(frenchOneDecimal(1234567.89), "1234567,9");
    EXPECT_EQ(frenchOneDecimal(3250.059), "3250,1");
    EXPECT_EQ(frenchOneDecimal(1e-7), "0,0");
}

}  // namespace
}  // namespace orlex::common
