#include "tools/veskctl/base/Secrets.h"

#include <gtest/gtest.h>

// Known answers (RFC 4231 cases 1, 2 and 7, and messages whose padding lands just short of and
// just past a block's end), so that a receiver computing the signature with any other HMAC-SHA-256
// agrees with the monitor.
TEST(Secrets, HmacSha256AgreesWithTheStandardsAnswers) {
  EXPECT_EQ(veskctl::HmacSha256Hex(std::string(20, '\x0b'), "Hi There"),
            "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7");
  EXPECT_EQ(veskctl::HmacSha256Hex("Jefe", "what do ya want for nothing?"),
            "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
  EXPECT_EQ(veskctl::HmacSha256Hex(std::string(131, '\xaa'),
                                   "This is a test using a larger than block-size key and a larger "
                                   "than block-size data. The key needs to be hashed before being "
                                   "used by the HMAC algorithm."),
            "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2");
  EXPECT_EQ(veskctl::HmacSha256Hex("k", std::string(55, 'x')),
            "d33fe5e5824d4a59f5af2ad989b91baccb4bd1a1bc582a2f1df2c8dd30589c88");
  EXPECT_EQ(veskctl::HmacSha256Hex("k", std::string(56, 'x')),
            "bf35c7626f5a247242b52a783a52545c3ff54acf1f0d144b659c410cd0947e4e");
  EXPECT_EQ(veskctl::HmacSha256Hex("k", ""),
            "8bb990c40a7d61cb97597a942125025be50ac8beb74436e3735b98893a7f6620");
}
