#pragma once
// What every transfer into a ".part" file shares: the one handle that holds the ".part" from its first
// byte to its move, the digest of everything in it, receiving a response body into it, and the check
// that decides whether it may take the target's name.

#include "Win32Handles.h"
#include "common/ZstdFrames.h"
#include "update/Http.h"
#include "update/ProgressSink.h"
#include "update/Sha256.h"

#include <windows.h>
#include <winhttp.h>

#include <cstdint>
#include <string>

// "[Launcher][http] HTTP <status> for <name> -- ..." for an answer the transfer cannot use.
void LogHttpStatus(DWORD status, const wchar_t* name);

// The start of the range a 206 answer carries ("bytes <start>-<end>/<total>"); false when unreadable.
bool QueryRangeStart(HINTERNET request, std::uint64_t* start);

enum class SealOutcome {
    Placed,       // the digest matched and the file now stands at the target
    WrongDigest,  // the bytes are not the listed ones: the ".part" is gone, the target untouched
    LocalError,   // the disk refused the flush or the move (logged): the ".part" is gone, the target untouched
};

// A ".part" being written, held alone from its first byte to its move or deletion (see
// local_files::OpenPart), with the digest of everything it holds. Each change is reported to `sink`.
class PartFile {
public:
    PartFile(ProgressSink* sink, std::uint64_t total, const wchar_t* name) : sink_(sink), total_(total), name_(name) {}
    PartFile(const PartFile&) = delete;
    PartFile& operator=(const PartFile&) = delete;
    ~PartFile();

    // Opens `path`, keeping its first `existing` bytes (hashed, and reported as taken from the disk) or
    // starting it empty. False when it cannot be opened or read (logged).
    bool Open(const std::wstring& path, std::uint64_t existing);
    // Closes the file and opens it again keeping its first `keep` bytes (see Open): where a broken transfer
    // of frames resumes. False as for Open.
    bool Reopen(std::uint64_t keep);
    std::uint64_t Bytes() const { return bytes_; }

    // Appends bytes that arrived over the network (`received`) or came from the disk; false when the disk
    // refused them (logged; DiskRefused() then tells).
    bool Append(const void* data, std::size_t size, bool received);

    // Appends what encoded bytes that arrived over the network decode to through `decoder`, whose limits
    // were set from the manifest where it was made; their count goes to the sink as wire bytes. False when
    // they do not decode within those limits (decoder.Error() says why) or the disk refused.
    bool AppendDecoded(FrameDecoder& decoder, const void* data, std::size_t size);
    bool DiskRefused() const { return diskRefused_; }

    // Writes the response body of `http` after what the file holds, never past its total: a body that
    // goes on is TooLong. Refused means the disk refused a write.
    BodyOutcome Receive(const HttpRequest& http);
    // The same through `decoder`, with at most `limit` encoded bytes; Refused also when they do not decode.
    BodyOutcome Receive(const HttpRequest& http, FrameDecoder& decoder, std::uint64_t limit);

    // Flushes the file and compares its digest with `sha256`; only a match moves it over `target`.
    // Whatever the outcome, the handle is closed and nothing of a refused file stays.
    SealOutcome Seal(const std::string& sha256, const std::wstring& target);
    // The digest Seal found, 64 hex digits; empty before Seal or when CNG failed.
    const std::string& Digest() const { return digestHex_; }

    // Deletes the file and takes its bytes back from the sink; nothing happens when it is not open.
    void Discard();
    // Closes the file and leaves it on the disk for a later attempt to resume.
    void Close() { file_.Reset(); }

private:
    ProgressSink* sink_;
    std::uint64_t total_;
    const wchar_t* name_;
    std::wstring path_;
    ScopedHandle file_;
    Sha256Stream digest_;
    std::uint64_t bytes_ = 0;
    std::string digestHex_;
    bool diskRefused_ = false;
};
