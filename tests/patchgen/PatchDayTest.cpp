// Patch day through the real binary: the coming release built beside the current one, announced, withdrawn and
// opened, with the shared manifest reader and the signature check as judges of what was written.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <ctime>
#include <functional>
#include <map>
#include <set>

#include "PatchManifest.h"
#include "Sha256Hasher.h"
#include "SigningKey.h"
#include "TestSupport.h"
#include "common/ManifestReader.h"
#include "common/ManifestSignature.h"

namespace {

// Text that zstd shrinks, so that copies and patches are published for it.
std::string Numbers(int from, int to) {
    std::string text;
    for (int i = from; i <= to; ++i) text += std::to_string(i) + "\n";
    return text;
}

std::string UtcText(std::time_t at, const char* format = "%Y-%m-%dT%H:%M:%SZ") {
    char text[32] = {};
    std::strftime(text, sizeof(text), format, std::gmtime(&at));
    return text;
}

// What a launcher takes from a manifest that must be signed by `publicHex`: empty when the signature fails.
struct Signed {
    bool ok = false;
    std::string signedPart;
    std::uint64_t sequence = 0;
    std::string next;  // "<path> <opening time>"
};

Signed ReadSigned(const fs::path& manifest, const std::string& publicHex) {
    Signed out;
    const std::string text = ReadBytes(manifest);
    manifest_signature::SignedManifest split;
    manifest_signature::PublicPoint point{};
    if (manifest_signature::SplitSignedManifest(text, &split) != manifest_signature::SplitStatus::Signed ||
        !manifest_signature::ParsePublicKeyHex(publicHex, &point) ||
        !VerifySignature(point, split.signedPart, split.signature)) {
        return out;
    }
    const auto lines = manifest_reader::ReadManifestLines(split.signedPart);
    out.ok = lines.issues.empty();
    out.signedPart = std::string(split.signedPart);
    out.sequence = lines.sequence.value_or(0);
    if (lines.next) out.next = std::string(lines.next->manifestPath) + " " + UtcText(lines.next->opensAt);
    return out;
}

// The lines of a signed part other than SEQUENCE and NEXT, which patch day rewrites; the rest stays byte for byte.
std::string KeptLines(const std::string& signedPart) {
    std::string kept;
    manifest_format::ForEachRawLine(std::string_view(signedPart), [&](std::string_view raw) {
        if (raw.rfind("SEQUENCE=", 0) != 0 && raw.rfind("NEXT|", 0) != 0) kept += std::string(raw) + "\n";
    });
    return kept;
}

struct stat InodeOf(const fs::path& path) {
    struct stat info = {};
    stat(path.c_str(), &info);
    return info;
}

// Two releases of a game: PATCHDIR holds the first (SEQUENCE 100), PATCHDIR/next the second (SEQUENCE 200), built
// with --previous PATCHDIR; both signed with key.pem.
struct PatchDay {
    TempDir dir;
    std::string publicHex, otherHex;

    fs::path patch() const { return dir.path() / "patch"; }
    fs::path next() const { return patch() / "next"; }
    std::string key() const { return (dir.path() / "key.pem").string(); }
    std::string otherKey() const { return (dir.path() / "other.pem").string(); }

    RunResult Build(const std::map<std::string, std::string>& files, const fs::path& out,
                    std::vector<std::string> more) const {
        const fs::path game = dir.path() / ("game-" + out.filename().string());
        fs::remove_all(game);
        for (const auto& [path, bytes] : files) WriteBytes(game / path, bytes);
        WriteBytes(dir.path() / "L.exe", "MZ launcher");
        std::vector<std::string> args = {"build", "-q", "--game", game.string(), "--launcher",
                                         (dir.path() / "L.exe").string(), "--out", out.string(), "--level", "3"};
        args.insert(args.end(), more.begin(), more.end());
        return RunPatchgen(args);
    }
    // The keys, the first release and the second.
    bool Make() {
        publicHex = RunPatchgen({"keygen", "--out", key()}).out.substr(12, 130);
        otherHex = RunPatchgen({"keygen", "--out", otherKey()}).out.substr(12, 130);
        const std::string big = Numbers(1, 200000);  // over 1 MiB: it has a chunk index
        const RunResult first = Build({{"data/big.pak", big}, {"data/a.txt", Numbers(1, 3000)},
                                       {"old.txt", "only the first release"}, {"same.txt", Numbers(7, 900)},
                                       {"Readme.txt", "read me"}, {"maps/inner.map", "a folder first"}},
                                      patch(), {"--version", "1", "--sign-key", key(), "--sequence", "100"});
        return first.exitCode == 0 && BuildNext(key(), "200") == 0;
    }
    int BuildNext(const std::string& signKey, const std::string& sequence) const {
        return Build({{"data/big.pak", Numbers(1, 200000)}, {"data/a.txt", Numbers(2, 3001)},
                      {"new.txt", "only the second release"}, {"same.txt", Numbers(7, 900)},
                      {"README.txt", "read me"}, {"maps", "a file now"}},
                     next(),
                     {"--version", "2", "--previous", patch().string(), "--sign-key", signKey, "--sequence", sequence})
            .exitCode;
    }
    RunResult Announce(const std::string& opens) const {
        return RunPatchgen({"announce", patch().string(), "--next", "next", "--opens", opens, "--sign-key", key()});
    }
};

std::string Tomorrow() { return UtcText(std::time(nullptr) + 86400); }

TEST(PatchgenPatchDay, BuildsBesideAnnouncesWithdrawsAndOpensTheComingRelease) {
    PatchDay day;
    ASSERT_TRUE(day.Make());
    const RunResult nextVerified = RunPatchgen({"verify", day.next().string(), "--public-key", day.publicHex});
    ASSERT_EQ(nextVerified.exitCode, 0) << nextVerified.out;

    // Objects of the same name in both trees are one file: the big file's chunk index and its compressed copy.
    std::size_t shared = 0;
    for (const char* folder : {"delta", "packs", "z"}) {
        for (const auto& entry : fs::directory_iterator(day.next() / folder)) {
            const fs::path current = day.patch() / folder / entry.path().filename();
            if (!fs::exists(current)) continue;
            SCOPED_TRACE(current.string());
            EXPECT_EQ(InodeOf(current).st_ino, InodeOf(entry.path()).st_ino);
            EXPECT_GE(InodeOf(current).st_nlink, 2u);
            ++shared;
        }
    }
    EXPECT_GE(shared, 2u) << "the unchanged big file's index and copy";

    const Signed first = ReadSigned(day.patch() / "manifest.txt", day.publicHex);
    ASSERT_TRUE(first.ok);
    const std::string opens = Tomorrow();
    const RunResult announced = day.Announce(opens);
    ASSERT_EQ(announced.exitCode, 0) << announced.err;
    Signed now = ReadSigned(day.patch() / "manifest.txt", day.publicHex);
    ASSERT_TRUE(now.ok) << ReadBytes(day.patch() / "manifest.txt");
    EXPECT_EQ(now.next, "next/manifest.txt " + opens);
    EXPECT_EQ(now.sequence, 101u);
    EXPECT_EQ(KeptLines(now.signedPart), KeptLines(first.signedPart));
    RunResult verified = RunPatchgen({"verify", day.patch().string(), "--public-key", day.publicHex});
    EXPECT_EQ(verified.exitCode, 0) << verified.out;
    EXPECT_NE(verified.out.find("announced next/manifest.txt, opening " + opens), std::string::npos) << verified.out;

    // Announced again, to the minute: the one NEXT line is replaced.
    const std::string minute = UtcText(std::time(nullptr) + 3600, "%Y-%m-%dT%H:%MZ");
    ASSERT_EQ(day.Announce(minute).exitCode, 0);
    now = ReadSigned(day.patch() / "manifest.txt", day.publicHex);
    EXPECT_EQ(now.next, "next/manifest.txt " + minute.substr(0, 16) + ":00Z");
    EXPECT_EQ(now.sequence, 102u);
    EXPECT_EQ(now.signedPart.find("NEXT|"), now.signedPart.rfind("NEXT|"));
    EXPECT_EQ(KeptLines(now.signedPart), KeptLines(first.signedPart));

    ASSERT_EQ(RunPatchgen({"withdraw", day.patch().string(), "--sign-key", day.key()}).exitCode, 0);
    now = ReadSigned(day.patch() / "manifest.txt", day.publicHex);
    EXPECT_TRUE(now.ok);
    EXPECT_EQ(now.next, "");
    EXPECT_EQ(now.sequence, 103u);
    EXPECT_EQ(KeptLines(now.signedPart), KeptLines(first.signedPart));

    // Announced once more; the release opens before its time, as an operator may decide.
    ASSERT_EQ(day.Announce(opens).exitCode, 0);
    const std::string zpatch = ReadBytes(day.next() / "manifest.txt");
    ASSERT_NE(zpatch.find("ZPATCH|data/a.txt|"), std::string::npos) << "the opened release patches a.txt";

    const RunResult opened = RunPatchgen({"open", day.patch().string(), "--sign-key", day.key()});
    ASSERT_EQ(opened.exitCode, 0) << opened.err;
    for (const char* line : {"changed files/data/a.txt\n", "changed files/new.txt\n", "changed files/maps\n",
                             "left files/old.txt "}) {
        EXPECT_NE(opened.out.find(line), std::string::npos) << opened.out;
    }
    // Not for removal: unchanged, or (on a disk that folds case) the opened file itself, or gone with its folder.
    for (const char* line : {"files/same.txt", "left files/Readme.txt", "left files/maps/inner.map"}) {
        EXPECT_EQ(opened.out.find(line), std::string::npos) << opened.out;
    }
    EXPECT_EQ(ReadBytes(day.patch() / "files/maps"), "a file now");
    now = ReadSigned(day.patch() / "manifest.txt", day.publicHex);
    const Signed nextSigned = ReadSigned(day.next() / "manifest.txt", day.publicHex);
    EXPECT_TRUE(now.ok);
    EXPECT_EQ(now.next, "");
    EXPECT_EQ(now.sequence, 201u);
    EXPECT_EQ(KeptLines(now.signedPart), KeptLines(nextSigned.signedPart));
    EXPECT_EQ(ReadBytes(day.patch() / "files/data/a.txt"), Numbers(2, 3001));
    EXPECT_EQ(ReadBytes(day.patch() / "files/new.txt"), "only the second release");
    EXPECT_EQ(ReadBytes(day.patch() / "files/old.txt"), "only the first release") << "left for the operator";
    for (const char* folder : {"delta", "packs", "z"}) {
        for (const auto& entry : fs::directory_iterator(day.next() / folder)) {
            EXPECT_EQ(InodeOf(day.patch() / folder / entry.path().filename()).st_ino, InodeOf(entry.path()).st_ino);
        }
    }
    verified = RunPatchgen({"verify", day.patch().string(), "--public-key", day.publicHex});
    EXPECT_EQ(verified.exitCode, 0) << verified.out;
    EXPECT_NE(verified.out.find("verify ok: 6 file(s)"), std::string::npos) << verified.out;
    EXPECT_EQ(verified.out.find("not checked:"), std::string::npos) << "the patches' bases came with the history";

    // The release after patches a.txt from both the opened and the closed release.
    ASSERT_EQ(day.Build({{"data/big.pak", Numbers(1, 200000)}, {"data/a.txt", Numbers(3, 3002)}}, day.patch(),
                        {"--sign-key", day.key()})
                  .exitCode,
              0);
    const PatchManifest third = ReadPatchManifest(ReadBytes(day.patch() / "manifest.txt"), nullptr);
    std::set<std::string> bases;
    for (const PatchFileEntry& f : third.files) {
        for (const PatchFromBase& p : f.patches) {
            if (f.path == "data/a.txt") bases.insert(p.baseSha256);
        }
    }
    EXPECT_EQ(bases, (std::set<std::string>{Sha256Hex(Numbers(1, 3000)), Sha256Hex(Numbers(2, 3001))}));
}

// The tree of `from` in place of `to`, as a fresh copy.
void Restore(const fs::path& from, const fs::path& to) {
    fs::remove_all(to);
    fs::copy(from, to, fs::copy_options::recursive);
}

// Replaces `from` with `to` in a file's text.
void Edit(const fs::path& path, const std::string& from, const std::string& to) {
    std::string text = ReadBytes(path);
    const std::size_t at = text.find(from);
    if (at != std::string::npos) text.replace(at, from.size(), to);
    WriteBytes(path, text);
}

// The manifest's signed part, with `from` replaced by `to`, signed again by `pem` (launchers' view: valid).
void Resign(const fs::path& manifest, const std::string& pem, const std::string& from, const std::string& to) {
    manifest_signature::SignedManifest split;
    const std::string text = ReadBytes(manifest);
    manifest_signature::SplitSignedManifest(text, &split);
    std::string body(split.signedPart), error;
    if (!from.empty()) body.replace(body.find(from), from.size(), to);
    SigningKey key;
    manifest_signature::Signature signature{};
    if (key.Load(pem, &error) && key.Sign(body, &signature, &error)) {
        WriteBytes(manifest, body + manifest_signature::FormatSignatureLine(key.KeyId(), signature));
    }
}

struct RefusalCase {
    const char* name;
    bool announced;  // starts from the tree after announce, else before it
    std::function<void(const PatchDay&)> setUp;
    std::vector<std::string> args;  // "{patch}" and "{key}" are replaced
    int exitCode;
    std::string message;
};

TEST(PatchgenPatchDay, RefusalsWriteNothing) {
    PatchDay day;
    ASSERT_TRUE(day.Make());
    const fs::path before = day.dir.path() / "before", after = day.dir.path() / "after";
    Restore(day.patch(), before);
    ASSERT_EQ(day.Announce(Tomorrow()).exitCode, 0);
    Restore(day.patch(), after);

    const auto none = [](const PatchDay&) {};
    const std::vector<std::string> announce = {"announce", "{patch}", "--next", "next", "--sign-key", "{key}",
                                               "--opens"};
    const auto announceAt = [&](std::string opens) {
        std::vector<std::string> args = announce;
        args.push_back(opens);
        return args;
    };
    const auto announceIn = [&](std::string folder) {
        std::vector<std::string> args = announceAt(Tomorrow());
        args[3] = folder;
        return args;
    };
    const std::vector<std::string> open = {"open", "{patch}", "--sign-key", "{key}"};
    const RefusalCase cases[] = {
        {"an opening time in the past", false, none, announceAt("2020-01-01T00:00:00Z"), 1, "not in the future"},
        {"an opening time that is no date", false, none, announceAt("2031-02-30T00:00:00Z"), 1, "YYYY-MM-DDTHH:MM:SSZ"},
        {"a folder a NEXT line cannot name", false, none, announceIn("../next"), 1, "give a folder below PATCHDIR"},
        {"one of the tree's own folders", false, none, announceIn("stage/Z"), 1, "a folder of the patch tree itself"},
        {"a folder without a manifest", false, none, announceIn("later"), 1, "there is no"},
        {"the coming release signed by another key", false,
         [](const PatchDay& d) { d.BuildNext(d.otherKey(), "200"); }, announceAt(Tomorrow()), 1, "is signed by key"},
        {"the coming release not above the new SEQUENCE", false, [](const PatchDay& d) { d.BuildNext(d.key(), "101"); },
         announceAt(Tomorrow()), 1, "again with --sequence 102 or higher"},
        {"--sequence not above the current one", false, none,
         {"announce", "{patch}", "--next", "next", "--opens", Tomorrow(), "--sign-key", "{key}", "--sequence", "100"},
         1,
         "--sequence 100 is not above 100"},
        {"an unsigned current manifest", false,
         [](const PatchDay& d) {
             const std::string text = ReadBytes(d.patch() / "manifest.txt");
             WriteBytes(d.patch() / "manifest.txt", text.substr(0, text.find("SIGNATURE|")));
         },
         announceAt(Tomorrow()), 1, "is not signed"},
        {"a current manifest changed after signing", false,
         [](const PatchDay& d) { Edit(d.patch() / "manifest.txt", "VERSION=1", "VERSION=9"); }, announceAt(Tomorrow()),
         1, "does not verify"},
        {"a current manifest signed by another key", false,
         [](const PatchDay& d) { Resign(d.patch() / "manifest.txt", d.otherKey(), "", ""); }, announceAt(Tomorrow()), 1,
         "not by the given key"},
        {"withdraw without a NEXT line", false, none, {"withdraw", "{patch}", "--sign-key", "{key}"}, 1,
         "no NEXT line"},
        {"open without a NEXT line", false, none, open, 1, "no NEXT line"},
        {"open of a coming release changed after signing", true,
         [](const PatchDay& d) { Edit(d.next() / "manifest.txt", "VERSION=2", "VERSION=3"); }, open, 1,
         "does not verify"},
        {"open of a coming release without one of its files", true,
         [](const PatchDay& d) { fs::remove(d.next() / "files/new.txt"); }, open, 1, "new.txt is missing"},
        {"open with --sequence not above both", true, none,
         {"open", "{patch}", "--sign-key", "{key}", "--sequence", "200"}, 1, "not above 200"},
        {"announce without --opens", false, none, {"announce", "{patch}", "--next", "next", "--sign-key", "{key}"}, 2,
         "--opens TIME is required"},
        {"a key file that is not there", true, none, {"open", "{patch}", "--sign-key", "{patch}/none.pem"}, 3,
         "cannot read --sign-key"},
    };
    for (const RefusalCase& c : cases) {
        SCOPED_TRACE(c.name);
        Restore(c.announced ? after : before, day.patch());
        c.setUp(day);
        const std::string manifest = ReadBytes(day.patch() / "manifest.txt");
        const std::string compressed = ReadBytes(day.patch() / "manifest.zst");
        const std::vector<std::string> tree = ListTree(day.patch());
        std::vector<std::string> args;
        for (std::string a : c.args) {
            for (const auto& [from, to] :
                 {std::pair<std::string, std::string>{"{patch}", day.patch().string()}, {"{key}", day.key()}}) {
                if (a.find(from) != std::string::npos) a.replace(a.find(from), from.size(), to);
            }
            args.push_back(a);
        }
        const RunResult r = RunPatchgen(args);
        EXPECT_EQ(r.exitCode, c.exitCode) << r.out << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_EQ(ReadBytes(day.patch() / "manifest.txt"), manifest);
        EXPECT_EQ(ReadBytes(day.patch() / "manifest.zst"), compressed);
        EXPECT_EQ(ListTree(day.patch()), tree);
        EXPECT_EQ(ReadBytes(day.patch() / "files/data/a.txt"), Numbers(1, 3000));
    }
}

struct AnnouncedCase {
    const char* name;
    std::function<void(const PatchDay&)> tamper;
    std::vector<std::string> keys;  // --public-key values; "{public}" and "{other}" are replaced
    std::vector<std::string> expected;  // in verify's output; exit 0 when empty
};

TEST(PatchgenVerify, ChecksTheAnnouncedManifest) {
    PatchDay day;
    ASSERT_TRUE(day.Make());
    ASSERT_EQ(day.Announce(Tomorrow()).exitCode, 0);
    const fs::path announced = day.dir.path() / "announced";
    Restore(day.patch(), announced);
    // Launchers take next/manifest.zst first: each tampering of next/manifest.txt drops it.
    const auto resign = [](const char* key, std::string from, std::string to) {
        return [=](const PatchDay& d) {
            Resign(d.next() / "manifest.txt", key == std::string("other") ? d.otherKey() : d.key(), from, to);
            fs::remove(d.next() / "manifest.zst");
        };
    };
    const AnnouncedCase cases[] = {
        {"as announced", [](const PatchDay&) {}, {"{public}"}, {}},
        {"missing", [](const PatchDay& d) { fs::remove(d.next() / "manifest.txt"); }, {},
         {"next/manifest.txt (announced by the NEXT line): missing"}},
        {"not signed",
         [](const PatchDay& d) {
             const std::string text = ReadBytes(d.next() / "manifest.txt");
             WriteBytes(d.next() / "manifest.txt", text.substr(0, text.find("SIGNATURE|")));
             fs::remove(d.next() / "manifest.zst");
         },
         {}, {"next/manifest.txt: not signed"}},
        {"signed by another key", resign("other", "", ""), {},
         {"next/manifest.txt: signed by key", ", manifest.txt by key"}},
        {"signed by a key not given", resign("other", "", ""), {"{public}"}, {"none of the --public-key keys"}},
        {"changed after signing",
         [](const PatchDay& d) {
             Edit(d.next() / "manifest.txt", "VERSION=2", "VERSION=3");
             fs::remove(d.next() / "manifest.zst");
         },
         {"{public}", "{other}"}, {"next/manifest.txt: the signature by key", "does not verify"}},
        {"a SEQUENCE not above the current one", resign("key", "SEQUENCE=200", "SEQUENCE=50"), {},
         {"next/manifest.txt: SEQUENCE 50 is not above manifest.txt's 101"}},
        {"manifest.zst of another manifest",
         [](const PatchDay& d) { fs::copy_file(d.patch() / "manifest.zst", d.next() / "manifest.zst",
                                               fs::copy_options::overwrite_existing); },
         {}, {"next/manifest.zst: is not next/manifest.txt compressed"}},
    };
    for (const AnnouncedCase& c : cases) {
        SCOPED_TRACE(c.name);
        Restore(announced, day.patch());
        c.tamper(day);
        std::vector<std::string> args = {"verify", day.patch().string()};
        for (const std::string& k : c.keys) {
            args.insert(args.end(), {"--public-key", k == "{other}" ? day.otherHex : day.publicHex});
        }
        const RunResult r = RunPatchgen(args);
        EXPECT_EQ(r.exitCode, c.expected.empty() ? 0 : 1) << r.out << r.err;
        for (const std::string& part : c.expected) EXPECT_NE(r.out.find(part), std::string::npos) << r.out;
        if (c.expected.empty()) EXPECT_NE(r.out.find("announced next/manifest.txt"), std::string::npos) << r.out;
    }
}

}  // namespace
