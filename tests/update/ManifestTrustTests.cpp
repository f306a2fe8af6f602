// Signed manifests: the signature check in-process, and whole runs with keys built in, the sequence
// kept in the registry, and mirrors.
#include "PlayerTexts.h"
#include "update/ManifestTrust.h"

#include "ChildProcesses.h"
#include "LoopbackHttpServer.h"
#include "TempDir.h"
#include "TestFiles.h"
#include "TestRegistry.h"
#include "TestSigner.h"
#include "UpdateRun.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

using testsupport::HttpResponse;
using testsupport::LoopbackHttpServer;
using testsupport::TempDir;
using testsupport::TestSigner;
using updatetest::Publish;
using updatetest::RunUpdate;

namespace {

const std::string kDigest = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
const std::string kManifest = "# published\n"
                              "VERSION=1.0\n"
                              "STATUS=ok\n"
                              "NEWS=hello\n"
                              "SEQUENCE=5\n"
                              "LAUNCHER_SELF|1234|" + kDigest + "\n"
                              "FILE|data/a.pak|3|" + kDigest + "\n";

const std::string kBadSignature = testsupport::Utf8(player_texts::kManifestBadSignature);
const std::string kOlder = testsupport::Utf8(player_texts::kManifestOlder);
const std::string kUpToDate = testsupport::Utf8(player_texts::kUpToDate);
const std::string kUpdated = testsupport::Utf8(player_texts::kUpdated);
const std::string kNoServer = testsupport::Utf8(player_texts::kNoServer);
const std::string kNoServerDualOpen = testsupport::Utf8(player_texts::kNoServerDualOpen);
const std::wstring kSequencePrefix = L"LastManifestSequence ";

// The text with the byte at `offset` changed.
std::string Flipped(std::string text, std::size_t offset) {
    text[offset] = static_cast<char>(text[offset] ^ 0x01);
    return text;
}

struct VerifyCase {
    std::string name;
    std::string body;
    bool valid;
    std::string reason;  // a fragment of the reason when not valid
};

TEST(VerifyManifestSignature, AcceptsOnlyABodySignedByABuiltInKey) {
    TestSigner first, second, stranger;
    ASSERT_TRUE(first.Valid() && second.Valid() && stranger.Valid());
    const std::vector<std::string> keys = {first.PublicKeyHex(), second.PublicKeyHex()};
    const std::string signedByFirst = first.Sign(kManifest);
    const std::string line = "SIGNATURE|" + first.KeyId() + "|" + first.SignatureHex(kManifest);

    std::vector<VerifyCase> cases = {
        {"signed by the first key", signedByFirst, true, ""},
        {"signed by the second key", second.Sign(kManifest), true, ""},
        {"unsigned", kManifest, false, "no SIGNATURE line"},
        {"unknown key", stranger.Sign(kManifest), false, "unknown key id " + stranger.KeyId()},
        {"the first key's signature under the second key's id",
         kManifest + "SIGNATURE|" + second.KeyId() + "|" + first.SignatureHex(kManifest) + "\n", false, "does not verify"},
        {"key id in upper case", kManifest + "SIGNATURE|" + std::string(16, 'A') + "|" + std::string(128, '0') + "\n",
         false, "malformed"},
        {"signature one digit short", kManifest + line.substr(0, line.size() - 1) + "\n", false, "malformed"},
        {"signature not hex", kManifest + line.substr(0, line.size() - 1) + "g\n", false, "malformed"},
        {"no signature field", kManifest + "SIGNATURE|" + first.KeyId() + "\n", false, "malformed"},
        {"truncated in the signature", signedByFirst.substr(0, signedByFirst.size() - 40), false, "malformed"},
        {"blank after the signature", kManifest + line + " \n", false, "malformed"},
        {"a line after the signature", signedByFirst + "FILE|x|1|" + kDigest + "\n", false, "data after"},
        {"two signature lines", signedByFirst + line + "\n", false, "more than one"},
        {"line ends after the signature", signedByFirst + "\r\n\n", true, ""},
        {"no line end after the signature", signedByFirst.substr(0, signedByFirst.size() - 1), true, ""},
    };
    // One byte changed in every kind of line: the comment, each key's line, and the line ends.
    for (const char* marker : {"# pub", "VERSION", "STATUS", "NEWS", "SEQUENCE=5", "LAUNCHER_SELF|12", "FILE|data"}) {
        const std::size_t at = signedByFirst.find(marker) + std::strlen(marker) - 1;
        cases.push_back({std::string("changed in ") + marker, Flipped(signedByFirst, at), false, "does not verify"});
    }
    cases.push_back({"changed line end", Flipped(signedByFirst, kManifest.find('\n')), false, "does not verify"});
    cases.push_back({"signature line joined to the one before", Flipped(signedByFirst, kManifest.size() - 1), false,
                     "no SIGNATURE line"});
    // Windows line ends and a byte order mark are covered by the signature like every other byte.
    std::string crlf = "\xEF\xBB\xBF" + kManifest;
    for (std::size_t i = crlf.find('\n'); i != std::string::npos; i = crlf.find('\n', i + 2)) crlf.insert(i, "\r");
    const std::string signedCrlf = crlf + "SIGNATURE|" + first.KeyId() + "|" + first.SignatureHex(crlf) + "\r\n";
    cases.push_back({"byte order mark and CRLF", signedCrlf, true, ""});
    cases.push_back({"byte order mark dropped", signedCrlf.substr(3), false, "does not verify"});

    for (const VerifyCase& c : cases) {
        SCOPED_TRACE(c.name);
        const SignatureVerdict verdict = VerifyManifestSignature(c.body, keys);
        EXPECT_EQ(verdict.valid, c.valid) << verdict.reason;
        if (c.valid) {
            EXPECT_EQ(c.body.substr(verdict.signedBytes, 10), "SIGNATURE|");
        } else {
            EXPECT_NE(verdict.reason.find(c.reason), std::string::npos) << verdict.reason;
        }
    }
}

class SignedRunTest : public testing::Test {
protected:
    void SetUp() override {
        testsupport::ClearLauncherRegistry();
        ASSERT_TRUE(signer.Valid());
        options.keys = {signer.PublicKeyHex()};
    }
    void TearDown() override { testsupport::ClearLauncherRegistry(); }

    // The installation's LastManifestSequence (the one such value under HKEY_LOCAL_MACHINE) in decimal,
    // "none" when there is none, "several" when more than one installation has one.
    static std::string StoredSequence() {
        const auto values = testsupport::ReadMachineQwords(kSequencePrefix);
        if (values.empty()) return "none";
        return values.size() == 1 ? std::to_string(values.begin()->second) : "several";
    }
    // Every installation's value, in ascending order.
    static std::vector<unsigned long long> StoredSequences() {
        std::vector<unsigned long long> stored;
        for (const auto& value : testsupport::ReadMachineQwords(kSequencePrefix)) stored.push_back(value.second);
        std::sort(stored.begin(), stored.end());
        return stored;
    }
    // The HKEY_CURRENT_USER value earlier launchers kept.
    static void WriteUserSequence(unsigned long long sequence) {
        ASSERT_TRUE(testsupport::WriteRegistryValue(L"LastManifestSequence", REG_QWORD, &sequence, sizeof(sequence)));
    }
    static std::string UserSequence() {
        const testsupport::RegistryValue value = testsupport::ReadRegistryValue(L"LastManifestSequence");
        if (!value.present || value.type != REG_QWORD || value.bytes.size() != 8) return "none";
        unsigned long long number = 0;
        std::memcpy(&number, value.bytes.data(), sizeof(number));
        return std::to_string(number);
    }
    static int FileRequests(const LoopbackHttpServer& server) {
        int count = 0;
        for (const std::string& path : server.RequestedPaths()) count += path.rfind("/patch/files/", 0) == 0 ? 1 : 0;
        return count;
    }

    LoopbackHttpServer server;
    TempDir dir;
    TestSigner signer;
    updatetest::RunOptions options;
};

// A manifest may be replayed, never rolled back: an older sequence is refused, an equal one accepted, and
// the registry keeps the highest one accepted.
TEST_F(SignedRunTest, SequenceNeverGoesBack) {
    struct SequenceCase {
        const char* name;
        std::string sequenceLine;
        std::string outcome;
        std::string finished;
        std::string storedAfter;
        std::string logged;
    };
    const SequenceCase cases[] = {
        {"first", "SEQUENCE=5\n", kUpToDate, "F 0", "5", "manifest signature: valid, key " + signer.KeyId() + ", sequence 5"},
        {"equal", "SEQUENCE=5\n", kUpToDate, "F 0", "5", "sequence 5"},
        {"newer", "SEQUENCE=9\n", kUpToDate, "F 0", "9", "sequence 9"},
        {"older", "SEQUENCE=7\n", kOlder, "F 1", "9", "manifest signature: sequence 7 is lower than 9"},
        {"none counts as 0", "", kOlder, "F 1", "9", "manifest signature: sequence 0 is lower than 9"},
        {"not a number", "SEQUENCE=1e3\n", kBadSignature, "F 1", "9", "SEQUENCE is not a decimal 64-bit number"},
        {"largest", "SEQUENCE=18446744073709551615\n", kUpToDate, "F 0", "18446744073709551615", "sequence 1844"},
    };
    for (const SequenceCase& c : cases) {
        SCOPED_TRACE(c.name);
        Publish(server, {}, c.sequenceLine, &signer);
        auto run = RunUpdate(dir, L"Launcher.exe", options);
        ASSERT_TRUE(run.exited);
        ASSERT_GE(run.Texts().size(), 2u);
        EXPECT_EQ(run.Texts().back(), c.outcome);
        EXPECT_EQ(run.Finished(), std::vector<std::string>{c.finished});
        EXPECT_EQ(StoredSequence(), c.storedAfter);
        EXPECT_TRUE(run.Logged(c.logged)) << c.logged;
    }
}

// The guard lives under HKEY_LOCAL_MACHINE, one value per installation. A value left under the user's key
// by an earlier launcher is carried over only when it is no higher than the manifest's own sequence (any
// program of the user may have set it: 2^64-1 there used to stop every update), and lowering the user's
// value afterwards re-opens nothing.
TEST_F(SignedRunTest, GuardIsTheMachinesAndPerInstallation) {
    struct GuardCase {
        const char* name;
        const char* userBefore;  // the user's value set first; "": left as it is, "-": removed
        std::string sequenceLine;
        std::string outcome;
        std::string storedAfter;
        std::string userAfter;
    };
    const GuardCase cases[] = {
        {"the user's 2^64-1 is not carried over", "18446744073709551615", "SEQUENCE=5\n", kUpToDate, "5",
         "18446744073709551615"},
        {"raised under the machine's key only", "", "SEQUENCE=8\n", kUpToDate, "8", "18446744073709551615"},
        {"a lowered user value does not count", "2", "SEQUENCE=5\n", kOlder, "8", "2"},
        {"nor a removed one", "-", "SEQUENCE=5\n", kOlder, "8", "none"},
    };
    for (const GuardCase& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string user = c.userBefore;
        if (user == "-") testsupport::DeleteRegistryValue(L"LastManifestSequence");
        if (!user.empty() && user != "-") WriteUserSequence(std::stoull(user));
        Publish(server, {}, c.sequenceLine, &signer);
        auto run = RunUpdate(dir, L"Launcher.exe", options);
        ASSERT_TRUE(run.exited);
        ASSERT_GE(run.Texts().size(), 1u);
        EXPECT_EQ(run.Texts().back(), c.outcome);
        EXPECT_EQ(StoredSequence(), c.storedAfter);
        EXPECT_EQ(UserSequence(), c.userAfter);
    }
    // The one ignored says so.
    testsupport::ClearLauncherRegistry();
    WriteUserSequence(9);
    Publish(server, {}, "SEQUENCE=8\n", &signer);
    EXPECT_TRUE(RunUpdate(dir, L"Launcher.exe", options).Logged("the user's LastManifestSequence 9 is higher than the manifest's 8"));
    EXPECT_EQ(StoredSequence(), "8");

    // Another installation keeps its own value, and an old one does not hold it back.
    TempDir other;
    Publish(server, {}, "SEQUENCE=3\n", &signer);
    auto run = RunUpdate(other, L"Launcher.exe", options);
    ASSERT_GE(run.Texts().size(), 1u);
    EXPECT_EQ(run.Texts().back(), kUpToDate);
    EXPECT_EQ(StoredSequences(), (std::vector<unsigned long long>{3, 8}));
}

// A manifest the launcher cannot trust fetches nothing, writes nothing and keeps the start button off;
// with a client of this installation running it ends as for an unreachable host.
TEST_F(SignedRunTest, UntrustedManifestFetchesAndWritesNothing) {
    TestSigner stranger;
    const std::map<std::string, std::string> files = {{"data/a.pak", "abc"}};
    struct TrustCase {
        const char* name;
        std::string body;
        std::string logged;
    };
    const std::string good = Publish(server, files, "SEQUENCE=3\n", &signer);
    const std::size_t fileLine = good.find("FILE|");
    const TrustCase cases[] = {
        {"unsigned", Publish(server, files, "SEQUENCE=3\n"), "manifest signature: no SIGNATURE line"},
        {"unknown key", Publish(server, files, "SEQUENCE=3\n", &stranger),
         "manifest signature: unknown key id " + stranger.KeyId()},
        {"changed file line", Flipped(good, fileLine + 6), "does not verify"},
        {"data after the signature", good + "FILE|b|1|" + kDigest + "\n", "data after the SIGNATURE line"},
    };
    for (const TrustCase& c : cases) {
        SCOPED_TRACE(c.name);
        server.RouteBody("/patch/manifest.txt", c.body);
        auto run = RunUpdate(dir, L"Launcher.exe", options);
        EXPECT_EQ(run.Texts().back(), kBadSignature);
        EXPECT_EQ(run.Finished(), std::vector<std::string>{"F 1"});
        EXPECT_TRUE(run.Logged(c.logged));
        EXPECT_EQ(FileRequests(server), 0);
        EXPECT_FALSE(testsupport::FileExists(dir / L"data"));
        EXPECT_EQ(StoredSequence(), "none");
    }
    testsupport::Process client;
    ASSERT_TRUE(updatetest::StartGameClient(client, dir.Path()));
    auto dual = RunUpdate(dir, L"Launcher.exe", options);
    EXPECT_EQ(dual.Texts().back(), kNoServerDualOpen);
    EXPECT_EQ(dual.Finished(), std::vector<std::string>{"F 0"});
}

// Without keys a launcher says once that it checks nothing, and a signed manifest reads as before.
TEST_F(SignedRunTest, WithoutKeysSignatureLinesAreSkipped) {
    Publish(server, {{"a.bin", "xyz"}}, "SEQUENCE=4\n", &signer);
    auto run = RunUpdate(dir);
    EXPECT_EQ(run.Texts().back(), kUpdated);
    EXPECT_TRUE(run.Logged("manifest signature: not checked"));
    EXPECT_EQ(testsupport::ReadBytes(dir / L"a.bin"), "xyz");
    EXPECT_EQ(StoredSequence(), "none");
}

// Mirrors: the manifest comes from the first host that yields an accepted one, the files from that host
// and, when a file fails there, from the hosts after it.
TEST_F(SignedRunTest, MirrorsStandInForOneAnother) {
    LoopbackHttpServer mirror(testsupport::kLoopbackPort + 2);
    ASSERT_TRUE(mirror.Started());
    const std::wstring primary = L"http://127.0.0.1:" + std::to_wstring(testsupport::kLoopbackPort) + L"/patch/";
    const std::wstring second = L"http://127.0.0.1:" + std::to_wstring(testsupport::kLoopbackPort + 2) + L"/patch/";
    const std::wstring down = L"http://127.0.0.1:1/patch/";
    const std::map<std::string, std::string> files = {{"a.bin", "first"}, {"b.bin", "second"}};

    {
        SCOPED_TRACE("first host down");
        Publish(mirror, files, "SEQUENCE=1\n", &signer);
        options.hosts = {down, second};
        auto run = RunUpdate(dir, L"Launcher.exe", options);
        EXPECT_EQ(run.Texts().back(), kUpdated);
        EXPECT_EQ(testsupport::ReadBytes(dir / L"b.bin"), "second");
    }
    {
        SCOPED_TRACE("first host serves a manifest signed by another key");
        TestSigner stranger;
        TempDir fresh;
        Publish(server, files, "SEQUENCE=2\n", &stranger);
        Publish(mirror, files, "SEQUENCE=2\n", &signer);
        options.hosts = {primary, second};
        auto run = RunUpdate(fresh, L"Launcher.exe", options);
        EXPECT_EQ(run.Texts().back(), kUpdated);
        EXPECT_TRUE(run.Logged("manifest signature: unknown key id " + stranger.KeyId()));
        EXPECT_EQ(FileRequests(server), 0);
        EXPECT_EQ(testsupport::ReadBytes(fresh / L"a.bin"), "first");
    }
    {
        SCOPED_TRACE("a file missing on the first host comes from the second");
        TempDir fresh;
        Publish(server, files, "SEQUENCE=3\n", &signer);
        server.Route("/patch/files/b.bin", HttpResponse{404, "gone\n"});
        Publish(mirror, files, "SEQUENCE=3\n", &signer);
        const int mirrorA = mirror.CountRequests("/patch/files/a.bin");
        const int mirrorB = mirror.CountRequests("/patch/files/b.bin");
        auto run = RunUpdate(fresh, L"Launcher.exe", options);
        EXPECT_EQ(run.Texts().back(), kUpdated);
        EXPECT_EQ(testsupport::ReadBytes(fresh / L"a.bin"), "first");
        EXPECT_EQ(testsupport::ReadBytes(fresh / L"b.bin"), "second");
        EXPECT_EQ(server.CountRequests("/patch/files/b.bin"), 1);
        EXPECT_EQ(mirror.CountRequests("/patch/files/b.bin"), mirrorB + 1);
        EXPECT_EQ(mirror.CountRequests("/patch/files/a.bin"), mirrorA);
    }
    // One value per installation: the three directories above.
    EXPECT_EQ(StoredSequences(), (std::vector<unsigned long long>{1, 2, 3}));
}

}  // namespace
