#include "VerifyCommand.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <string>
#include <system_error>
#include <vector>

#include "ByteRelay.h"
#include "CompressedFiles.h"
#include "DeltaIndexFiles.h"
#include "ExitCodes.h"
#include "FileDigest.h"
#include "FileIo.h"
#include "PackFiles.h"
#include "PatchManifest.h"
#include "PublishRules.h"
#include "ReleaseHistory.h"
#include "SigningKey.h"
#include "common/ManifestSignature.h"
#include "common/PathRules.h"
#include "common/ZstdFrames.h"
#include "Progress.h"

namespace {

struct Report {
    std::size_t problems = 0;
    void Problem(const std::string& line) {
        ++problems;
        std::printf("%s\n", line.c_str());
    }
};

// Compares one served file with the size and digest the manifest gives for it.
void CheckServedFile(const fs::path& patchDir, const std::string& served, std::uint64_t size,
                     const std::string& sha256, const char* digestSource, Progress* progress, Report* report,
                     const ReadAlong& along = {}) {
    fs::path local = patchDir / PathFromUtf8(served);
    std::string shown = DisplayText(served);
    std::error_code ec;
    fs::file_status st = fs::status(local, ec);
    if (!fs::exists(st)) {
        report->Problem(shown + ": missing");
        ProgressAddBytes(progress, size);
        return;
    }
    if (!fs::is_regular_file(st)) {
        report->Problem(shown + ": not a regular file");
        ProgressAddBytes(progress, size);
        return;
    }
    std::uint64_t actual = fs::file_size(local, ec);
    if (!ec && actual != size) {
        report->Problem(shown + ": size differs: served " + std::to_string(actual) + " bytes, " + digestSource +
                        " says " + std::to_string(size));
        ProgressAddBytes(progress, size);
        return;
    }
    FileDigest digest;
    std::string error;
    if (!HashFile(local, &digest, &error, [progress](std::uint64_t n) { ProgressAddBytes(progress, n); }, along)) {
        report->Problem(shown + ": " + error);
        return;
    }
    if (digest.size != size) {
        report->Problem(shown + ": size differs: served " + std::to_string(digest.size) + " bytes, " + digestSource +
                        " says " + std::to_string(size));
    } else if (digest.sha256 != sha256) {
        report->Problem(shown + ": digest differs: served " + digest.sha256 + ", " + digestSource + " says " + sha256);
    }
}

// What the index checks of a tree left: per game file, its index's name for the report and the problems its
// job found in the file's bytes. Pre-sized, as the relay's jobs point into it.
struct IndexChecks {
    std::vector<std::string> shown;
    std::vector<std::vector<std::string>> problems;
};

// Checks a game file and, when it has a DELTA line, its chunk index: the index file against the line at once,
// its chunks against the file's bytes on the relay's thread while the file is read for its digest.
void CheckGameFile(const fs::path& patchDir, const PatchFileEntry& file, std::size_t at, ByteRelay* relay,
                   IndexChecks* checks, Progress* progress, Report* report) {
    const std::string served = path_rules::ServedPath(std::string_view(file.path));
    ReadAlong along;
    if (file.delta) {
        checks->shown[at] =
            DisplayText(ChunkIndexServedPath(file.sha256)) + " (index of " + DisplayText(served) + ")";
        ChunkIndex index;
        std::string problem;
        if (LoadServedIndex(patchDir, file, &index, &problem)) {
            along = {relay, CheckIndexJob(index, file.sha256, &checks->problems[at])};
        } else {
            report->Problem(checks->shown[at] + ": " + problem);
        }
    }
    CheckServedFile(patchDir, served, file.size, file.sha256, "manifest", progress, report, along);
}

// Checks the signature line of the manifest shown as `shown` against the given keys and returns the part of the
// text a launcher would read: the signed part of a signed manifest, else all of it.
std::string_view CheckSignature(std::string_view text, const std::string& shown, const VerifyOptions& options,
                                Report* report, std::string* summary) {
    namespace sig = manifest_signature;
    sig::SignedManifest signedManifest;
    const sig::SplitStatus split = sig::SplitSignedManifest(text, &signedManifest);
    if (split == sig::SplitStatus::Unsigned) {
        if (!options.publicKeys.empty()) report->Problem(shown + ": not signed");
        *summary = "not signed";
        return text;
    }
    if (split != sig::SplitStatus::Signed) {
        report->Problem(shown + ": " + sig::DescribeSplitStatus(split));
        *summary = sig::DescribeSplitStatus(split);
        return text;
    }
    *summary = "signed by key " + signedManifest.keyId;
    if (options.publicKeys.empty()) {
        *summary += " (not checked: give --public-key to check it)";
        return signedManifest.signedPart;
    }
    for (const std::string& hex : options.publicKeys) {
        sig::PublicPoint point{};
        if (!sig::ParsePublicKeyHex(hex, &point) || KeyIdOf(point) != signedManifest.keyId) continue;
        if (VerifySignature(point, signedManifest.signedPart, signedManifest.signature)) {
            *summary += " (checked)";
        } else {
            report->Problem(shown + ": the signature by key " + signedManifest.keyId + " does not verify");
        }
        return signedManifest.signedPart;
    }
    report->Problem(shown + ": signed by key " + signedManifest.keyId + ", which is none of the --public-key keys");
    return signedManifest.signedPart;
}

// manifest.zst, when there is one beside a manifest.txt (in `folder` below the tree, empty or ending in '/'), must
// be that manifest.txt exactly: launchers that know it read it instead.
void CheckCompressedManifest(const fs::path& patchDir, const std::string& folder, const std::string& text,
                             Report* report) {
    const std::string shown = DisplayText(folder) + path_rules::kCompressedManifestName;
    const fs::path path = patchDir / PathFromUtf8(folder) / path_rules::kCompressedManifestName;
    std::error_code ec;
    if (!fs::exists(fs::symlink_status(path, ec))) return;
    std::string frame, error, decoded;
    FrameLimits limits;
    limits.outputSize = text.size();
    limits.windowLogMax = WindowLogFor(text.size(), 0);
    if (!ReadWholeFile(path, &frame, &error)) {
        report->Problem(shown + ": " + error);
        return;
    }
    limits.inputSize = frame.size();
    if (!DecodeFrames(frame, limits, &decoded, &error) || decoded != text) {
        report->Problem(shown + ": is not " + DisplayText(folder) + path_rules::kManifestName +
                        " compressed; launchers that know it would read another manifest");
    }
}

// The manifest a NEXT line announces, as launchers take it before they pre-load anything: there, signed (by one
// of the given keys, or without them by the current manifest's key), with a SEQUENCE above the current one. Returns
// the summary line.
std::string CheckAnnounced(const VerifyOptions& options, const PatchNext& next, std::string_view currentText,
                           std::uint64_t currentSequence, Report* report) {
    namespace sig = manifest_signature;
    const std::string shown = DisplayText(next.manifestPath);
    const std::string folder =
        next.manifestPath.substr(0, next.manifestPath.size() - std::strlen(path_rules::kManifestName));
    std::string text, error;
    if (!ReadWholeFile(options.patchDir / PathFromUtf8(next.manifestPath), &text, &error)) {
        report->Problem(shown + " (announced by the NEXT line): missing or unreadable: " + error);
        return "announced " + shown + ": missing";
    }
    CheckCompressedManifest(options.patchDir, folder, text, report);
    std::string signature;
    const std::string_view readable = CheckSignature(text, shown, options, report, &signature);
    sig::SignedManifest announced, current;
    const sig::SplitStatus split = sig::SplitSignedManifest(text, &announced);
    if (split == sig::SplitStatus::Unsigned && options.publicKeys.empty()) {
        report->Problem(shown + ": not signed; launchers pre-load only a signed announced release");
    }
    if (split == sig::SplitStatus::Signed && options.publicKeys.empty() &&
        sig::SplitSignedManifest(currentText, &current) == sig::SplitStatus::Signed &&
        current.keyId != announced.keyId) {
        report->Problem(shown + ": signed by key " + announced.keyId + ", manifest.txt by key " + current.keyId);
    }
    const std::uint64_t sequence = ReadPatchManifest(readable, nullptr).sequence.value_or(0);
    if (sequence <= currentSequence) {
        report->Problem(shown + ": SEQUENCE " + std::to_string(sequence) + " is not above manifest.txt's " +
                        std::to_string(currentSequence) + "; launchers do not pre-load it");
    }
    return "announced " + shown + ", opening " + UtcTimeText(next.opensAt) + ": manifest " + signature + ", sequence " +
           std::to_string(sequence);
}

}  // namespace

int RunVerify(const VerifyOptions& options) {
    std::string text;
    std::string error;
    if (!ReadWholeFile(options.patchDir / path_rules::kManifestName, &text, &error)) {
        std::fprintf(stderr, "patchgen: %s\n", error.c_str());
        return kExitIo;
    }

    Report report;
    CheckCompressedManifest(options.patchDir, std::string(), text, &report);
    std::string signature;
    const std::string_view readable = CheckSignature(text, path_rules::kManifestName, options, &report, &signature);
    std::vector<ManifestIssue> issues;
    PatchManifest manifest = ReadPatchManifest(readable, &issues);
    for (const ManifestIssue& issue : issues) {
        report.Problem("manifest.txt line " + std::to_string(issue.line) + ": " + DisplayText(issue.message));
    }
    std::string announced;
    if (manifest.next) {
        announced = CheckAnnounced(options, *manifest.next, text, manifest.sequence.value_or(0), &report);
    }

    // Served once each, and what a Windows file system would make of each name.
    std::map<std::string, std::string> seen;
    for (const PatchFileEntry& f : manifest.files) {
        std::string served = path_rules::ServedPath(std::string_view(f.path));
        std::string relative = served.substr(std::string(path_rules::kFilesDir).size() + 1);
        std::string problem = PathProblem(relative);
        if (!problem.empty()) report.Problem(DisplayText(served) + ": " + problem);
        auto [it, inserted] = seen.emplace(path_rules::FileKey(std::string_view(relative)), served);
        if (!inserted) {
            report.Problem(DisplayText(served) + ": listed more than once (same name as " + DisplayText(it->second) +
                           " on Windows)");
        }
    }

    std::uint64_t totalBytes = manifest.launcherSelf ? manifest.launcherSelf->size : 0;
    for (const PatchFileEntry& f : manifest.files) totalBytes += f.size;
    Progress progress;
    ProgressStart(&progress, ProgressWanted(options.quiet, options.forceProgress), manifest.files.size() + 1,
                  totalBytes);

    if (!manifest.launcherSelf) {
        report.Problem("manifest.txt: no valid LAUNCHER_SELF line");
    } else {
        CheckServedFile(options.patchDir, path_rules::ServedPath(std::string_view(path_rules::kLauncherExeName)), manifest.launcherSelf->size,
                        manifest.launcherSelf->sha256, "LAUNCHER_SELF", &progress, &report);
    }
    ProgressFileDone(&progress);
    IndexChecks checks{std::vector<std::string>(manifest.files.size()),
                       std::vector<std::vector<std::string>>(manifest.files.size())};
    ByteRelay relay;  // after `checks`: going first, it lets the jobs that write into checks finish
    for (std::size_t i = 0; i < manifest.files.size(); ++i) {
        CheckGameFile(options.patchDir, manifest.files[i], i, &relay, &checks, &progress, &report);
        ProgressFileDone(&progress);
    }
    relay.Wait();
    ProgressFinish(&progress);
    std::vector<std::string> packProblems;
    CheckPacks(options.patchDir, manifest, &packProblems);
    for (const std::string& problem : packProblems) report.Problem(DisplayText(problem));
    std::vector<std::string> compressedProblems;
    std::size_t unchecked = 0;
    CheckCompressedCopies(options.patchDir, manifest, &compressedProblems, &unchecked);
    for (const std::string& problem : compressedProblems) report.Problem(DisplayText(problem));
    for (std::size_t i = 0; i < manifest.files.size(); ++i) {
        for (const std::string& problem : checks.problems[i]) report.Problem(checks.shown[i] + ": " + problem);
    }

    if (!options.quiet) {
        std::printf("manifest %s, sequence %s\n", signature.c_str(),
                    manifest.sequence ? std::to_string(*manifest.sequence).c_str() : "none");
        if (!announced.empty()) std::printf("%s\n", announced.c_str());
        if (manifest.next && manifest.next->opensAt <= static_cast<std::uint64_t>(std::time(nullptr))) {
            std::printf("note: the announced release's opening time has passed: launchers no longer pre-load it; "
                        "run patchgen open\n");
        }
        // Not a problem: history/ stays on the release machine, so a copy of the tree on a host has no bases.
        if (unchecked > 0) {
            std::printf("note: %zu patch(es) not checked: the earlier versions they start from are not in %s\n",
                        unchecked, DisplayPath(HistoryDir(options.patchDir)).c_str());
        }
    }
    if (report.problems > 0) {
        std::printf("verify failed: %zu problem(s) in %s\n", report.problems, DisplayPath(options.patchDir).c_str());
        return kExitRefused;
    }
    if (!options.quiet) {
        std::printf("verify ok: %zu file(s) and Launcher.exe match manifest.txt in %s\n", manifest.files.size(),
                    DisplayPath(options.patchDir).c_str());
    }
    return kExitOk;
}
