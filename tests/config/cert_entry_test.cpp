#include "config/cert_entry.h"

#include <gtest/gtest.h>

namespace tovl {
namespace {

const std::string kHex = "00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff";

TEST(CertEntry, FingerprintInEitherCaseAndWithColonsIsNormalised) {
    std::string colons;
    for (size_t i = 0; i < kHex.size(); i += 2) colons += (i ? ":" : "") + kHex.substr(i, 2);
    for (const std::string& spelling :
         {kHex, colons,
          std::string("00112233445566778899AABBCCDDEEFF00112233445566778899aabbccddeeff")}) {
        CertEntryKind kind = CertEntryKind::Subject;
        std::string value, why;
        ASSERT_TRUE(ParseCertEntry("cert:sha256:" + spelling, &kind, &value, &why)) << spelling;
        EXPECT_EQ(kind, CertEntryKind::Sha256);
        EXPECT_EQ(value, kHex);
        EXPECT_EQ(CertEntryName(kind, value), "cert:sha256:" + kHex);
    }
}

TEST(CertEntry, BadFingerprintsAreRefusedWithAReason) {
    CertEntryKind kind;
    std::string value, why;
    for (const std::string& bad : {kHex.substr(1), kHex + "0", kHex.substr(2) + "zz", ":" + kHex,
                                   kHex.substr(0, 2) + "::" + kHex.substr(2)}) {
        why.clear();
        EXPECT_FALSE(ParseCertEntry("cert:sha256:" + bad, &kind, &value, &why)) << bad;
        EXPECT_FALSE(why.empty());
    }
}

TEST(CertEntry, SubjectsNeedAnAttributeAndNoPathSeparators) {
    CertEntryKind kind;
    std::string value, why;
    ASSERT_TRUE(ParseCertEntry("cert:subject:CN=plc-7,O=Works", &kind, &value, &why));
    EXPECT_EQ(kind, CertEntryKind::Subject);
    EXPECT_EQ(value, "CN=plc-7,O=Works");
    EXPECT_FALSE(ParseCertEntry("cert:subject:plc-7", &kind, &value, &why));
    EXPECT_FALSE(ParseCertEntry("cert:subject:CN=a/b", &kind, &value, &why));
    EXPECT_FALSE(ParseCertEntry("cert:md5:00", &kind, &value, &why));
    EXPECT_TRUE(IsCertEntryName("cert:md5:00"));
    EXPECT_FALSE(IsCertEntryName("10.0.0.7"));
}

}  // namespace
}  // namespace tovl
