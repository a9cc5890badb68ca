#pragma once
// The local-machine registry store: a text file in the form of a registry export
// ($TARNCARD_REGISTRY, else registry.reg in the home folder). The system only reads it.
//
// Accepted: the "Windows Registry Editor Version 5.00" or "REGEDIT4" header; UTF-8 (with or
// without byte-order mark) or UTF-16LE with byte-order mark; key lines
// [HKEY_LOCAL_MACHINE\...] or [HKLM\...] (keys under other roots are ignored);
// "name"="text" with \\ and \" escapes, "name"=dword:0000001f, @= for the default value;
// any other type (hex:, hex(2):, ...) is kept as present but of another type. Lines that
// cannot be parsed are skipped, so an operator's typo costs one value, never the file.
// Key paths and value names compare without regard to letter case; a leading and a
// trailing backslash of a key path are ignored. A missing file is an empty registry.
//
// The computer name (key \System\CurrentControlSet\Control\ComputerName\ComputerName\,
// value "ComputerName") is the host name when the file does not set it.
//
// Thread-safe: the parsed file is cached under a lock and read again only when its
// modification time or size changed.
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace tarn::platform {

enum class RegType { String, DWord, Other };

struct RegValue {
  RegType type = RegType::String;
  std::string str;     // String: the text (UTF-8)
  uint32_t dword = 0;  // DWord: the number
};

// Parsed contents: normalised key path -> (lower-case value name -> value).
// The normalised key path is lower case, without root and outer backslashes.
using RegistryKeys = std::map<std::string, std::map<std::string, RegValue>>;

// The file the store is read from.
std::string RegistryFilePath();

// The value `name` (empty name: the key's default value) of `keyPath`; nullopt when the
// key or the value does not exist. Never throws.
std::optional<RegValue> RegistryRead(const std::string& keyPath, const std::string& name) noexcept;

// Parses the bytes of a registry export (any of the accepted encodings). Never throws
// on bad input; lines that cannot be parsed are skipped.
RegistryKeys ParseRegistryText(std::string_view bytes);

// Why the registry file, when it exists, gives no values: "" when it is missing (an empty
// registry: the built-in defaults) or readable; else a sentence naming the file and the
// reason (no permission, not a regular file, text that is neither UTF-8 nor UTF-16LE
// with a byte-order mark). Reads the file.
std::string RegistryFileProblem();

// Text file bytes to UTF-8: a UTF-8 byte-order mark is dropped, UTF-16LE after its
// byte-order mark is converted; anything else is returned as it is. Shared with the
// settings-file reader, which an operator may save from the same editors.
std::string DecodeTextBytes(std::string_view bytes);

// Normalises a key path as lookups do ("\Software\X\" -> "software\x").
std::string NormaliseKeyPath(std::string_view keyPath);

}  // namespace tarn::platform
