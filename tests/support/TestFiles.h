#pragma once
// Files and text for the Windows test programs: whole-file reads and writes, UTF-8 and UTF-16, digests
// computed independently of the product code, and deterministic content.

#include <windows.h>

#include <cstdint>
#include <string>

namespace testsupport {

bool WriteBytes(const std::wstring& path, const std::string& bytes);
std::string ReadBytes(const std::wstring& path);
bool FileExists(const std::wstring& path);
// The size of a file; 0 when it is missing.
std::uint64_t SizeOfFile(const std::wstring& path);
std::string Utf8(const std::wstring& text);
std::wstring Wide(const std::string& utf8);
// Full path of a file beside the running test executable (where the build puts its helpers).
std::wstring BesideTestExe(const std::wstring& name);
// SHA-256 as lower-case hex, computed here with CNG independently of the product code.
std::string Sha256Hex(const std::string& bytes);
// Deterministic pseudo-random content.
std::string PatternBytes(std::size_t size, std::uint32_t seed);
// Makes `link` a unix symbolic link (or, with `hard`, a second name) of `target`, through the machine's
// own ln: under Wine, CreateSymbolicLinkW reports success and makes nothing. False when it failed.
bool MakeUnixLink(const std::wstring& target, const std::wstring& link, bool hard = false);

}  // namespace testsupport
