// Where a signed manifest splits, and the numbers and keys the signature rules read; the launcher's own
// tests check the signatures themselves through CNG.
#include <gtest/gtest.h>

#include "common/ManifestFormat.h"
#include "common/ManifestSignature.h"

namespace {

using manifest_signature::SplitStatus;

const std::string kLine = "SIGNATURE|0123456789abcdef|" + std::string(128, 'a');

TEST(ManifestSignature, SplitsAtTheOneSignatureLine) {
    struct SplitCase {
        const char* name;
        std::string body;
        SplitStatus status;
        std::size_t signedBytes;  // for Signed
    };
    const SplitCase cases[] = {
        {"after lines", "A=1\nB=2\n" + kLine + "\n", SplitStatus::Signed, 8},
        {"CRLF and blank lines after", "A=1\r\n" + kLine + "\r\n\r\n", SplitStatus::Signed, 5},
        {"alone after a byte order mark", "\xEF\xBB\xBF" + kLine, SplitStatus::Signed, 3},
        {"alone", kLine + "\n", SplitStatus::Signed, 0},
        {"none", "A=1\n", SplitStatus::Unsigned, 0},
        {"inside a line is not one", "NEWS=" + kLine + "\n", SplitStatus::Unsigned, 0},
        {"upper-case signature digits", "A\n" + kLine.substr(0, 27) + std::string(128, 'F'), SplitStatus::Signed, 2},
        {"upper-case key id", "A\nSIGNATURE|0123456789ABCDEF|" + std::string(128, 'a'), SplitStatus::Malformed, 0},
        {"a third field", "A\n" + kLine + "|x\n", SplitStatus::Malformed, 0},
        {"a tab after it", "A\n" + kLine + "\t\n", SplitStatus::Malformed, 0},
        {"a comment after it", "A\n" + kLine + "\n# end\n", SplitStatus::TrailingData, 0},
        {"two", kLine + "\n" + kLine + "\n", SplitStatus::TwoSignatures, 0},
    };
    for (const SplitCase& c : cases) {
        SCOPED_TRACE(c.name);
        manifest_signature::SignedManifest out;
        EXPECT_EQ(manifest_signature::SplitSignedManifest(c.body, &out), c.status);
        if (c.status == SplitStatus::Signed) {
            EXPECT_EQ(out.signedPart.size(), c.signedBytes);
            EXPECT_EQ(out.keyId, "0123456789abcdef");
        }
    }
}

TEST(ManifestSignature, KeysAndSequences) {
    manifest_signature::PublicPoint point{};
    EXPECT_TRUE(manifest_signature::ParsePublicKeyHex("04" + std::string(128, 'A'), &point));
    EXPECT_EQ(point[0], 0x04);
    EXPECT_EQ(point[64], 0xAA);
    EXPECT_FALSE(manifest_signature::ParsePublicKeyHex("02" + std::string(128, 'a'), &point)) << "compressed";
    EXPECT_FALSE(manifest_signature::ParsePublicKeyHex("04" + std::string(126, 'a'), &point)) << "short";
    EXPECT_FALSE(manifest_signature::ParsePublicKeyHex("04" + std::string(127, 'a') + "g", &point)) << "not hex";

    struct SequenceCase {
        const char* text;
        bool valid;
        std::uint64_t value;
    };
    const SequenceCase sequences[] = {
        {"0", true, 0},      {"1733650000", true, 1733650000}, {"18446744073709551615", true, UINT64_MAX},
        {"18446744073709551616", false, 0}, {"", false, 0}, {"+5", false, 0}, {" 5", false, 0}, {"5x", false, 0},
    };
    for (const SequenceCase& c : sequences) {
        std::uint64_t value = 0;
        EXPECT_EQ(manifest_format::ParseSequenceValue(std::string_view(c.text), &value), c.valid) << c.text;
        if (c.valid) EXPECT_EQ(value, c.value) << c.text;
    }
}

}  // namespace
