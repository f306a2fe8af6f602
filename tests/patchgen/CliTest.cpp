// Runs the real patchgen binary on real directories.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <functional>

#include "common/ManifestFormat.h"
#include "Sha256Hasher.h"
#include "TestSupport.h"

namespace {

const std::string kAbc = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
const std::string kEmpty = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
const std::string kChineseDir = "\xE8\xB3\x87\xE6\x96\x99";              // 資料
const std::string kChineseFile = "\xE8\xAA\xAA\xE6\x98\x8E.txt";         // 說明.txt
const std::string kChineseText = "\xE4\xB8\xAD\xE6\x96\x87";              // 中文
const std::string kLauncherBytes = "MZ fake launcher build 7";

struct Patch {
    TempDir dir;
    fs::path game() const { return dir.path() / "game"; }
    fs::path launcher() const { return dir.path() / "Launcher-build.exe"; }
    fs::path out() const { return dir.path() / "patch"; }
    std::vector<std::string> BuildArgs() const {
        return {"build", "--game", game().string(), "--launcher", launcher().string(), "--out", out().string()};
    }
};

struct ManifestLines {
    std::vector<std::string> files;   // "path|size|sha256"
    std::vector<std::string> deltas;  // "path|index sha256|index size"
    std::string launcherSelf;        // "size|sha256"
    std::string version, status, news, check, share;
    int problems = 0;
};

ManifestLines ReadManifest(const fs::path& path) {
    ManifestLines m;
    std::string text = ReadBytes(path);
    manifest_format::ForEachRawLine(std::string_view(text), [&](std::string_view raw) {
        using manifest_format::LineKind;
        const manifest_format::ParsedLine<char> line = manifest_format::ParseLine(raw);
        switch (line.kind) {
            case LineKind::File:
                m.files.push_back(std::string(line.text) + "|" + std::to_string(line.size) + "|" + line.sha256);
                break;
            case LineKind::LauncherSelf: m.launcherSelf = std::to_string(line.size) + "|" + line.sha256; break;
            case LineKind::Version: m.version = line.text; break;
            case LineKind::Status: m.status = line.text; break;
            case LineKind::News: m.news = line.text; break;
            case LineKind::Check: m.check = line.text; break;
            case LineKind::Delta: m.deltas.push_back(std::string(line.text) + "|" + line.sha256 + "|" + std::to_string(line.size)); break;
            case LineKind::Sequence: break;
            case LineKind::LauncherShare: m.share = std::to_string(line.size); break;
            case LineKind::Malformed:
            case LineKind::UnsafePath: ++m.problems; break;
            case LineKind::Ignored: break;
        }
    });
    return m;
}

bool HasTempLeftovers(const fs::path& root) {
    for (const std::string& p : ListTree(root)) {
        if (p.find(".patchgen-tmp") != std::string::npos) return true;
    }
    return false;
}

TEST(PatchgenBuild, PublishesTreeWithSubdirectoriesAndUtf8Names) {
    Patch p;
    ASSERT_TRUE(WriteBytes(p.game() / "data" / "abc.txt", "abc"));
    ASSERT_TRUE(WriteBytes(p.game() / "data" / "sub" / "empty.bin", ""));
    ASSERT_TRUE(WriteBytes(p.game() / kChineseDir / kChineseFile, kChineseText));
    ASSERT_TRUE(WriteBytes(p.game() / "B.txt", "abc"));
    ASSERT_TRUE(WriteBytes(p.game() / "_x", ""));
    ASSERT_TRUE(WriteBytes(p.game() / "Launcher.exe", "an old launcher lying in the game folder"));
    ASSERT_TRUE(WriteBytes(p.launcher(), kLauncherBytes));

    std::vector<std::string> args = p.BuildArgs();
    args.insert(args.end(), {"--version", "1.4.0", "--status", "\xE6\xAD\xA3\xE5\xB8\xB8", "--news", "Patch day"});
    RunResult r = RunPatchgen(args);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.err.find("skipped Launcher.exe"), std::string::npos) << r.err;

    std::string text = ReadBytes(p.out() / "manifest.txt");
    EXPECT_NE(text.substr(0, 3), "\xEF\xBB\xBF");
    EXPECT_EQ(text.find('\r'), std::string::npos);

    ManifestLines m = ReadManifest(p.out() / "manifest.txt");
    EXPECT_EQ(m.problems, 0);
    EXPECT_EQ(m.version, "1.4.0");
    EXPECT_EQ(m.status, "\xE6\xAD\xA3\xE5\xB8\xB8");
    EXPECT_EQ(m.news, "Patch day");
    EXPECT_EQ(m.check, "") << "the full check stays the default";
    EXPECT_EQ(m.launcherSelf, std::to_string(kLauncherBytes.size()) + "|" + Sha256Hex(kLauncherBytes));
    // Byte-wise order: 'B' (0x42) < '_' (0x5F) < 'd' < the UTF-8 lead byte 0xE8; no Launcher.exe line.
    std::vector<std::string> expected = {
        "B.txt|3|" + kAbc,
        "_x|0|" + kEmpty,
        "data/abc.txt|3|" + kAbc,
        "data/sub/empty.bin|0|" + kEmpty,
        kChineseDir + "/" + kChineseFile + "|6|" + Sha256Hex(kChineseText),
    };
    EXPECT_EQ(m.files, expected);

    EXPECT_EQ(ReadBytes(p.out() / "files" / "Launcher.exe"), kLauncherBytes);
    EXPECT_EQ(ReadBytes(p.out() / "files" / kChineseDir / kChineseFile), kChineseText);
    EXPECT_EQ(ReadBytes(p.out() / "files" / "data" / "abc.txt"), "abc");
    EXPECT_FALSE(HasTempLeftovers(p.out()));

    RunResult v = RunPatchgen({"verify", p.out().string()});
    EXPECT_EQ(v.exitCode, 0) << v.out << v.err;
    EXPECT_NE(v.out.find("verify ok"), std::string::npos) << v.out;
}

TEST(PatchgenBuild, FollowsLinksToFiles) {
    Patch p;
    ASSERT_TRUE(WriteBytes(p.dir.path() / "elsewhere.txt", "abc"));
    fs::create_directories(p.game());
    fs::create_symlink(p.dir.path() / "elsewhere.txt", p.game() / "linked.txt");
    ASSERT_TRUE(WriteBytes(p.launcher(), kLauncherBytes));

    RunResult r = RunPatchgen(p.BuildArgs());
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(ReadManifest(p.out() / "manifest.txt").files, std::vector<std::string>{"linked.txt|3|" + kAbc});
    EXPECT_EQ(RunPatchgen({"verify", p.out().string()}).exitCode, 0);
}

struct RefusalCase {
    const char* name;
    std::function<void(const Patch&)> setUp;
    std::vector<std::string> extraArgs;
    std::vector<std::string> expectedInMessage;
};

TEST(PatchgenBuild, RefusesWhatTheLauncherOrWindowsCannotTakeAndWritesNothing) {
    auto file = [](std::string rel) {
        return [rel](const Patch& p) { WriteBytes(p.game() / "ok.txt", "ok") && WriteBytes(p.game() / rel, "x"); };
    };
    const RefusalCase cases[] = {
        {"device name", file("CON.txt"), {}, {"CON.txt", "reserved device name"}},
        {"device name in subdir", file("maps/aux.dat"), {}, {"maps/aux.dat", "reserved device name"}},
        {"device name beside a file that would get a chunk index",
         [](const Patch& p) { WriteBytes(p.game() / "big.pak", std::string(2 << 20, 'x')) && WriteBytes(p.game() / "NUL.txt", "x"); },
         {},
         {"NUL.txt", "reserved device name"}},
        {"colon", file("a:b"), {}, {"a:b", "colon"}},
        {"question mark", file("x?"), {}, {"x?", "'?'"}},
        {"backslash inside a name", file("back\\slash"), {}, {"back\\slash"}},
        {"trailing dot", file("trail."), {}, {"trail.", "dot"}},
        {"trailing space in a directory", file("dir /f.txt"), {}, {"'dir '", "space"}},
        {"not UTF-8", file("bad\xFF.txt"), {}, {"bad\\xff.txt", "UTF-8"}},
        {"control character", file("bell\x07"), {}, {"bell\\x07"}},
        {"names differing in case",
         [](const Patch& p) { WriteBytes(p.game() / "readme.txt", "a") && WriteBytes(p.game() / "README.txt", "b"); },
         {},
         {"readme.txt", "README.txt", "letter case"}},
        {"directories differing in case",
         [](const Patch& p) { WriteBytes(p.game() / "Maps/a", "a") && WriteBytes(p.game() / "maps/b", "b"); },
         {},
         {"Maps", "maps", "letter case"}},
        {"directory clashing with the served launcher",
         [](const Patch& p) { WriteBytes(p.game() / "launcher.exe/x", "a"); },
         {},
         {"launcher.exe", "letter case"}},
        {"special file",
         [](const Patch& p) {
             WriteBytes(p.game() / "ok.txt", "ok");
             mkfifo((p.game() / "pipe").c_str(), 0600);
         },
         {},
         {"pipe", "special file"}},
        {"broken link",
         [](const Patch& p) {
             WriteBytes(p.game() / "ok.txt", "ok");
             fs::create_symlink(p.dir.path() / "gone", p.game() / "dangling");
         },
         {},
         {"dangling"}},
        {"link loop",
         [](const Patch& p) {
             WriteBytes(p.game() / "sub" / "ok.txt", "ok");
             fs::create_directory_symlink(p.game(), p.game() / "sub" / "up");
         },
         {},
         {"sub/up", "loop"}},
        {"version with a newline", file("fine.txt"), {"--version", "1.0\n1.1"}, {"--version", "line break"}},
        {"status with a bar", file("fine.txt"), {"--status", "up|down"}, {"--status", "'|'"}},
        {"news with a carriage return", file("fine.txt"), {"--news", "hello\r"}, {"--news", "line break"}},
    };
    for (const RefusalCase& c : cases) {
        SCOPED_TRACE(c.name);
        Patch p;
        c.setUp(p);
        ASSERT_TRUE(WriteBytes(p.launcher(), kLauncherBytes));
        std::vector<std::string> args = p.BuildArgs();
        args.insert(args.end(), c.extraArgs.begin(), c.extraArgs.end());
        RunResult r = RunPatchgen(args);
        EXPECT_EQ(r.exitCode, 1) << r.err;
        for (const std::string& part : c.expectedInMessage) {
            EXPECT_NE(r.err.find(part), std::string::npos) << "missing '" << part << "' in: " << r.err;
        }
        EXPECT_FALSE(fs::exists(p.out() / "manifest.txt"));
        EXPECT_FALSE(fs::exists(p.out() / "delta"));
        EXPECT_FALSE(HasTempLeftovers(p.out()));
    }
}

TEST(PatchgenBuild, RefusalLeavesAnEarlierManifestAlone) {
    Patch p;
    ASSERT_TRUE(WriteBytes(p.game() / "a.txt", "abc"));
    ASSERT_TRUE(WriteBytes(p.launcher(), kLauncherBytes));
    ASSERT_EQ(RunPatchgen(p.BuildArgs()).exitCode, 0);
    std::string before = ReadBytes(p.out() / "manifest.txt");

    ASSERT_TRUE(WriteBytes(p.game() / "PRN", "x"));
    ASSERT_TRUE(WriteBytes(p.game() / "a.txt", "changed"));
    RunResult r = RunPatchgen(p.BuildArgs());
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(ReadBytes(p.out() / "manifest.txt"), before);
    EXPECT_FALSE(HasTempLeftovers(p.out()));
}

TEST(PatchgenBuild, RebuildReplacesStaleContent) {
    Patch p;
    ASSERT_TRUE(WriteBytes(p.game() / "a.txt", "one"));
    ASSERT_TRUE(WriteBytes(p.game() / "old" / "gone.txt", "bye"));
    ASSERT_TRUE(WriteBytes(p.game() / "x", "file first"));
    ASSERT_TRUE(WriteBytes(p.launcher(), kLauncherBytes));
    ASSERT_EQ(RunPatchgen(p.BuildArgs()).exitCode, 0);

    // New content under new inodes, a file turned into a directory, a removed file, a new launcher,
    // and a leftover from an interrupted run.
    fs::remove(p.game() / "a.txt");
    ASSERT_TRUE(WriteBytes(p.game() / "a.txt", "abc"));
    fs::remove_all(p.game() / "old");
    fs::remove(p.game() / "x");
    ASSERT_TRUE(WriteBytes(p.game() / "x" / "y", ""));
    const std::string newLauncher = "MZ launcher build 8, longer";
    fs::remove(p.launcher());
    ASSERT_TRUE(WriteBytes(p.launcher(), newLauncher));
    ASSERT_TRUE(WriteBytes(p.out() / "files" / "half.bin.patchgen-tmp", "junk"));

    // The operator also switches the launchers to the quick check, and rolls the new launcher out to 12.5 %.
    std::vector<std::string> args = p.BuildArgs();
    args.insert(args.end(), {"--check", "quick", "--launcher-share", "12.5%"});
    RunResult r = RunPatchgen(args);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    ManifestLines m = ReadManifest(p.out() / "manifest.txt");
    EXPECT_EQ(m.check, "quick");
    EXPECT_EQ(m.share, "1250");
    EXPECT_EQ(m.files, (std::vector<std::string>{"a.txt|3|" + kAbc, "x/y|0|" + kEmpty}));
    EXPECT_EQ(m.launcherSelf, std::to_string(newLauncher.size()) + "|" + Sha256Hex(newLauncher));
    EXPECT_EQ(ReadBytes(p.out() / "files" / "a.txt"), "abc");
    EXPECT_EQ(ReadBytes(p.out() / "files" / "Launcher.exe"), newLauncher);
    // The pack of the first build went with the files it held; the one small file left has a pack of its own.
    // (history/, never served, keeps the releases' files for patches.)
    std::vector<std::string> served = ListTree(p.out());
    served.erase(std::remove_if(served.begin(), served.end(), [](const std::string& e) { return e.rfind("history", 0) == 0; }),
                 served.end());
    EXPECT_EQ(served, (std::vector<std::string>{"files", "files/Launcher.exe", "files/a.txt", "files/x",
                                                           "files/x/y", "manifest.txt", "manifest.zst", "packs",
                                                           "packs/" + kAbc + ".kpak"}));
    EXPECT_EQ(RunPatchgen({"verify", p.out().string()}).exitCode, 0);
}

struct TamperCase {
    const char* name;
    std::function<void(const Patch&)> tamper;
    std::vector<std::string> expectedInOutput;
};

TEST(PatchgenVerify, CatchesServedTreeNotMatchingManifest) {
    auto replaceServed = [](std::string rel, std::string bytes) {
        return [rel, bytes](const Patch& p) {
            fs::remove(p.out() / rel);  // a new inode, so the hard-linked game file stays as it was
            WriteBytes(p.out() / rel, bytes);
        };
    };
    auto editManifest = [](std::string from, std::string to) {
        return [from, to](const Patch& p) {
            std::string text = ReadBytes(p.out() / "manifest.txt");
            std::size_t at = text.find(from);
            if (at != std::string::npos) text.replace(at, from.size(), to);
            WriteBytes(p.out() / "manifest.txt", text);
        };
    };
    const std::string wrongDigest(64, 'f');
    const TamperCase cases[] = {
        {"tampered file", replaceServed("files/data/abc.txt", "abd"), {"files/data/abc.txt", "digest differs"}},
        {"truncated file", replaceServed("files/data/abc.txt", "ab"), {"files/data/abc.txt", "size differs"}},
        {"missing file", [](const Patch& p) { fs::remove(p.out() / "files" / kChineseDir / kChineseFile); },
         {"files/" + kChineseDir + "/" + kChineseFile, "missing"}},
        {"served launcher differs from LAUNCHER_SELF",
         replaceServed("files/Launcher.exe", std::string(kLauncherBytes.size(), 'Z')),
         {"files/Launcher.exe", "digest differs", "LAUNCHER_SELF"}},
        {"LAUNCHER_SELF digest typed wrong", editManifest(Sha256Hex(kLauncherBytes), wrongDigest),
         {"files/Launcher.exe", "digest differs", wrongDigest}},
        {"no LAUNCHER_SELF", editManifest("LAUNCHER_SELF|", "# LAUNCHER_SELF|"), {"LAUNCHER_SELF"}},
        {"served launcher missing", [](const Patch& p) { fs::remove(p.out() / "files" / "Launcher.exe"); },
         {"files/Launcher.exe", "missing"}},
        {"digest one digit too long", editManifest("FILE|data/abc.txt|3|", "FILE|data/abc.txt|3|0"),
         {"line", "malformed", "data/abc.txt"}},
        {"unsafe path", editManifest("FILE|data/abc.txt|", "FILE|../abc.txt|"), {"unsafe", "../abc.txt"}},
        {"pack missing", [](const Patch& p) { fs::remove_all(p.out() / "packs"); }, {"packs/", ".kpak: missing"}},
        {"pack bytes changed",
         [](const Patch& p) {
             for (const auto& e : fs::directory_iterator(p.out() / "packs")) WriteBytes(e.path(), "abd" + kChineseText);
         },
         {".kpak: digest differs"}},
        {"a member's offset moved",
         [](const Patch& p) {
             std::string text = ReadBytes(p.out() / "manifest.txt");
             const std::size_t line = text.find("PACKED|data/abc.txt|");
             const std::size_t end = text.find('\n', line);
             if (line != std::string::npos && text.compare(end - 2, 2, "|0") == 0) text.replace(end - 1, 1, "1");
             WriteBytes(p.out() / "manifest.txt", text);
         },
         {"(pack of files/data/abc.txt): bytes at 1 are not the file's", "members overlap"}},
    };
    for (const TamperCase& c : cases) {
        SCOPED_TRACE(c.name);
        Patch p;
        ASSERT_TRUE(WriteBytes(p.game() / "data" / "abc.txt", "abc"));
        ASSERT_TRUE(WriteBytes(p.game() / kChineseDir / kChineseFile, kChineseText));
        ASSERT_TRUE(WriteBytes(p.launcher(), kLauncherBytes));
        ASSERT_EQ(RunPatchgen(p.BuildArgs()).exitCode, 0);
        ASSERT_EQ(RunPatchgen({"verify", p.out().string()}).exitCode, 0);

        c.tamper(p);
        RunResult v = RunPatchgen({"verify", p.out().string()});
        EXPECT_EQ(v.exitCode, 1) << v.out << v.err;
        for (const std::string& part : c.expectedInOutput) {
            EXPECT_NE(v.out.find(part), std::string::npos) << "missing '" << part << "' in: " << v.out;
        }
    }
}

struct CliCase {
    const char* name;
    std::vector<std::string> args;  // "{dir}" is replaced with an empty temp directory
    int exitCode;
    std::string expectedInStdout;
    std::string expectedInStderr;
};

TEST(PatchgenCli, ExitCodesAndMessages) {
    const CliCase cases[] = {
        {"help", {"--help"}, 0, "Usage: patchgen build", ""},
        {"short help", {"-h"}, 0, "Exit codes:", ""},
        {"build help", {"build", "--help"}, 0, "--launcher FILE", ""},
        {"version", {"--version"}, 0, "patchgen ", ""},
        {"no command", {}, 2, "", "command is required"},
        {"unknown command", {"publish"}, 2, "", "unknown command 'publish'"},
        {"build without --out", {"build", "--game", "{dir}", "--launcher", "{dir}/L.exe"}, 2, "", "--out"},
        {"build with a stray argument", {"build", "extra"}, 2, "", "unknown argument 'extra'"},
        {"option without value", {"build", "--game"}, 2, "", "--game needs a value"},
        {"verify with two dirs", {"verify", "{dir}", "{dir}"}, 2, "", "only one PATCHDIR"},
        {"verify unknown option", {"verify", "--deep", "{dir}"}, 2, "", "unknown option '--deep'"},
        {"verify without manifest", {"verify", "{dir}"}, 3, "", "manifest.txt"},
        {"missing game directory",
         {"build", "--game", "{dir}/nope", "--launcher", "{dir}/L.exe", "--out", "{dir}/out"}, 3, "", "nope"},
        {"missing launcher", {"build", "--game", "{dir}", "--launcher", "{dir}/none.exe", "--out", "{dir}/../o"}, 3, "",
         "none.exe"},
        {"empty launcher", {"build", "--game", "{dir}/g", "--launcher", "{dir}/empty.exe", "--out", "{dir}/out"}, 1, "",
         "empty"},
        {"unknown check", {"build", "--game", "{dir}/g", "--launcher", "{dir}/L.exe", "--out", "{dir}/out", "--check",
                           "fast"}, 2, "", "--check takes quick or full"},
        {"out inside game", {"build", "--game", "{dir}/g", "--launcher", "{dir}/L.exe", "--out", "{dir}/g/patch"}, 2, "",
         "must not contain"},
        {"a level zstd does not have", {"build", "--game", "{dir}/g", "--launcher", "{dir}/L.exe", "--out", "{dir}/out",
                                        "--level", "23"}, 2, "", "--level takes a zstd level from 1 to 22"},
        {"patch releases not a number", {"build", "--game", "{dir}/g", "--launcher", "{dir}/L.exe", "--out", "{dir}/out",
                                         "--patch-releases", "two"}, 2, "", "--patch-releases takes a decimal count"},
        {"a share above the whole", {"build", "--game", "{dir}/g", "--launcher", "{dir}/L.exe", "--out", "{dir}/out",
                                     "--launcher-share", "100.01"}, 2, "", "--launcher-share takes a percent"},
        {"a share finer than a hundredth", {"build", "--game", "{dir}/g", "--launcher", "{dir}/L.exe", "--out",
                                            "{dir}/out", "--launcher-share", "12.345"}, 2, "", "--launcher-share takes a percent"},
    };
    for (const CliCase& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        ASSERT_TRUE(WriteBytes(dir.path() / "L.exe", kLauncherBytes));
        ASSERT_TRUE(WriteBytes(dir.path() / "empty.exe", ""));
        ASSERT_TRUE(WriteBytes(dir.path() / "g" / "a.txt", "abc"));
        std::vector<std::string> args;
        for (std::string a : c.args) {
            std::size_t at = a.find("{dir}");
            if (at != std::string::npos) a.replace(at, 5, dir.path().string());
            args.push_back(a);
        }
        RunResult r = RunPatchgen(args);
        EXPECT_EQ(r.exitCode, c.exitCode) << r.out << r.err;
        EXPECT_NE(r.out.find(c.expectedInStdout), std::string::npos) << r.out;
        EXPECT_NE(r.err.find(c.expectedInStderr), std::string::npos) << r.err;
        EXPECT_FALSE(fs::exists(dir.path() / "out" / "manifest.txt"));
        EXPECT_FALSE(fs::exists(dir.path() / "g" / "patch"));
    }
}

TEST(PatchgenCli, ProgressAndQuiet) {
    Patch p;
    ASSERT_TRUE(WriteBytes(p.game() / "a.txt", "abc"));
    ASSERT_TRUE(WriteBytes(p.game() / "Launcher.exe", "old"));
    ASSERT_TRUE(WriteBytes(p.launcher(), kLauncherBytes));

    std::vector<std::string> forced = p.BuildArgs();
    forced.push_back("--progress");
    RunResult shown = RunPatchgen(forced);
    ASSERT_EQ(shown.exitCode, 0) << shown.err;
    EXPECT_NE(shown.err.find("2/2 files"), std::string::npos) << shown.err;
    EXPECT_NE(shown.err.find("MB/s"), std::string::npos) << shown.err;

    // stderr here is a file, not a terminal: no progress unless forced.
    RunResult plain = RunPatchgen(p.BuildArgs());
    ASSERT_EQ(plain.exitCode, 0);
    EXPECT_EQ(plain.err.find("MB/s"), std::string::npos) << plain.err;
    EXPECT_NE(plain.out.find("published 1 file(s)"), std::string::npos) << plain.out;

    std::vector<std::string> quiet = p.BuildArgs();
    quiet.insert(quiet.end(), {"--quiet", "--progress"});
    RunResult silent = RunPatchgen(quiet);
    ASSERT_EQ(silent.exitCode, 0);
    EXPECT_EQ(silent.err, "");
    EXPECT_EQ(silent.out, "");
    RunResult verifyQuiet = RunPatchgen({"verify", "--quiet", p.out().string()});
    EXPECT_EQ(verifyQuiet.exitCode, 0);
    EXPECT_EQ(verifyQuiet.out + verifyQuiet.err, "");
}

}  // namespace
