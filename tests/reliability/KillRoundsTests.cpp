// A kill at any instant: the real launcher, with a self-update due and game files to fetch, is ended by
// TerminateProcess at random instants, round after round, with files made stale between rounds; one clean
// run afterwards must leave every file as published, a launcher in place and no .part behind.
//
// KORVANE_KILL_ROUNDS  rounds with a kill (default 12)
// KORVANE_KILL_SEED    the seed of every random choice, to replay a run (default: from the clock, printed)
// KORVANE_KILL_MAX_MS  the latest kill instant after the start (default 4000)
// KORVANE_KILL_AIMED_PERCENT    share of the rounds with a self-update due whose kill is aimed (default 50)
// KORVANE_KILL_PUBLISH_PERCENT  chance that a new launcher is published before a round (default 33)
#include "WindowClasses.h"
#include "common/ManifestFormat.h"
#include "common/PackPlan.h"
#include "common/PathRules.h"
#include "ui/Dpi.h"
#include "ui/MainWindowLayout.h"

#include "ChildProcesses.h"
#include "DirectoryProcesses.h"
#include "LoopbackHttpServer.h"
#include "ScreenCapture.h"
#include "TempDir.h"
#include "TestFiles.h"
#include "TestRegistry.h"
#include "TestWindows.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace {

using testsupport::Delivery;
using testsupport::HttpResponse;

constexpr unsigned long kDefaultRounds = 12;
constexpr unsigned long kDefaultMaxKillMs = 4000;
constexpr unsigned long kDefaultAimedPercent = 50;
constexpr unsigned long kDefaultPublishPercent = 33;
// A kill aimed at the swap lands this long at most after the new launcher's download is complete: the
// launcher hashes it and renames twice some 4 to 40 ms after that under Wine, depending on the load.
constexpr std::uint32_t kSwapAimSpreadUs = 40000;
// A kill aimed at the hand-over lands this long at most after the test saw the new executable's process
// (its start, and its wait while the old launcher lets go), or after the old launcher's process ended (the
// new one then takes the installation, renames once and restarts within a few milliseconds).
constexpr std::uint32_t kHandOverStartSpreadUs = 2000;
constexpr std::uint32_t kHandOverWaitSpreadUs = 40000;
constexpr std::uint32_t kMoveAimSpreadUs = 8000;
constexpr wchar_t kHandOverImageEnd[] = L"\\Launcher.exe.new";
constexpr DWORD kCleanRunTimeoutMs = 180000;
// A clean run that ends without a window: no launcher process of the directory for this long.
constexpr DWORD kGoneForMs = 2000;
constexpr DWORD kCloseTimeoutMs = 15000;
constexpr double kStartColourMin = 60;  // mean saturation of the start button once it is enabled
constexpr char kManifestUrl[] = "/patch/manifest.txt";
constexpr char kPatchFilesUrl[] = "/patch/";

unsigned long EnvNumber(const char* name, unsigned long fallback) {
    char text[64] = {};
    const DWORD n = GetEnvironmentVariableA(name, text, static_cast<DWORD>(sizeof(text)));
    if (n == 0 || n >= sizeof(text)) return fallback;
    char* end = nullptr;
    const unsigned long value = std::strtoul(text, &end, 10);
    return end != text && *end == '\0' ? value : fallback;
}

// Every random choice of a run comes from here, in a fixed order, so a seed replays the choices.
class RoundRandom {
public:
    explicit RoundRandom(std::uint32_t seed) : engine_(seed) {}
    std::uint32_t Below(std::uint32_t n) { return n ? static_cast<std::uint32_t>(engine_() % n) : 0; }
    bool OneIn(std::uint32_t n) { return Below(n) == 0; }

private:
    std::mt19937 engine_;
};

// ---- the published game ----

struct PublishedGameFile {
    const char* path;  // as the manifest lists it
    std::size_t size;
    Delivery delivery;
    int pieceBytes;
    int pauseMs;
};

// Large and slow files so that kills land inside transfers; one without a length (chunked).
const PublishedGameFile kGameFiles[] = {
    {"Data\\world.pak", 6 << 20, Delivery::Slow, 64 * 1024, 20},
    {"Data\\maps\\region01.map", 1536 * 1024, Delivery::Slow, 16 * 1024, 10},
    {"Data\\ui\\skin.dat", 256 * 1024, Delivery::Slow, 4 * 1024, 10},
    {"Data\\sound\\theme.ogg", 2 << 20, Delivery::Normal, 0, 0},
    {"bin\\client.dll", 3 << 20, Delivery::Chunked, 0, 0},
    {"README.txt", 2000, Delivery::Normal, 0, 0},
};
// The self-update's download takes about a second, so kills land inside it too.
constexpr int kLauncherPieceBytes = 16 * 1024;
constexpr int kLauncherPauseMs = 10;

// Small files published in packs as well: 2 to 16 KiB each, packed in manifest order as patchgen packs them,
// but closed at a smaller size so that they make two packs. Each pack comes slowly (about a second), so
// kills land while its members arrive.
constexpr int kPackedFileCount = 40;
constexpr std::size_t kPackedMinBytes = 2 * 1024;
constexpr std::size_t kPackedMaxBytes = 16 * 1024;
constexpr std::size_t kKillPackTargetBytes = 192 * 1024;
constexpr int kPackPieceBytes = 2 * 1024;
constexpr int kPackPauseMs = 10;
static_assert(kPackedMaxBytes < kDefaultPackMemberLimit, "the packed files are small files");

struct GameFile {
    std::string manifestPath;
    std::wstring path;
    std::string content;
    std::string packSha256;  // empty when the file is in no pack
    std::uint64_t packOffset = 0;
};

// A pack as served: its name and its members, indexes into the host's files in pack order.
struct ServedPack {
    std::string sha256;
    std::uint64_t size = 0;
    std::vector<std::size_t> members;
};

std::string ServedUrl(const std::string& manifestPath) {
    return kPatchFilesUrl + path_rules::ServedPath(std::string_view(manifestPath));
}

std::string PackUrl(const std::string& packSha256) { return kPatchFilesUrl + PackServedPath(packSha256); }

// Whether a request is for a pack: below the folder that PackServedPath names.
bool IsPackUrl(const std::string& url) {
    const std::string any = PackServedPath(std::string(manifest_format::kDigestHexLength, '0'));
    return url.rfind(kPatchFilesUrl + any.substr(0, any.find('/') + 1), 0) == 0;
}

// A file's FILE line, and its PACKED line right after it when it is in a pack.
std::string FileLines(const GameFile& file) {
    std::string lines = manifest_format::kFileKey + file.manifestPath + "|" + std::to_string(file.content.size()) +
                        "|" + testsupport::Sha256Hex(file.content) + "\n";
    if (!file.packSha256.empty()) {
        lines += manifest_format::kPackedKey + file.manifestPath + "|" + file.packSha256 + "|" +
                 std::to_string(file.packOffset) + "\n";
    }
    return lines;
}

// The loopback patch host: the game files, the packs of the small ones, and the launcher of the current
// generation as LAUNCHER_SELF.
class PatchHost {
public:
    explicit PatchHost(testsupport::LoopbackHttpServer& server) : server_(server) {
        for (std::size_t i = 0; i < sizeof(kGameFiles) / sizeof(kGameFiles[0]); ++i) {
            const PublishedGameFile& published = kGameFiles[i];
            GameFile file{published.path, testsupport::Wide(published.path),
                          testsupport::PatternBytes(published.size, static_cast<std::uint32_t>(100 + i))};
            server_.Route(ServedUrl(published.path),
                          HttpResponse{200, file.content, published.delivery, published.pieceBytes, published.pauseMs});
            files_.push_back(file);
        }
        PublishPackedFiles();
    }

    // Publishes the original launcher with a generation mark appended: another launcher to the digest.
    void PublishLauncherGeneration(const std::string& original, int generation) {
        generation_ = generation;
        launcher_ = original + "\nkorvane reliability launcher, generation " + std::to_string(generation) + "\n";
        server_.Route(ServedUrl(path_rules::kLauncherExeName),
                      HttpResponse{200, launcher_, Delivery::Slow, kLauncherPieceBytes, kLauncherPauseMs});
        std::string manifest = "VERSION=kill-" + std::to_string(generation) + "\n";
        manifest +=
            "LAUNCHER_SELF|" + std::to_string(launcher_.size()) + "|" + testsupport::Sha256Hex(launcher_) + "\n";
        for (const ServedPack& pack : packs_) {
            manifest += manifest_format::kPackKey + pack.sha256 + "|" + std::to_string(pack.size) + "\n";
        }
        for (const GameFile& file : files_) manifest += FileLines(file);
        server_.RouteBody(kManifestUrl, manifest);
    }

    const std::vector<GameFile>& Files() const { return files_; }
    const std::vector<ServedPack>& Packs() const { return packs_; }
    const std::string& Launcher() const { return launcher_; }
    int Generation() const { return generation_; }

private:
    // The small files, each served under files/ too, and their packs: members one after another, a pack
    // closed once it holds kKillPackTargetBytes or more.
    void PublishPackedFiles() {
        std::string bytes;
        ServedPack pack;
        const auto close = [&] {
            if (pack.members.empty()) return;
            pack.sha256 = testsupport::Sha256Hex(bytes);
            pack.size = bytes.size();
            for (std::size_t member : pack.members) files_[member].packSha256 = pack.sha256;
            server_.Route(PackUrl(pack.sha256), HttpResponse{200, bytes, Delivery::Slow, kPackPieceBytes, kPackPauseMs});
            packs_.push_back(pack);
            pack = ServedPack();
            bytes.clear();
        };
        for (int i = 0; i < kPackedFileCount; ++i) {
            char path[64];
            std::snprintf(path, sizeof(path), "Data\\ui\\icons\\icon%02d.dat", i);
            const std::size_t size =
                kPackedMinBytes + static_cast<std::size_t>(i) * 7919 % (kPackedMaxBytes - kPackedMinBytes + 1);
            GameFile file{path, testsupport::Wide(path), testsupport::PatternBytes(size, static_cast<std::uint32_t>(500 + i))};
            file.packOffset = bytes.size();
            server_.Route(ServedUrl(path), HttpResponse{200, file.content});
            bytes += file.content;
            pack.members.push_back(files_.size());
            files_.push_back(file);
            if (bytes.size() >= kKillPackTargetBytes) close();
        }
        close();
    }

    testsupport::LoopbackHttpServer& server_;
    std::vector<GameFile> files_;
    std::vector<ServedPack> packs_;
    std::string launcher_;
    int generation_ = 0;
};

// ---- what a kill interrupted ----

enum class Phase {
    BeforeManifest,
    FileCheck,
    SelfUpdateDownload,
    Swap,
    HandOver,
    AfterRestart,
    PackTransfer,
    FileDownloads,
    AfterTheEnd,
    EndedByItself,
};
constexpr int kPhaseCount = 10;
const char* const kPhaseNames[kPhaseCount] = {
    "before the manifest", "manifest and file check", "self-update download", "around the swap", "hand-over",
    "after the restart",   "pack transfer",           "file downloads",       "after the end",   "ended by itself"};

// Where an aimed kill lands; the first is the end of the new launcher's download, the others the hand-over.
enum class Aim { DownloadEnd, HandOverStart, HandOverWait, Move };
constexpr int kAimCount = 4;
const char* const kAimNames[kAimCount] = {"the download's end", "the hand-over's start", "the new process's wait",
                                          "the move"};

const char* PhaseName(Phase phase) { return kPhaseNames[static_cast<int>(phase)]; }

// What the test saw of the round's requests and processes around the kill.
struct KillEvidence {
    bool manifestAsked = false;
    bool launcherAsked = false;
    bool gameFileAsked = false;
    bool packAsked = false;
    bool packedMissing = false;     // some file of a pack was not in place after the kill
    bool restarted = false;         // a launcher process of the directory other than the first and the hand-over ran
    bool handOver = false;          // the new executable's process (Launcher.exe.new) ran
    bool anyRunning = false;        // some launcher process of the directory was still there to kill
    bool startEnabled = false;      // a launcher window showed the start button enabled just before the kill
    bool launcherReplaced = false;  // Launcher.exe missing or no longer what the round started with
    bool newComplete = false;       // Launcher.exe.new held the whole published launcher
};

Phase Classify(const KillEvidence& e) {
    if (!e.anyRunning) return Phase::EndedByItself;
    if (e.startEnabled) return Phase::AfterTheEnd;
    if (!e.manifestAsked) return Phase::BeforeManifest;
    if (e.packAsked && e.packedMissing) return Phase::PackTransfer;
    if (e.gameFileAsked || e.packAsked) return Phase::FileDownloads;
    if (e.restarted) return Phase::AfterRestart;
    if (e.handOver) return Phase::HandOver;
    if (e.launcherAsked) return e.launcherReplaced || e.newComplete ? Phase::Swap : Phase::SelfUpdateDownload;
    return Phase::FileCheck;
}

// ---- the game directory ----

bool IsHandOverImage(const std::wstring& image) {
    const std::size_t n = wcslen(kHandOverImageEnd);
    return image.size() >= n && CompareStringOrdinal(image.c_str() + image.size() - n, static_cast<int>(n),
                                                     kHandOverImageEnd, static_cast<int>(n), TRUE) == CSTR_EQUAL;
}

bool StartLooksEnabled(HWND hwnd) {
    RECT window = {};
    if (!IsWindowVisible(hwnd) || !GetWindowRect(hwnd, &window)) return false;
    const RECT box = ScaledRect(kButtonLayout[StartGame].box, kBaseDpi);
    const RECT onScreen = {window.left + box.left, window.top + box.top, window.left + box.right,
                           window.top + box.bottom};
    const testsupport::Capture capture = testsupport::CaptureScreen(onScreen);
    if (capture.width != box.right - box.left) return false;
    return testsupport::Stats(capture, RECT{0, 0, capture.width, capture.height}).saturation > kStartColourMin;
}

// The main window of a launcher process of the directory whose start button is enabled, or null.
HWND EnabledLauncherWindow(const std::vector<reliability::DirectoryProcess>& processes) {
    for (const reliability::DirectoryProcess& process : processes) {
        HWND hwnd = testsupport::FindTopWindow(kMainWindowClass, L"", process.id);
        if (hwnd && StartLooksEnabled(hwnd)) return hwnd;
    }
    return nullptr;
}

std::vector<std::wstring> PartFiles(const std::filesystem::path& root) {
    std::vector<std::wstring> found;
    std::error_code ec;
    for (std::filesystem::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
        const std::wstring name = it->path().filename().wstring();
        if (name.size() >= 5 &&
            CompareStringOrdinal(name.c_str() + name.size() - 5, 5, L".part", 5, TRUE) == CSTR_EQUAL) {
            found.push_back(std::filesystem::relative(it->path(), root, ec).wstring());
        }
    }
    return found;
}

bool AsksForARange(const std::string& head) {
    std::string lower = head;
    for (char& c : lower) c = path_rules::AsciiLower(c);
    return lower.find("\r\nrange:") != std::string::npos;
}

// The first byte a "Range: bytes=a-..." request asks for; 0 when it asks for no range.
std::uint64_t RangeStart(const std::string& head) {
    std::string lower = head;
    for (char& c : lower) c = path_rules::AsciiLower(c);
    const char key[] = "\r\nrange: bytes=";
    const std::size_t at = lower.find(key);
    return at == std::string::npos ? 0 : std::strtoull(lower.c_str() + at + sizeof(key) - 1, nullptr, 10);
}

// The size of a file, or 0 when it cannot be read.
std::uint64_t FileSize(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return 0;
    return (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

std::string MillisecondsText(std::uint32_t microseconds) {
    char text[32];
    std::snprintf(text, sizeof(text), "%.3f", microseconds / 1000.0);
    return text;
}

// Busy for `microseconds`: a kill that aims at a stretch of a few milliseconds needs a finer clock than Sleep.
void SpinFor(std::uint32_t microseconds) {
    LARGE_INTEGER frequency, now, start;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    const LONGLONG ticks = frequency.QuadPart * microseconds / 1000000;
    do {
        QueryPerformanceCounter(&now);
    } while (now.QuadPart - start.QuadPart < ticks);
}

std::vector<std::string> Since(const std::vector<std::string>& all, std::size_t from) {
    return std::vector<std::string>(all.begin() + static_cast<std::ptrdiff_t>(std::min(from, all.size())), all.end());
}

class KillRoundsTest : public testing::Test {
protected:
    void SetUp() override {
        testsupport::ClearLauncherRegistry();
        original_ = testsupport::ReadBytes(testsupport::BesideTestExe(L"LauncherReliability.exe"));
        ASSERT_FALSE(original_.empty()) << "LauncherReliability.exe is not beside the test program";
        ASSERT_TRUE(server_.Started());
        ASSERT_TRUE(testsupport::WriteBytes(LauncherPath(), original_));
    }
    void TearDown() override {
        EXPECT_TRUE(reliability::TerminateDirectoryProcesses(dir_.Path(), known_));
        testsupport::ClearLauncherRegistry();
    }

    std::wstring LauncherPath() const { return dir_ / L"Launcher.exe"; }
    std::wstring Local(const std::wstring& path) const { return dir_ / path; }

    bool Intact(const GameFile& file) const { return testsupport::ReadBytes(Local(file.path)) == file.content; }

    // Truncates, changes a byte of or deletes some files; returns what it did, for the round's line.
    std::string MakeSomeFilesStale(RoundRandom& random) {
        std::string done;
        for (const GameFile& file : host_.Files()) {
            if (!random.OneIn(3)) continue;
            const std::wstring local = Local(file.path);
            std::string bytes = testsupport::ReadBytes(local);
            const std::uint32_t how = random.Below(3);
            const std::uint32_t where = random.Below(static_cast<std::uint32_t>(file.content.size()));
            if (!testsupport::FileExists(local)) continue;
            if (how == 0) {
                bytes.resize(bytes.size() / 2);
                testsupport::WriteBytes(local, bytes);
                done += " " + testsupport::Utf8(file.path) + " truncated;";
            } else if (how == 1 && !bytes.empty()) {
                bytes[where % bytes.size()] ^= 0x5A;
                testsupport::WriteBytes(local, bytes);
                done += " " + testsupport::Utf8(file.path) + " byte changed;";
            } else {
                DeleteFileW(local.c_str());
                done += " " + testsupport::Utf8(file.path) + " deleted;";
            }
        }
        return done;
    }

    // Leaves a .part beside a file that is up to date: a real transfer's first half or foreign bytes.
    // With `installOne`, a directory without an up-to-date file first gets the last file as published.
    std::string LeaveStalePart(RoundRandom& random, int round, bool installOne) {
        std::string done;
        std::vector<const GameFile*> intact;
        for (const GameFile& file : host_.Files()) {
            if (Intact(file)) intact.push_back(&file);
        }
        if (intact.empty() && installOne) {
            const GameFile& last = host_.Files().back();
            // No run may have got as far as its folder yet.
            std::error_code ec;
            std::filesystem::create_directories(std::filesystem::path(Local(last.path)).parent_path(), ec);
            if (!testsupport::WriteBytes(Local(last.path), last.content)) return std::string();
            intact.push_back(&last);
            done = " " + testsupport::Utf8(last.path) + " installed as published;";
        }
        const std::uint32_t pick = random.Below(static_cast<std::uint32_t>(intact.size()));
        const bool prefix = random.OneIn(2);
        if (intact.empty()) return done;
        const GameFile& file = *intact[pick];
        const std::string bytes = prefix ? file.content.substr(0, file.content.size() / 2)
                                         : testsupport::PatternBytes(10000, static_cast<std::uint32_t>(round));
        if (!testsupport::WriteBytes(Local(file.path) + L".part", bytes)) return done;
        planted_[file.path + L".part"] = Planted{round, testsupport::Sha256Hex(bytes)};
        return done + " stale .part (" + std::string(prefix ? "first half" : "foreign bytes") + ") beside up-to-date " +
               testsupport::Utf8(file.path) + ";";
    }

    // Where a .part found at the end came from, when the test left it and nothing has written it since.
    std::string PlantedBy(const std::wstring& part) const {
        auto it = planted_.find(part);
        if (it == planted_.end() || testsupport::Sha256Hex(testsupport::ReadBytes(Local(part))) != it->second.digest) {
            return std::string();
        }
        return it->second.round ? " (left by the test before round " + std::to_string(it->second.round) + ")"
                                : std::string(" (left by the test before the clean run)");
    }

    // Polls until the launcher has asked for its new executable (after deleting any earlier
    // Launcher.exe.new) and Launcher.exe.new holds all of it; near the end of the transfer without sleeping,
    // so that the kill can follow within microseconds. False when that did not happen within `timeoutMs`.
    bool WaitForCompleteNewLauncher(int requestsBefore, DWORD timeoutMs) const {
        const std::wstring fresh = LauncherPath() + L".new";
        const std::uint64_t size = host_.Launcher().size();
        const DWORD start = GetTickCount();
        bool asked = false;
        while (GetTickCount() - start < timeoutMs) {
            asked = asked || server_.CountRequests(ServedUrl(path_rules::kLauncherExeName)) > requestsBefore;
            if (asked && FileSize(fresh) == size) return true;
            Sleep(asked && FileSize(fresh + L".part") + 4 * kLauncherPieceBytes >= size ? 0 : 1);
        }
        return false;
    }

    // The URLs of the files (the launcher's new executable included) that have a non-empty .part beside them.
    std::set<std::string> UrlsWithAPart() const {
        std::set<std::string> urls;
        for (std::size_t i = 0; i < host_.Files().size(); ++i) {
            if (!testsupport::ReadBytes(Local(host_.Files()[i].path) + L".part").empty()) {
                urls.insert(ServedUrl(host_.Files()[i].manifestPath));
            }
        }
        if (!testsupport::ReadBytes(LauncherPath() + L".new.part").empty()) {
            urls.insert(ServedUrl(path_rules::kLauncherExeName));
        }
        return urls;
    }

    // Counts the first request of the round for each file that had a .part beside it, and those of them
    // that asked for the rest only (a Range header).
    void CountResumes(const std::set<std::string>& urlsWithAPart, std::size_t requestsBefore) {
        const std::vector<std::string> paths = Since(server_.RequestedPaths(), requestsBefore);
        const std::vector<std::string> heads = Since(server_.RequestLines(), requestsBefore);
        std::set<std::string> seen;
        for (std::size_t i = 0; i < paths.size() && i < heads.size(); ++i) {
            if (!urlsWithAPart.count(paths[i]) || !seen.insert(paths[i]).second) continue;
            ++requestsBesideAPart_;
            if (AsksForARange(heads[i])) ++rangeRequests_;
        }
    }

    // The pack offsets of the packed files that are not in place, per pack URL.
    std::map<std::string, std::set<std::uint64_t>> MissingMembers() const {
        std::map<std::string, std::set<std::uint64_t>> missing;
        for (const ServedPack& pack : host_.Packs()) {
            std::set<std::uint64_t>& offsets = missing[PackUrl(pack.sha256)];
            for (std::size_t member : pack.members) {
                if (!Intact(host_.Files()[member])) offsets.insert(host_.Files()[member].packOffset);
            }
        }
        return missing;
    }

    // The packed files that are in place.
    std::set<std::size_t> PackedInPlace() const {
        std::set<std::size_t> placed;
        for (const ServedPack& pack : host_.Packs()) {
            for (std::size_t member : pack.members) {
                if (Intact(host_.Files()[member])) placed.insert(member);
            }
        }
        return placed;
    }

    // Counts the pack requests since `requestsBefore` and those that began at a member missing when the run
    // started: a transfer broken by a kill goes on at the first member not yet placed, and no range starts
    // at a member already in place (ranges of one pack go out in parallel, so any one may come first).
    void CountPackResumes(const std::map<std::string, std::set<std::uint64_t>>& missing, std::size_t requestsBefore,
                          const std::string& when) {
        const std::vector<std::string> paths = Since(server_.RequestedPaths(), requestsBefore);
        const std::vector<std::string> heads = Since(server_.RequestLines(), requestsBefore);
        for (std::size_t i = 0; i < paths.size() && i < heads.size(); ++i) {
            if (!IsPackUrl(paths[i])) continue;
            ++packRequests_;
            const std::uint64_t start = RangeStart(heads[i]);
            const auto pack = missing.find(paths[i]);
            if (pack != missing.end() && pack->second.count(start)) {
                ++packRequestsAtAMissingMember_;
            } else {
                packRequestsElsewhere_ += " " + when + ": " + paths[i] + " from byte " + std::to_string(start) + ";";
            }
        }
    }

    // One round's draws, taken in the same order whatever the round then meets.
    struct RoundPlan {
        DWORD delayMs = 0;
        bool aimed = false;
        Aim aim = Aim::DownloadEnd;
        std::uint32_t afterUs = 0;  // after the instant the aim waits for
    };
    struct RoundOutcome {
        Phase phase = Phase::BeforeManifest;
        bool launcherMissing = false;
        bool launcherForeign = false;  // present, but neither the old nor the new launcher
        bool selfUpdateDue = false;
        bool aimed = false;  // the aim's instant came, and the kill followed it
    };

    // Polls until a process runs from Launcher.exe.new and opens it for the kill; null after `timeoutMs`.
    HANDLE WaitForHandOverProcess(DWORD timeoutMs, DWORD* id) {
        const DWORD start = GetTickCount();
        while (GetTickCount() - start < timeoutMs) {
            for (const reliability::DirectoryProcess& process : reliability::FindDirectoryProcesses(dir_.Path(), known_)) {
                if (!IsHandOverImage(process.image)) continue;
                *id = process.id;
                return OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, process.id);
            }
            Sleep(0);  // the process lives for a fraction of a second: look again at once
        }
        return nullptr;
    }

    // Waits for the instant the plan aims at. Returns the new executable's process when the aim needs it
    // (null otherwise, or when the instant did not come) and sets *came.
    HANDLE WaitForAim(const RoundPlan& plan, int launcherRequestsBefore, DWORD maxKillMs, testsupport::Process& first,
                      bool* came, DWORD* handOverId) {
        *came = false;
        if (plan.aim == Aim::DownloadEnd) {
            *came = WaitForCompleteNewLauncher(launcherRequestsBefore, maxKillMs);
            return nullptr;
        }
        if (!WaitForCompleteNewLauncher(launcherRequestsBefore, maxKillMs)) return nullptr;
        HANDLE handOver = WaitForHandOverProcess(maxKillMs, handOverId);
        if (!handOver) return nullptr;
        // The move follows the old launcher's end; the other two aims are timed from the new process's start.
        *came = plan.aim != Aim::Move || WaitForSingleObject(first.Handle(), maxKillMs) == WAIT_OBJECT_0;
        return handOver;
    }

    // Publishes a new launcher now and then, makes files stale, leaves a stale .part; returns what it did.
    std::string PrepareRound(RoundRandom& random, int round, unsigned long publishPercent) {
        std::string prepared;
        if (random.Below(100) < publishPercent) {
            host_.PublishLauncherGeneration(original_, host_.Generation() + 1);
            prepared += " launcher generation " + std::to_string(host_.Generation()) + " published;";
        }
        prepared += MakeSomeFilesStale(random);
        if (random.OneIn(3)) prepared += LeaveStalePart(random, round, false);
        return prepared;
    }

    // Starts the launcher, ends every launcher process of the directory at the planned instant, prints
    // what the kill interrupted, and puts the old launcher back when a kill left none, or another one.
    void KillRound(int round, const RoundPlan& plan, DWORD maxKillMs, RoundOutcome* outcome) {
        const std::string launcherBefore = testsupport::ReadBytes(LauncherPath());
        outcome->selfUpdateDue = launcherBefore != host_.Launcher();
        const std::size_t requestsBefore = server_.RequestedPaths().size();
        const int launcherRequestsBefore = server_.CountRequests(ServedUrl(path_rules::kLauncherExeName));
        const std::set<std::string> urlsWithAPart = UrlsWithAPart();
        const std::map<std::string, std::set<std::uint64_t>> missingMembers = MissingMembers();
        const std::set<std::size_t> packedBefore = PackedInPlace();
        known_.clear();
        testsupport::Process first;
        ASSERT_TRUE(StartLauncher(first)) << "round " << round;
        const DWORD started = GetTickCount();
        // The random instant is the point of the test. Half the rounds with a self-update due aim at one of
        // the short stretches from the complete download to the restart, which an instant drawn from seconds
        // would hardly ever hit.
        bool aimed = false;
        DWORD handOverId = 0;
        HANDLE handOver = nullptr;
        if (outcome->selfUpdateDue && plan.aimed) {
            handOver = WaitForAim(plan, launcherRequestsBefore, maxKillMs, first, &aimed, &handOverId);
            if (aimed) SpinFor(plan.afterUs);
        } else {
            Sleep(plan.delayMs);
        }

        KillEvidence evidence;
        DWORD killedAfter = 0;
        if (aimed) {
            // No look around first: it would take longer than the stretch aimed at.
            evidence.anyRunning = first.Running() || handOver;
            killedAfter = GetTickCount() - started;
            if (handOver) TerminateProcess(handOver, 1);
            TerminateProcess(first.Handle(), 1);
            evidence.handOver = handOver != nullptr;
        } else {
            const std::vector<reliability::DirectoryProcess> running =
                reliability::FindDirectoryProcesses(dir_.Path(), known_);
            evidence.anyRunning = !running.empty();
            evidence.startEnabled = EnabledLauncherWindow(running) != nullptr;
            for (const reliability::DirectoryProcess& process : running) {
                if (!IsHandOverImage(process.image)) continue;
                evidence.handOver = true;
                handOverId = process.id;
            }
            killedAfter = GetTickCount() - started;
        }
        ASSERT_TRUE(reliability::TerminateDirectoryProcesses(dir_.Path(), known_)) << "round " << round;
        first.Kill();
        if (handOver) {
            known_.insert(handOverId);
            CloseHandle(handOver);
        }
        outcome->aimed = aimed;

        for (const std::string& path : Since(server_.RequestedPaths(), requestsBefore)) {
            if (path == kManifestUrl) {
                evidence.manifestAsked = true;
            } else if (path == ServedUrl(path_rules::kLauncherExeName)) {
                evidence.launcherAsked = true;
            } else if (IsPackUrl(path)) {
                evidence.packAsked = true;
            } else {
                evidence.gameFileAsked = true;
            }
        }
        evidence.restarted = known_.size() > 1u + (evidence.handOver && known_.count(handOverId) ? 1u : 0u);
        evidence.anyRunning = evidence.anyRunning || evidence.restarted;
        CountResumes(urlsWithAPart, requestsBefore);
        CountPackResumes(missingMembers, requestsBefore, "round " + std::to_string(round));
        const std::set<std::size_t> packedAfter = PackedInPlace();
        evidence.packedMissing = packedAfter.size() < static_cast<std::size_t>(kPackedFileCount);
        int kept = 0;
        for (std::size_t member : packedAfter) kept += packedBefore.count(member) ? 0 : 1;
        const bool launcherPresent = testsupport::FileExists(LauncherPath());
        const std::string launcherAfter = testsupport::ReadBytes(LauncherPath());
        evidence.launcherReplaced = !launcherPresent || launcherAfter != launcherBefore;
        evidence.newComplete = testsupport::ReadBytes(LauncherPath() + L".new") == host_.Launcher();
        outcome->phase = Classify(evidence);
        if (outcome->phase == Phase::PackTransfer) packMembersKept_ += kept;

        const bool oldOrNew = launcherPresent && (launcherAfter == host_.Launcher() || launcherAfter == launcherBefore);
        outcome->launcherMissing = !launcherPresent;
        outcome->launcherForeign = launcherPresent && !oldOrNew;
        const char* launcherState = launcherAfter == host_.Launcher() ? "new" : "old";
        if (outcome->launcherMissing) launcherState = "MISSING, the old one put back";
        if (outcome->launcherForeign) launcherState = "NEITHER OLD NOR NEW, the old one put back";
        const std::string aim = aimed ? "aimed " + MillisecondsText(plan.afterUs) + " ms after " +
                                            kAimNames[static_cast<int>(plan.aim)] + "; "
                                      : "";
        const std::string packs = outcome->phase == Phase::PackTransfer
                                      ? "; " + std::to_string(kept) + " packed files placed, " +
                                            std::to_string(kPackedFileCount - packedAfter.size()) + " missing"
                                      : "";
        std::printf("[   INFO   ] round %d: killed after %lu ms in phase %s (%sLauncher.exe %s%s%s)\n", round,
                    static_cast<unsigned long>(killedAfter), PhaseName(outcome->phase), aim.c_str(), launcherState,
                    evidence.restarted ? "; it had restarted itself" : "", packs.c_str());
        std::fflush(stdout);
        if (!oldOrNew) {
            ASSERT_TRUE(testsupport::WriteBytes(LauncherPath(), launcherBefore)) << "round " << round;
        }
    }

    // Starts the launcher and lets it run until a window of it shows the start button enabled, or until no
    // launcher process of the directory is left; then closes it.
    void CleanRun() {
        const std::size_t requestsBefore = server_.RequestedPaths().size();
        const std::set<std::string> urlsWithAPart = UrlsWithAPart();
        const std::map<std::string, std::set<std::uint64_t>> missingMembers = MissingMembers();
        known_.clear();
        testsupport::Process clean;
        ASSERT_TRUE(StartLauncher(clean));
        const DWORD started = GetTickCount();
        HWND ready = nullptr;
        DWORD goneSince = 0;
        bool endedByItself = false;
        testsupport::WaitUntil(
            [&] {
                const std::vector<reliability::DirectoryProcess> running =
                    reliability::FindDirectoryProcesses(dir_.Path(), known_);
                for (const reliability::DirectoryProcess& process : running) known_.insert(process.id);
                if (!running.empty()) {
                    goneSince = 0;
                    ready = EnabledLauncherWindow(running);
                    return ready != nullptr;
                }
                if (goneSince == 0) goneSince = GetTickCount();
                endedByItself = GetTickCount() - goneSince >= kGoneForMs;
                return endedByItself;
            },
            kCleanRunTimeoutMs);
        std::printf("[   INFO   ] clean run: %s after %lu ms%s\n",
                    ready           ? "start button enabled"
                    : endedByItself ? "the launcher ended by itself"
                                    : "NOT FINISHED",
                    static_cast<unsigned long>(GetTickCount() - started),
                    known_.size() > 1 ? ", the launcher had restarted itself" : "");
        EXPECT_TRUE(ready || endedByItself)
            << "the clean run neither enabled the start button nor ended within " << kCleanRunTimeoutMs / 1000 << " s";
        if (ready) {
            PostMessageW(ready, WM_CLOSE, 0, 0);
            testsupport::WaitUntil([&] { return reliability::FindDirectoryProcesses(dir_.Path(), known_).empty(); },
                                   kCloseTimeoutMs);
        }
        ASSERT_TRUE(reliability::TerminateDirectoryProcesses(dir_.Path(), known_));
        CountResumes(urlsWithAPart, requestsBefore);
        CountPackResumes(missingMembers, requestsBefore, "clean run");
    }

    // The listed files that are missing or differ from what the host serves, for the failure message.
    std::string FilesNotMatching() const {
        std::string wrong;
        for (const GameFile& file : host_.Files()) {
            if (!testsupport::FileExists(Local(file.path))) {
                wrong += " " + testsupport::Utf8(file.path) + " missing;";
            } else if (!Intact(file)) {
                wrong += " " + testsupport::Utf8(file.path) + " differs;";
            }
        }
        return wrong;
    }

    // Every .part below the directory, with where it came from when the test left it.
    std::string PartsLeft() const {
        std::string parts;
        for (const std::wstring& found : PartFiles(dir_.path())) {
            parts += " " + testsupport::Utf8(found) + PlantedBy(found) + ";";
        }
        return parts;
    }

    // Starts Launcher.exe of the directory as a player would.
    bool StartLauncher(testsupport::Process& process) {
        if (!process.Start(LauncherPath(), std::wstring(), dir_.Path())) return false;
        known_.insert(process.Id());
        return true;
    }

    testsupport::TempDir dir_;
    testsupport::LoopbackHttpServer server_;
    PatchHost host_{server_};
    std::string original_;
    std::set<DWORD> known_;  // launcher processes of the current round or run
    struct Planted {
        int round;  // 0: before the clean run
        std::string digest;
    };
    std::map<std::wstring, Planted> planted_;  // stale .part files the test left
    int requestsBesideAPart_ = 0;
    int rangeRequests_ = 0;
    // Requests for a pack, and those of them that began at a member not in place when the run started.
    int packRequests_ = 0;
    int packRequestsAtAMissingMember_ = 0;
    std::string packRequestsElsewhere_;  // the others, for the failure message
    int packMembersKept_ = 0;            // members placed before a kill that broke their pack's transfer
};

TEST_F(KillRoundsTest, KilledAtRandomInstantsThenOneCleanRunLeavesTheGameWhole) {
    const unsigned long rounds = EnvNumber("KORVANE_KILL_ROUNDS", kDefaultRounds);
    const unsigned long maxKillMs = EnvNumber("KORVANE_KILL_MAX_MS", kDefaultMaxKillMs);
    const unsigned long aimedPercent = EnvNumber("KORVANE_KILL_AIMED_PERCENT", kDefaultAimedPercent);
    const unsigned long publishPercent = EnvNumber("KORVANE_KILL_PUBLISH_PERCENT", kDefaultPublishPercent);
    const unsigned long seed =
        EnvNumber("KORVANE_KILL_SEED", static_cast<unsigned long>(GetTickCount() ^ (GetCurrentProcessId() << 16)));
    std::printf(
        "[   INFO   ] %lu rounds, kills 0..%lu ms after the start, %lu %% of those with a self-update due aimed, "
        "a new launcher before %lu %% of the rounds, seed %lu (replay: KORVANE_KILL_SEED=%lu KORVANE_KILL_ROUNDS=%lu "
        "KORVANE_KILL_MAX_MS=%lu KORVANE_KILL_AIMED_PERCENT=%lu KORVANE_KILL_PUBLISH_PERCENT=%lu)\n",
        rounds, maxKillMs, aimedPercent, publishPercent, seed, seed, rounds, maxKillMs, aimedPercent, publishPercent);
    std::fflush(stdout);
    RoundRandom random(static_cast<std::uint32_t>(seed));
    host_.PublishLauncherGeneration(original_, 1);

    int kills[kPhaseCount] = {};
    int launcherMissing = 0, launcherForeign = 0, selfUpdateDue = 0;
    int aimedAt[kAimCount] = {};
    for (unsigned long round = 1; round <= rounds; ++round) {
        const std::string prepared =
            round > 1 ? PrepareRound(random, static_cast<int>(round), publishPercent) : std::string();
        RoundPlan plan;
        plan.delayMs = random.Below(static_cast<std::uint32_t>(maxKillMs) + 1);
        plan.aimed = random.Below(100) < aimedPercent;
        plan.aim = static_cast<Aim>(random.Below(kAimCount));
        const std::uint32_t spreads[kAimCount] = {kSwapAimSpreadUs, kHandOverStartSpreadUs, kHandOverWaitSpreadUs,
                                                  kMoveAimSpreadUs};
        plan.afterUs = random.Below(spreads[static_cast<int>(plan.aim)] + 1);
        if (!prepared.empty()) std::printf("[   INFO   ] round %lu prepared:%s\n", round, prepared.c_str());
        RoundOutcome outcome;
        ASSERT_NO_FATAL_FAILURE(KillRound(static_cast<int>(round), plan, maxKillMs, &outcome));
        ++kills[static_cast<int>(outcome.phase)];
        launcherMissing += outcome.launcherMissing;
        launcherForeign += outcome.launcherForeign;
        selfUpdateDue += outcome.selfUpdateDue;
        if (outcome.aimed) ++aimedAt[static_cast<int>(plan.aim)];
    }

    // The clean run starts from stale files and a stale .part beside a file that is up to date.
    const std::string prepared = MakeSomeFilesStale(random);
    const std::string part = LeaveStalePart(random, 0, true);
    ASSERT_NE(part.find(".part"), std::string::npos) << "no stale .part could be left beside an up-to-date file";
    std::printf("[   INFO   ] clean run prepared:%s%s\n", prepared.c_str(), part.c_str());
    const std::string oldLauncher = testsupport::ReadBytes(LauncherPath());
    ASSERT_FALSE(oldLauncher.empty());
    ASSERT_NO_FATAL_FAILURE(CleanRun());

    // 1. Every file matches the manifest.
    const std::string wrongFiles = FilesNotMatching();
    // 2. Launcher.exe is present and is either the old or the new one.
    const bool launcherPresent = testsupport::FileExists(LauncherPath());
    const std::string launcher = testsupport::ReadBytes(LauncherPath());
    const bool launcherOldOrNew = launcherPresent && (launcher == oldLauncher || launcher == host_.Launcher());
    // 3. No .part is left.
    const std::string parts = PartsLeft();

    std::string byPhase;
    for (int p = 0; p < kPhaseCount; ++p) {
        byPhase += std::string(p ? ", " : "") + kPhaseNames[p] + " " + std::to_string(kills[p]);
    }
    std::printf("[   INFO   ] kills by phase: %s\n", byPhase.c_str());
    std::string byAim;
    for (int a = 0; a < kAimCount; ++a) {
        byAim += std::string(a ? ", " : "") + kAimNames[a] + " " + std::to_string(aimedAt[a]);
    }
    std::printf("[   INFO   ] aimed kills: %s\n", byAim.c_str());
    std::printf(
        "[   INFO   ] self-update due in %d of %lu rounds; Launcher.exe missing after a kill: %d; "
        "neither old nor new: %d\n",
        selfUpdateDue, rounds, launcherMissing, launcherForeign);
    std::printf("[   INFO   ] requests for a file with a .part beside it: %d, of them asking for a range: %d\n",
                requestsBesideAPart_, rangeRequests_);
    std::printf(
        "[   INFO   ] packs: %d members placed before a kill broke their pack's transfer; %d requests for a pack, "
        "%d of them from a member that was missing%s\n",
        packMembersKept_, packRequests_, packRequestsAtAMissingMember_, packRequestsElsewhere_.c_str());
    std::printf("[   INFO   ] check 1, every file matches the manifest: %s%s\n",
                wrongFiles.empty() ? "pass" : "FAIL:", wrongFiles.c_str());
    std::printf("[   INFO   ] check 2, Launcher.exe present, old or new: %s (%s)\n", launcherOldOrNew ? "pass" : "FAIL",
                !launcherPresent               ? "missing"
                : launcher == host_.Launcher() ? "new"
                : launcher == oldLauncher      ? "old"
                                               : "other");
    std::printf("[   INFO   ] check 3, no .part left: %s%s\n", parts.empty() ? "pass" : "FAIL:", parts.c_str());
    std::fflush(stdout);

    EXPECT_TRUE(wrongFiles.empty()) << "files that do not match the manifest:" << wrongFiles;
    EXPECT_TRUE(launcherOldOrNew) << "Launcher.exe is "
                                  << (launcherPresent ? "neither the old nor the new one" : "missing");
    EXPECT_TRUE(parts.empty()) << ".part files left:" << parts;
    // Guards against a broken pack transfer that starts the pack over, or skips a member it still needs.
    EXPECT_GT(packRequests_, 0) << "no pack was ever asked for";
    EXPECT_EQ(packRequestsAtAMissingMember_, packRequests_) << "pack requests elsewhere:" << packRequestsElsewhere_;
    if (HasFailure()) {
        std::printf(
            "[   INFO   ] replay: KORVANE_KILL_SEED=%lu KORVANE_KILL_ROUNDS=%lu KORVANE_KILL_MAX_MS=%lu "
            "KORVANE_KILL_AIMED_PERCENT=%lu KORVANE_KILL_PUBLISH_PERCENT=%lu\n",
            seed, rounds, maxKillMs, aimedPercent, publishPercent);
    }
}

}  // namespace
