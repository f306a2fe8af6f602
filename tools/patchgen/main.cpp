// patchgen: builds and checks the patch tree the launcher downloads from.

#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "BuildCommand.h"
#include "ExitCodes.h"
#include "FileIo.h"
#include "PatchDayCommands.h"
#include "SigningKey.h"
#include "VerifyCommand.h"
#include "common/ManifestFormat.h"
#include "common/ManifestSignature.h"

#ifdef _WIN32
#include <windows.h>
#include <shellapi.h>
#endif

#ifndef PATCHGEN_VERSION
#define PATCHGEN_VERSION "dev"
#endif

namespace {

const char kHelp[] =
    "Usage: patchgen build --game DIR --launcher FILE --out PATCHDIR [options]\n"
    "       patchgen verify PATCHDIR [options]\n"
    "       patchgen announce PATCHDIR --next FOLDER --opens TIME --sign-key KEY.pem [options]\n"
    "       patchgen withdraw PATCHDIR --sign-key KEY.pem [options]\n"
    "       patchgen open PATCHDIR --sign-key KEY.pem [options]\n"
    "       patchgen keygen --out KEY.pem\n"
    "       patchgen --help | --version\n"
    "\n"
    "Builds the patch tree the launcher downloads from, checks one, and announces and\n"
    "opens the coming release built beside it.\n"
    "\n"
    "Commands:\n"
    "  build     Publish every file under DIR and the launcher FILE into PATCHDIR:\n"
    "            PATCHDIR/files/<path> for each game file (hard links where possible),\n"
    "            PATCHDIR/files/Launcher.exe, a chunk index PATCHDIR/delta/<sha256>.kcix\n"
    "            for each game file of 1 MiB or more (a DELTA line in the manifest),\n"
    "            packs under PATCHDIR/packs, compressed copies and patches from earlier\n"
    "            releases under PATCHDIR/z, and PATCHDIR/manifest.txt, written last.\n"
    "            PATCHDIR/history keeps earlier releases' files for patches: never\n"
    "            upload or serve it.\n"
    "            Nothing is written when a name cannot be published; files an earlier\n"
    "            build left under PATCHDIR/files and PATCHDIR/delta are replaced or removed.\n"
    "  verify    Read PATCHDIR/manifest.txt as the launcher does and check every served\n"
    "            file, files/Launcher.exe, every chunk index and pack against it, and\n"
    "            decode every compressed copy and patch (a patch whose earlier version\n"
    "            is not in PATCHDIR/history is counted as not checked), and with a NEXT\n"
    "            line check the announced manifest (there, signed by the same or a given\n"
    "            key, a higher sequence); print each problem, the key that signed the\n"
    "            manifest and its sequence.\n"
    "  announce  Re-sign PATCHDIR/manifest.txt (and manifest.zst) with a NEXT line that\n"
    "            names the coming release, built with --out PATCHDIR/FOLDER --previous\n"
    "            PATCHDIR, and its opening time, so that launchers pre-load it (an earlier\n"
    "            NEXT line is replaced; every other line stays as it is). Nothing is\n"
    "            written when the time is not in the future, a manifest is not signed by\n"
    "            KEY.pem, or FOLDER's SEQUENCE is not above the one manifest.txt gets.\n"
    "  withdraw  Re-sign PATCHDIR/manifest.txt (and manifest.zst) without its NEXT line.\n"
    "  open      Make the announced release the current one, in this order: its chunk\n"
    "            indices, packs and compressed copies into PATCHDIR, its files into\n"
    "            PATCHDIR/files (each replaced in one rename), its history, and last its\n"
    "            manifest, re-signed without a NEXT line (hard links where possible).\n"
    "            Prints each changed file (to invalidate on a CDN) and each file and\n"
    "            object only the closed release uses, which stay: remove them, and\n"
    "            FOLDER, once launchers have moved on. Nothing is written when a file of\n"
    "            the announced release is missing.\n"
    "  keygen    Write a new manifest signing key (ECDSA P-256, PEM, readable by its owner\n"
    "            only) to KEY.pem, which must not exist yet, and print its public key, the\n"
    "            value the launcher's build takes (KORVANE_MANIFEST_PUBLIC_KEYS), and its key id.\n"
    "            Keep KEY.pem offline, never on the patch host.\n"
    "\n"
    "Options for build:\n"
    "  --game DIR         game directory to publish (symbolic links are followed;\n"
    "                     special files are refused; a top-level Launcher.exe is skipped)\n"
    "  --launcher FILE    launcher executable to serve as files/Launcher.exe\n"
    "  --out PATCHDIR     patch tree to write (created if missing)\n"
    "  --version TEXT     VERSION line of the manifest (after the command; before it,\n"
    "                     --version prints patchgen's own version)\n"
    "  --status TEXT      STATUS line of the manifest\n"
    "  --news TEXT        NEWS line of the manifest\n"
    "                     (TEXT: one line of UTF-8, no '|', no trailing blanks)\n"
    "  --sign-key KEY.pem sign the manifest with this key: a SEQUENCE line and a\n"
    "                     SIGNATURE line over every byte before it\n"
    "  --sequence N       SEQUENCE of the signed manifest (default: seconds since 1970\n"
    "                     at build time); launchers refuse one lower than they accepted\n"
    "  --launcher-share P the share of installations, in percent (0 to 100, two decimals\n"
    "                     at most, a trailing '%' allowed), that may take the listed\n"
    "                     launcher (LAUNCHER_SHARE); without it all may; 0 halts a rollout\n"
    "  --check quick|full how launchers check installed files at every start: full (the\n"
    "                     default) hashes every file; quick writes CHECK=quick, and a\n"
    "                     launcher then skips hashing a file whose size, time and file id\n"
    "                     match its record of the last time it hashed or downloaded it\n"
    "  --pack-under BYTES files smaller than this (default 262144) also go into packs\n"
    "                     under packs/, fetched by range requests, and their\n"
    "                     compressed copies share containers under z/; 0: no packs\n"
    "  --previous PATCHDIR the release players have now, when it is not PATCHDIR\n"
    "                     itself: its packs that still hold mostly unchanged files are\n"
    "                     kept, and the changed files go into new packs; its compressed\n"
    "                     copies and its history/ are taken over too; indices, packs and\n"
    "                     objects under z/ it holds under the same name are hard links\n"
    "                     to its own where the file system allows (so build the coming\n"
    "                     release with --out PATCHDIR/next --previous PATCHDIR)\n"
    "  --level N          zstd level (1-22, default 19) of the compressed copies of\n"
    "                     every file and the patches under z/ (ZFILE, ZCHUNKS, ZPATCH\n"
    "                     lines), made on every core; 0: none\n"
    "  --patch-releases N patches from the N releases before this one (default 2),\n"
    "                     whose files PATCHDIR/history/ keeps; 0: no patches\n"
    "  --patch-limit BYTES patches only from earlier versions of at most this many\n"
    "                     bytes (default 67108864, the most launchers use)\n"
    "\n"
    "Options for verify:\n"
    "  --public-key HEX   the manifest must be signed by this key (130 hex digits, as\n"
    "                     keygen prints it); may be given several times\n"
    "\n"
    "Options for announce, withdraw and open:\n"
    "  --sign-key KEY.pem the key that signed both manifests; the manifest written is\n"
    "                     signed with it\n"
    "  --sequence N       SEQUENCE of the manifest written (default: one above the current\n"
    "                     manifest's, for open one above both manifests'); must be higher\n"
    "  --next FOLDER      (announce) the coming release's folder below PATCHDIR, such as\n"
    "                     next: ASCII letters, digits, '-', '_' and '.', '/' between names\n"
    "  --opens TIME       (announce) when it opens, in UTC: YYYY-MM-DDTHH:MM:SSZ or\n"
    "                     YYYY-MM-DDTHH:MMZ, in the future\n"
    "  -q, --quiet        no summary; refusals and errors still print\n"
    "\n"
    "Options for build and verify:\n"
    "  -q, --quiet        no progress, notes or summary; problems and errors still print\n"
    "  --progress         show progress on stderr even when it is not a terminal\n"
    "                     (by default progress shows only on a terminal)\n"
    "\n"
    "General:\n"
    "  -h, --help         show this help and exit\n"
    "  --version          show patchgen's version and exit\n"
    "\n"
    "Exit codes:\n"
    "  0  success (verify: everything matches)\n"
    "  1  input refused (build, keygen, announce, withdraw, open), or mismatches\n"
    "     found (verify)\n"
    "  2  usage error\n"
    "  3  I/O error: a file or directory could not be read or written\n";

int Usage(const std::string& message) {
    std::fprintf(stderr, "patchgen: %s\nTry 'patchgen --help'.\n", message.c_str());
    return kExitUsage;
}

// Takes the value of `--name VALUE` or `--name=VALUE` at args[*i]; false when args[*i] is another option.
bool TakeValue(const std::vector<std::string>& args, std::size_t* i, const char* name, std::optional<std::string>* value,
               std::string* usageError) {
    const std::string& arg = args[*i];
    std::size_t n = std::strlen(name);
    if (arg.compare(0, n, name) != 0) return false;
    if (arg.size() == n) {
        if (*i + 1 >= args.size()) {
            *usageError = std::string(name) + " needs a value";
            return true;
        }
        *value = args[++*i];
    } else if (arg[n] == '=') {
        *value = arg.substr(n + 1);
    } else {
        return false;
    }
    if (*value && (*value)->empty() && std::strcmp(name, "--version") && std::strcmp(name, "--status") &&
        std::strcmp(name, "--news")) {
        *usageError = std::string(name) + " needs a non-empty value";
    }
    return true;
}

// The flags every command takes. Help prints the help text; Taken means `arg` was --quiet or --progress.
enum class OutputFlag { None, Help, Taken };

OutputFlag TakeOutputFlag(const std::string& arg, bool* quiet, bool* forceProgress) {
    if (arg == "--help" || arg == "-h") {
        std::fputs(kHelp, stdout);
        return OutputFlag::Help;
    }
    if (arg == "--quiet" || arg == "-q") {
        *quiet = true;
        return OutputFlag::Taken;
    }
    if (arg == "--progress") {
        *forceProgress = true;
        return OutputFlag::Taken;
    }
    return OutputFlag::None;
}

// "12", "12.5", "12.25" or "12.25%", from 0 to 100, as hundredths of a percent; false for anything else.
bool ParseSharePercent(std::string text, std::uint32_t* hundredths) {
    if (!text.empty() && text.back() == '%') text.pop_back();
    const std::size_t dot = text.find('.');
    const std::string whole = text.substr(0, dot);
    std::string fraction = dot == std::string::npos ? std::string() : text.substr(dot + 1);
    if (fraction.size() > 2 || (dot != std::string::npos && fraction.empty()) || whole.size() > 3) return false;
    fraction.resize(2, '0');
    std::uint64_t units = 0;
    std::uint64_t cents = 0;
    if (!manifest_format::ParseSequenceValue(std::string_view(whole), &units) ||
        !manifest_format::ParseSequenceValue(std::string_view(fraction), &cents)) {
        return false;
    }
    const std::uint64_t value = units * 100 + cents;
    if (value > manifest_format::kWholeShare) return false;
    *hundredths = static_cast<std::uint32_t>(value);
    return true;
}

int Build(const std::vector<std::string>& args) {
    std::optional<std::string> game, launcher, out, signKey, sequence, check, packUnder, previous, level, patchReleases,
        patchLimit, launcherShare;
    BuildOptions options;
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string& arg = args[i];
        std::string usageError;
        const OutputFlag flag = TakeOutputFlag(arg, &options.quiet, &options.forceProgress);
        if (flag == OutputFlag::Help) return kExitOk;
        if (flag == OutputFlag::Taken) continue;
        if (TakeValue(args, &i, "--game", &game, &usageError) ||
                   TakeValue(args, &i, "--launcher", &launcher, &usageError) ||
                   TakeValue(args, &i, "--out", &out, &usageError) ||
                   TakeValue(args, &i, "--version", &options.version, &usageError) ||
                   TakeValue(args, &i, "--status", &options.status, &usageError) ||
                   TakeValue(args, &i, "--news", &options.news, &usageError) ||
                   TakeValue(args, &i, "--sign-key", &signKey, &usageError) ||
                   TakeValue(args, &i, "--sequence", &sequence, &usageError) ||
                   TakeValue(args, &i, "--check", &check, &usageError) ||
                   TakeValue(args, &i, "--launcher-share", &launcherShare, &usageError) ||
                   TakeValue(args, &i, "--pack-under", &packUnder, &usageError) ||
                   TakeValue(args, &i, "--previous", &previous, &usageError) ||
                   TakeValue(args, &i, "--level", &level, &usageError) ||
                   TakeValue(args, &i, "--patch-releases", &patchReleases, &usageError) ||
                   TakeValue(args, &i, "--patch-limit", &patchLimit, &usageError)) {
            if (!usageError.empty()) return Usage(usageError);
        } else {
            return Usage("build: unknown argument '" + DisplayText(arg) + "'");
        }
    }
    if (!game) return Usage("build: --game DIR is required");
    if (!launcher) return Usage("build: --launcher FILE is required");
    if (!out) return Usage("build: --out PATCHDIR is required");
    options.game = PathFromUtf8(*game);
    options.launcher = PathFromUtf8(*launcher);
    options.out = PathFromUtf8(*out);
    if (signKey) options.signKey = PathFromUtf8(*signKey);
    if (previous) options.previous = PathFromUtf8(*previous);
    if (check && *check != "quick" && *check != "full") return Usage("build: --check takes quick or full");
    options.quickCheck = check && *check == "quick";
    if (launcherShare) {
        std::uint32_t hundredths = 0;
        if (!ParseSharePercent(*launcherShare, &hundredths)) {
            return Usage("build: --launcher-share takes a percent from 0 to 100 with two decimals at most");
        }
        options.launcherShare = hundredths;
    }
    if (packUnder && !manifest_format::ParseSequenceValue(std::string_view(*packUnder), &options.packUnder)) {
        return Usage("build: --pack-under takes a decimal byte count (0: no packs)");
    }
    std::uint64_t value = 0;
    if (level) {
        if (!manifest_format::ParseSequenceValue(std::string_view(*level), &value) || value > kMaxCompressionLevel) {
            return Usage("build: --level takes a zstd level from 1 to " + std::to_string(kMaxCompressionLevel) +
                         " (0: no compressed copies)");
        }
        options.level = static_cast<int>(value);
    }
    if (patchReleases && !manifest_format::ParseSequenceValue(std::string_view(*patchReleases), &options.patchReleases)) {
        return Usage("build: --patch-releases takes a decimal count (0: no patches)");
    }
    if (patchLimit && !manifest_format::ParseSequenceValue(std::string_view(*patchLimit), &options.patchLimit)) {
        return Usage("build: --patch-limit takes a decimal byte count");
    }
    if (sequence) {
        std::uint64_t value = 0;
        if (!signKey) return Usage("build: --sequence goes with --sign-key");
        if (!manifest_format::ParseSequenceValue(std::string_view(*sequence), &value)) {
            return Usage("build: --sequence takes a decimal number below 2^64");
        }
        options.sequence = value;
    }
    return RunBuild(options);
}

int Verify(const std::vector<std::string>& args) {
    VerifyOptions options;
    std::optional<std::string> dir;
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string& arg = args[i];
        const OutputFlag flag = TakeOutputFlag(arg, &options.quiet, &options.forceProgress);
        if (flag == OutputFlag::Help) return kExitOk;
        if (flag == OutputFlag::Taken) continue;
        std::optional<std::string> key;
        std::string usageError;
        if (TakeValue(args, &i, "--public-key", &key, &usageError)) {
            if (!usageError.empty()) return Usage(usageError);
            manifest_signature::PublicPoint point{};
            if (!manifest_signature::ParsePublicKeyHex(*key, &point)) {
                return Usage("verify: --public-key takes 130 hex digits starting with 04 (as keygen prints it)");
            }
            options.publicKeys.push_back(*key);
        } else if (!arg.empty() && arg[0] == '-' && arg != "-") {
            return Usage("verify: unknown option '" + DisplayText(arg) + "'");
        } else if (dir) {
            return Usage("verify: only one PATCHDIR may be given");
        } else {
            dir = arg;
        }
    }
    if (!dir) return Usage("verify: PATCHDIR is required");
    options.patchDir = PathFromUtf8(*dir);
    return RunVerify(options);
}

// announce, withdraw and open: PATCHDIR, --sign-key and --sequence; announce also --next and --opens.
int PatchDay(const std::vector<std::string>& args, int (*run)(const PatchDayOptions&)) {
    const std::string& command = args[0];
    const bool announce = command == "announce";
    PatchDayOptions options;
    std::optional<std::string> dir, signKey, sequence, next, opens;
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string& arg = args[i];
        std::string usageError;
        if (arg == "--help" || arg == "-h") {
            std::fputs(kHelp, stdout);
            return kExitOk;
        }
        if (arg == "--quiet" || arg == "-q") {
            options.quiet = true;
        } else if (TakeValue(args, &i, "--sign-key", &signKey, &usageError) ||
                   TakeValue(args, &i, "--sequence", &sequence, &usageError) ||
                   (announce && (TakeValue(args, &i, "--next", &next, &usageError) ||
                                 TakeValue(args, &i, "--opens", &opens, &usageError)))) {
            if (!usageError.empty()) return Usage(usageError);
        } else if (!arg.empty() && arg[0] == '-' && arg != "-") {
            return Usage(command + ": unknown option '" + DisplayText(arg) + "'");
        } else if (dir) {
            return Usage(command + ": only one PATCHDIR may be given");
        } else {
            dir = arg;
        }
    }
    if (!dir) return Usage(command + ": PATCHDIR is required");
    if (!signKey) return Usage(command + ": --sign-key KEY.pem is required");
    if (announce && !next) return Usage("announce: --next FOLDER is required");
    if (announce && !opens) return Usage("announce: --opens TIME is required");
    if (sequence) {
        std::uint64_t value = 0;
        if (!manifest_format::ParseSequenceValue(std::string_view(*sequence), &value)) {
            return Usage(command + ": --sequence takes a decimal number below 2^64");
        }
        options.sequence = value;
    }
    options.patchDir = PathFromUtf8(*dir);
    options.signKey = PathFromUtf8(*signKey);
    options.next = next.value_or(std::string());
    options.opens = opens.value_or(std::string());
    return run(options);
}

int Keygen(const std::vector<std::string>& args) {
    std::optional<std::string> out;
    for (std::size_t i = 1; i < args.size(); ++i) {
        std::string usageError;
        if (args[i] == "--help" || args[i] == "-h") {
            std::fputs(kHelp, stdout);
            return kExitOk;
        }
        if (!TakeValue(args, &i, "--out", &out, &usageError)) {
            return Usage("keygen: unknown argument '" + DisplayText(args[i]) + "'");
        }
        if (!usageError.empty()) return Usage(usageError);
    }
    if (!out) return Usage("keygen: --out KEY.pem is required");
    const fs::path path = PathFromUtf8(*out);
    std::error_code ec;
    if (fs::exists(fs::symlink_status(path, ec))) {
        std::fprintf(stderr, "patchgen: refused: %s exists; keygen never replaces a key\n", DisplayPath(path).c_str());
        return kExitRefused;
    }
    SigningKey key;
    std::string error;
    if (!key.Generate(&error)) {
        std::fprintf(stderr, "patchgen: %s\n", error.c_str());
        return kExitIo;
    }
    if (!key.Save(path, &error)) {
        std::fprintf(stderr, "patchgen: %s\n", error.c_str());
        return kExitIo;
    }
    std::printf("public key: %s\nkey id: %s\n", key.PublicKeyHex().c_str(), key.KeyId().c_str());
    return kExitOk;
}

int Run(const std::vector<std::string>& args) {
    if (args.empty()) return Usage("a command is required (build, verify, announce, withdraw, open or keygen)");
    const std::string& command = args[0];
    if (command == "--help" || command == "-h") {
        std::fputs(kHelp, stdout);
        return kExitOk;
    }
    if (command == "--version") {
        std::printf("patchgen %s\n", PATCHGEN_VERSION);
        return kExitOk;
    }
    if (command == "build") return Build(args);
    if (command == "verify") return Verify(args);
    if (command == "announce") return PatchDay(args, RunAnnounce);
    if (command == "withdraw") return PatchDay(args, RunWithdraw);
    if (command == "open") return PatchDay(args, RunOpen);
    if (command == "keygen") return Keygen(args);
    return Usage("unknown command '" + DisplayText(command) + "'");
}

}  // namespace

#ifdef _WIN32
int main() {
    // Arguments as UTF-16 from the system, so non-ANSI paths and texts survive; output as UTF-8.
    SetConsoleOutputCP(CP_UTF8);
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (!argv) return Usage("cannot read the command line");
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        std::string utf8;
        if (!PathToUtf8(fs::path(argv[i]), &utf8)) {
            LocalFree(argv);
            return Usage("argument " + std::to_string(i) + " is not valid Unicode");
        }
        args.push_back(utf8);
    }
    LocalFree(argv);
    return Run(args);
}
#else
int main(int argc, char** argv) { return Run(std::vector<std::string>(argv + 1, argv + argc)); }
#endif
